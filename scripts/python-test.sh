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
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
py=/usr/bin/python3   # `python3` on PATH may be another build without Debian's packages

bash scripts/install-deps.sh core tool python
cmake -S . -B build > /dev/null
cmake --build build -j2 --target tarvocoil tarvocoil_cli

rm -rf build-python/venv
"$py" -m venv --system-site-packages build-python/venv
build-python/venv/bin/pip install --no-build-isolation --no-index ./python

# From outside the checkout, so that `import tarvocoil` finds the installed
# package and not the source folder.
cd build-python
TARVOCOIL_LIBRARY="$root/build/libtarvocoil.so" TARVOCOIL_TOOL="$root/build/tools/tarvocoil" \
  venv/bin/python -m pytest -p no:cacheprovider -q "$root/python/tests" "$@"
