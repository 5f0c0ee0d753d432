#!/usr/bin/env bash
# Differential test: the native library against the Python reference model
# in tests/model, on many random scenes. Builds the shared library first if
# needed.
#
#   scripts/model-diff.sh                 # 2000 scenes, seed 1, in two processes
#                                         # (MODEL_DIFF_JOBS, default 2; a few minutes)
#   scripts/model-diff.sh --scenes 200 --seed 7
#   BUILD_DIR=build-rel scripts/model-diff.sh
#   BUILD_DIR=build-sse2 CMAKE_ARGS=-DTARVOCOIL_AVX2=OFF scripts/model-diff.sh
#
# Any extra arguments go to tests/model/diff_test.py (see its --help), which
# then runs in one process.
# The last line is "model-diff: N passed, 0 failed"; any mismatch exits 1
# with the seed and scene that reproduce it.
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
SCENES=${MODEL_DIFF_SCENES:-2000}
SEED=${MODEL_DIFF_SEED:-1}
JOBS=${MODEL_DIFF_JOBS:-2}

bash scripts/install-deps.sh core

# Configuring again is cheap and picks up build files added since the
# directory was first configured.
# shellcheck disable=SC2086  # CMAKE_ARGS holds several words on purpose
cmake -S . -B "$BUILD_DIR" ${CMAKE_ARGS:-} >/dev/null
sanitize=$(sed -n 's/^TARVOCOIL_SANITIZE:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
case "${sanitize^^}" in
    ""|OFF|FALSE|NO|N|0|IGNORE|NOTFOUND) sanitize= ;;
esac
if [ -n "$sanitize" ]; then
    echo "model-diff: $BUILD_DIR is a sanitizer build, which Python cannot load;" \
         "set BUILD_DIR to a plain build directory" >&2
    exit 1
fi
cmake --build "$BUILD_DIR" -j2 --target tarvocoil

lib="$BUILD_DIR/libtarvocoil.so"
if [ $# -gt 0 ] || [ "$JOBS" -le 1 ] || [ "$SCENES" -lt "$JOBS" ]; then
    exec python3 tests/model/diff_test.py --lib "$lib" --scenes "$SCENES" --seed "$SEED" "$@"
fi

# The scenes in $JOBS consecutive shards, one process each: every scene's
# random choices come from the seed and its own index, so the shards run
# exactly the scenes one process would.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
pids=()
first=0
for ((j = 0; j < JOBS; j++)); do
    n=$(( SCENES / JOBS + (j < SCENES % JOBS ? 1 : 0) ))
    python3 tests/model/diff_test.py --lib "$lib" --scenes "$n" --seed "$SEED" --first "$first" \
        > "$logs/$j.log" 2>&1 &
    pids+=($!)
    first=$((first + n))
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
passed=0
for ((j = 0; j < JOBS; j++)); do
    echo "-- scenes shard $((j + 1)) of $JOBS"
    grep -v '^model-diff: ' "$logs/$j.log" || true
    n=$(sed -n 's/^model-diff: \([0-9]*\) passed.*/\1/p' "$logs/$j.log")
    passed=$((passed + ${n:-0}))
done
echo "model-diff: $passed passed, $status failed"
exit "$status"
