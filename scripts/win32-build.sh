#!/usr/bin/env bash
# Cross-builds TarvoCoil.dll for 32-bit Windows hosts with mingw-w64, as
# root on Debian 12 (installs the toolchain first when it is missing).
#
#   scripts/win32-build.sh            DLL, import libraries, test hosts, unit tests
#   scripts/win32-build.sh --dll      the DLL and its import libraries only
#
# Output in build-win32/: TarvoCoil.dll, TarvoCoil.dll.a (mingw import
# library), TarvoCoil.lib (import library for MSVC's linker).
# Environment: BUILD_DIR (default build-win32), JOBS (default 2),
# TARVOCOIL_NO_INSTALL=1 to skip the package check, TARVOCOIL_WIN32_NO_WINE=1
# to leave wine out of it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${BUILD_DIR:-$root/build-win32}
jobs=${JOBS:-2}
dll_only=0
[ "${1:-}" = "--dll" ] && dll_only=1

# The cross compiler and the DLL checker (install group win32); wine runs
# the Windows test programs (group wine), not needed for the DLL alone or
# when TARVOCOIL_WIN32_NO_WINE=1.
if [ "${TARVOCOIL_NO_INSTALL:-0}" != 1 ]; then
  groups=(core win32)
  [ "$dll_only" = 0 ] && [ "${TARVOCOIL_WIN32_NO_WINE:-0}" != 1 ] && groups+=(wine)
  bash scripts/install-deps.sh "${groups[@]}"
fi

tests=ON
[ "$dll_only" = 1 ] && tests=OFF
cmake -S "$root" -B "$build_dir" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DTARVOCOIL_TESTS=$tests -DTARVOCOIL_TOOLS=OFF -DTARVOCOIL_BENCH=OFF
targets=(tarvocoil)
[ "$dll_only" = 0 ] && targets+=(win32_test_hosts tarvocoil_tests)
cmake --build "$build_dir" -j"$jobs" --target "${targets[@]}"
ls -l "$build_dir/TarvoCoil.dll" "$build_dir/TarvoCoil.dll.a" "$build_dir/TarvoCoil.lib"
