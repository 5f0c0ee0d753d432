# Kernels.cmake - which vector kernel sets the library is built with.
#
# One rule gates every instruction set: this file defines
# TARVOCOIL_KERNELS_SSE2 and TARVOCOIL_KERNELS_AVX2 on the core objects
# when the set is built, and each kernel file (and kernels.cpp, which
# offers the sets) compiles its content only under its definition.
#   SSE2: whenever the compiler targets it (every x86-64 build, and the
#         32-bit DLL, which is built with -msse2); no run-time check.
#   AVX2: 64-bit x86 with a compiler that takes -mavx2, only its own file
#         compiled with it; offered where the CPU reports AVX2 at run time.
# Included after tarvocoil_objects is defined.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

check_cxx_source_compiles([=[
#include <emmintrin.h>
#if !defined(__SSE2__)
#error no SSE2
#endif
int main() { return _mm_cvtsi128_si32(_mm_setzero_si128()); }
]=] TARVOCOIL_CXX_TARGETS_SSE2)
if(TARVOCOIL_CXX_TARGETS_SSE2)
  target_compile_definitions(tarvocoil_objects PRIVATE TARVOCOIL_KERNELS_SSE2=1)
endif()

set(_trv_x86_64 OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_trv_x86_64 ON)
endif()
option(TARVOCOIL_AVX2 "Build the AVX2 sweep kernels (64-bit x86 only)" ON)
if(TARVOCOIL_AVX2 AND _trv_x86_64 AND TARVOCOIL_CXX_TARGETS_SSE2)
  check_cxx_compiler_flag(-mavx2 TARVOCOIL_CXX_HAS_MAVX2)
  if(TARVOCOIL_CXX_HAS_MAVX2)
    target_compile_definitions(tarvocoil_objects PRIVATE TARVOCOIL_KERNELS_AVX2=1)
    set_source_files_properties(detect/sweep_avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2")
  endif()
endif()
