# Cross toolchain: 32-bit Windows (i686) with mingw-w64, for TarvoCoil.dll.
#
#   cmake -S . -B build-win32 \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
#
# The posix thread flavour of the compiler is used: the library relies on
# std::mutex and std::thread, which GCC 12's win32 flavour lacks. The thread
# runtime (winpthread), libgcc and libstdc++ are linked statically, so the
# results import Windows system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TARVOCOIL_MINGW_TRIPLE i686-w64-mingw32)
set(TARVOCOIL_MINGW_FLAVOUR posix)

find_program(CMAKE_C_COMPILER NAMES ${TARVOCOIL_MINGW_TRIPLE}-gcc-${TARVOCOIL_MINGW_FLAVOUR} REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TARVOCOIL_MINGW_TRIPLE}-g++-${TARVOCOIL_MINGW_FLAVOUR} REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TARVOCOIL_MINGW_TRIPLE}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${TARVOCOIL_MINGW_TRIPLE}-gcc-ar-${TARVOCOIL_MINGW_FLAVOUR} ${TARVOCOIL_MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${TARVOCOIL_MINGW_TRIPLE}-gcc-ranlib-${TARVOCOIL_MINGW_FLAVOUR} ${TARVOCOIL_MINGW_TRIPLE}-ranlib REQUIRED)
find_program(CMAKE_DLLTOOL NAMES ${TARVOCOIL_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(CMAKE_OBJCOPY NAMES ${TARVOCOIL_MINGW_TRIPLE}-objcopy REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${TARVOCOIL_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVOCOIL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# SSE2 is the floor, and SSE arithmetic is what keeps float32 results exact:
# x87 registers would carry excess precision into the float ratios.
# -mincoming-stack-boundary=2 (mingw's default, spelled out because it
# matters): Windows callers only keep the stack 4-byte aligned, so any
# function that needs 16-byte aligned stack slots (SSE spills) realigns the
# stack itself instead of trusting the caller.
set(_trv_arch_flags "-march=i686 -msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_C_FLAGS_INIT "${_trv_arch_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_trv_arch_flags}")
set(CMAKE_ASM_FLAGS_INIT "-m32")

# Runtimes linked statically; ASLR and DEP flags on every image.
set(_trv_link_flags "-static -static-libgcc -static-libstdc++ -Wl,--dynamicbase -Wl,--nxcompat")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_trv_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_trv_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_trv_link_flags}")

# Test executables run under wine; GoogleTest discovery happens when the
# tests run, not at build time.
find_program(TARVOCOIL_WINE NAMES wine)
if(TARVOCOIL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVOCOIL_WINE})
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
