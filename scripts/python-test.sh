#!/usr/bin/env bash
# Installs the Python package into a virtual environment and runs its tests.
#
# The environment (build-python/venv) is made afresh from Debian's
# /usr/bin/python3 with --system-site-packages, so that Debian's numpy,
# pybind11, pytest and OpenCV serve it; pip installs ./python without the
# network (--no-build-isolation --no-index). The tests compare the package
# with the C library and the tarvocoil tool of the native build in build/
# (built here when missing).
#
#   scripts/python-test.sh [pytest arguments]
#   scripts/python-test.sh --sanitize [pytest arguments]
#       the extension and library built with AddressSanitizer and
#       UndefinedBehaviorSanitizer (build-python-asan/), the suite run with
#       their runtimes preloaded into Python
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
py=/usr/bin/python3   # `python3` on PATH may be another build without Debian's packages
env_dir=build-python
sanitize=0
if [ "${1:-}" = "--sanitize" ]; then
  sanitize=1
  env_dir=build-python-asan
  shift
fi

bash scripts/install-deps.sh core tool python
cmake -S . -B build > /dev/null
cmake --build build -j2 --target tarvocoil tarvocoil_cli

rm -rf "$env_dir/venv"
"$py" -m venv --system-site-packages "$env_dir/venv"
preload=()
if [ "$sanitize" = 1 ]; then
  TARVOCOIL_CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DTARVOCOIL_SANITIZE=address,undefined" \
    "$env_dir/venv/bin/pip" install --no-build-isolation --no-index ./python
  # Python itself is not instrumented: its own allocations are not leaks of ours.
  preload=(env LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
           ASAN_OPTIONS=detect_leaks=0)
else
  "$env_dir/venv/bin/pip" install --no-build-isolation --no-index ./python
fi

# From outside the checkout, so that `import tarvocoil` finds the installed
# package and not the source folder.
cd "$env_dir"
TARVOCOIL_LIBRARY="$root/build/libtarvocoil.so" TARVOCOIL_TOOL="$root/build/tools/tarvocoil" \
  "${preload[@]}" venv/bin/python -m pytest -p no:cacheprovider -q "$root/python/tests" "$@"
