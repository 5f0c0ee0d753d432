#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs programs
# against it through find_package and pkg-config.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > "$work/installed.txt"
# Everything lands under the prefix: the packages' files for /etc and
# systemd's folder are left to the packages.
if grep -E '^-- (Installing|Up-to-date): ' "$work/installed.txt" | grep -v ": $work/prefix/"; then
  echo "installed outside the prefix (above)"; exit 1
fi
cmake -S "$src/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/consumer" > /dev/null
"$work/consumer/consumer"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/c_consumer"
libdir=$(dirname "$(find "$work/prefix" -name tarvocoil.pc)")
PKG_CONFIG_PATH="$libdir" cc -x c - -o "$work/pc_consumer" $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs tarvocoil) <<'C'
#include <tarvocoil.h>
int main(void) { return TRVCoilInit() == 1 ? 0 : 1; }
C
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/pc_consumer"
echo "install: find_package and pkg-config consumers work"
