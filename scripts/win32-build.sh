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
# TARVOCOIL_NO_INSTALL=1 to skip the package check.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${BUILD_DIR:-$root/build-win32}
jobs=${JOBS:-2}
dll_only=0
[ "${1:-}" = "--dll" ] && dll_only=1

# The posix flavour of the cross compiler: GCC 12's win32 flavour has no
# std::mutex or std::thread, which the library and its tests use.
win32_packages=(cmake make g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev googletest)
# Tests: wine runs the Windows programs; clang and lld-link build one host
# the way MSVC does (MSVC ABI, /SAFESEH) against TarvoCoil.lib.
test_packages=(build-essential wine wine32:i386 python3-pefile clang-14 lld-14)

install_packages() {  # packages...
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "win32-build: missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  echo "win32-build: installing ${missing[*]}"
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
}

if [ "${TARVOCOIL_NO_INSTALL:-0}" != 1 ]; then
  if [ "$dll_only" = 1 ]; then
    install_packages "${win32_packages[@]}"
  else
    install_packages "${win32_packages[@]}" "${test_packages[@]}"
  fi
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
