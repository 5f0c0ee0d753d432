# Kernels.cmake - the optimised sweep kernels and their instruction-set flags.
#
# Included right after TARVOCOIL_CORE_SOURCES is set. The portable and SSE2
# sets build everywhere (the SSE2 file is empty where the compiler targets
# no SSE2). The AVX2 set builds only for 64-bit x86 with a compiler that
# takes -mavx2; kernels.cpp then offers it where the CPU reports AVX2. The
# 32-bit Windows DLL thus gets SSE2 at most, with no run-time check.
include(CheckCXXCompilerFlag)

list(APPEND TARVOCOIL_CORE_SOURCES
  detect/sweep_fast.cpp
  detect/sweep_sse2.cpp)

set(_trv_x86_64 OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_trv_x86_64 ON)
endif()

option(TARVOCOIL_AVX2 "Build the AVX2 sweep kernels (64-bit x86 only)" ON)
if(TARVOCOIL_AVX2 AND _trv_x86_64 AND NOT MSVC)
  check_cxx_compiler_flag(-mavx2 TARVOCOIL_CXX_HAS_MAVX2)
  if(TARVOCOIL_CXX_HAS_MAVX2)
    list(APPEND TARVOCOIL_CORE_SOURCES detect/sweep_avx2.cpp)
    set_source_files_properties(detect/sweep_avx2.cpp PROPERTIES
      COMPILE_OPTIONS "-mavx2"
      COMPILE_DEFINITIONS "TARVOCOIL_KERNELS_AVX2=1")
    set_source_files_properties(detect/kernels.cpp PROPERTIES
      COMPILE_DEFINITIONS "TARVOCOIL_KERNELS_AVX2=1")
  endif()
endif()
