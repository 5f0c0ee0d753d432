#!/usr/bin/env bash
# Builds the Debian packages into build-package/ from the normal build folder
# (build/, the one scripts/test.sh's native step makes), compiling nothing a
# second time: the packages are made of what is built there. The folder is
# reconfigured for the packages' layout (prefix /usr, hence the multiarch
# library folder) with the Python module for Debian's /usr/bin/python3 added;
# that module is the one thing compiled here when the folder lacked it.
#
#   scripts/package.sh            build/ (configured and built first if it is not)
#   BUILD_DIR=dir scripts/package.sh
#
# Needs dpkg-dev and fakeroot (scripts/install-deps.sh package). Prints the
# packages made; then: apt install ./build-package/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build}
out=$root/build-package

for tool in dpkg-deb dpkg-shlibdeps fakeroot; do
  command -v "$tool" > /dev/null || { echo "package: $tool is missing (scripts/install-deps.sh package)" >&2; exit 1; }
done

cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DTARVOCOIL_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3 > /dev/null
cmake --build "$build" -j"${JOBS:-2}"

rm -rf "$out"
mkdir -p "$out"
# fakeroot: the files in the packages belong to root, whoever builds them.
(cd "$build" && fakeroot cpack -G DEB -B "$out/cpack" > "$out/cpack.log" 2>&1) || {
  cat "$out/cpack.log" >&2
  echo "package: cpack failed" >&2
  exit 1
}
mv "$out"/cpack/*.deb "$out"/
rm -rf "$out/cpack"
ls -1 "$out"/*.deb
