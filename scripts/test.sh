#!/usr/bin/env bash
# Builds TarvoCoil and runs every test, as root on Debian 12 (installs what
# it needs first). Steps: unit, tool and GStreamer element tests in a
# normal build; the unit tests, and separately the tool and its tests, under
# AddressSanitizer + UndefinedBehaviorSanitizer; the threading tests and
# the event delivery under ThreadSanitizer; the Python package (installed into a virtual environment,
# then its pytest suite); the library against the independent model on
# random scenes; the 32-bit Windows DLL under wine; the fuzzers for a
# bounded time. Prints one line per step and a closing count.
#
#   scripts/test.sh             everything
#   scripts/test.sh --quick     skip the fuzzers and the Windows build
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=2
logs="$root/build-logs"
mkdir -p "$logs"

bash scripts/install-deps.sh || { echo "test: could not install dependencies" >&2; exit 1; }

passed=0
failed=0
names=()
run_step() {  # name, command...
  local name=$1; shift
  local start=$SECONDS
  echo "== $name"
  if "$@" > "$logs/$name.log" 2>&1; then
    passed=$((passed + 1)); names+=("PASS $name ($((SECONDS - start)) s)")
  else
    failed=$((failed + 1)); names+=("FAIL $name ($((SECONDS - start)) s), log: build-logs/$name.log")
    tail -n 40 "$logs/$name.log"
  fi
  tail -n 3 "$logs/$name.log"
}

# The sanitizer builds of the tool and the delivery code compile at -O1 with
# line tables only: at -O2 -g, AddressSanitizer and UndefinedBehaviorSanitizer
# make the option parser's and JSON library's templates take minutes per
# file, and the reports need no more than file and line.
sanitized_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo
                 "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
                 "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")

build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" && cmake --build "$dir" -j"$jobs"
}

native() {
  build build -DCMAKE_BUILD_TYPE=RelWithDebInfo && ctest --test-dir build --output-on-failure -j"$jobs"
}
sanitized() {
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVOCOIL_SANITIZE=address,undefined \
        -DTARVOCOIL_TOOLS=OFF -DTARVOCOIL_BENCH=OFF &&
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j"$jobs"
}
# The tool and its tests under AddressSanitizer + UndefinedBehaviorSanitizer:
# only their targets, every child process of the tests sanitized too.
tool_sanitized() {
  cmake -S . -B build-asan-tool "${sanitized_flags[@]}" -DTARVOCOIL_SANITIZE=address,undefined \
        -DTARVOCOIL_BENCH=OFF &&
    cmake --build build-asan-tool -j"$jobs" --target tarvocoil_cli tarvocoil_tool_tests tarvocoil_delivery_tests &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      LSAN_OPTIONS=suppressions="$root/tests/sanitizers/lsan.supp" \
      timeout 1200 ctest --test-dir build-asan-tool --output-on-failure -j"$jobs" -R '^tool\.'
}
threads() {
  build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOCOIL_SANITIZE=thread \
        -DTARVOCOIL_TOOLS=OFF -DTARVOCOIL_BENCH=OFF &&
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -R '^(Threads|Soak)\.' &&
    # The event delivery threads (sinks, queues, MQTT and webhook clients).
    cmake -S . -B build-tsan-delivery "${sanitized_flags[@]}" -DTARVOCOIL_SANITIZE=thread \
          -DTARVOCOIL_BENCH=OFF &&
    cmake --build build-tsan-delivery -j"$jobs" --target tarvocoil_delivery_tests &&
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan-delivery --output-on-failure \
          -R '^tool\.(EventJson|MqttUrl|Delivery|Mqtt|Webhook)\.'
}

run_step native native
run_step sanitizers sanitized
run_step tool-sanitizers tool_sanitized
run_step threads threads
run_step python bash scripts/python-test.sh
[ -f scripts/model-diff.sh ] && run_step model-diff bash scripts/model-diff.sh
if [ "$quick" = 0 ]; then
  [ -f scripts/win32-test.sh ] && run_step win32 bash scripts/win32-test.sh
  [ -f scripts/fuzz.sh ] && run_step fuzz bash scripts/fuzz.sh --seconds "${FUZZ_SECONDS:-45}"
fi

echo
printf '%s\n' "${names[@]}"
echo "steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
