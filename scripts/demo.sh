#!/bin/sh
# The main job: on a fresh Debian 12 machine (as root), install what is
# needed, build the tarvocoil tool and run its built-in demo by day and by
# night. Each run prints a per-coil table of vehicles, triggers, hits,
# misses, false triggers and latency, and writes events and a review video
# into tarvocoil-demo/. Extra arguments go to both demo runs, e.g.
#   scripts/demo.sh --frames 500 --no-review
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-tool-deps.sh

build=build-demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVOCOIL_TESTS=OFF -DTARVOCOIL_BENCH=OFF >/dev/null
cmake --build "$build" --target tarvocoil_cli -j "$(nproc)" >/dev/null

"$build/tools/tarvocoil" demo "$@"
echo
"$build/tools/tarvocoil" demo --night "$@"
