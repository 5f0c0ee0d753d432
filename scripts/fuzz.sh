#!/usr/bin/env bash
# Builds the libFuzzer harnesses (fuzz/) with clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, and runs each one from its
# seed corpus for a bounded time. Any crash, sanitizer report, failed check,
# timeout or out-of-memory fails the run. As root on Debian 12, it installs
# clang-14, its sanitizer runtimes and nlohmann-json first when missing.
#
#   scripts/fuzz.sh                       every harness, 60 s each
#   scripts/fuzz.sh --seconds 600 calls   one harness for 10 minutes
#   scripts/fuzz.sh --corpus-dir DIR      keep the grown corpora in DIR/<harness>
#   scripts/fuzz.sh --committed           build from the last commit (a git
#                                         worktree in build-fuzz/committed-src,
#                                         one such run at a time), not the
#                                         working tree
#   scripts/fuzz.sh --coverage            then replay each final corpus in a
#                                         build with source coverage and print
#                                         the line and branch coverage of the
#                                         code each harness targets
#
# The repository's corpora are copied first, so a run never changes them.
# Crashing inputs are written to build-fuzz/artifacts/<harness>/; once the
# bug is fixed, save one as tests/regress/<harness>/<name> and the unit
# tests replay it (tests/unit/fuzz_regress_test.cpp).
# Prints per harness the executions, executions per second and coverage,
# and last a line "fuzz: N passed, M failed" (N, M counting harnesses).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

all_harnesses=(calls raster seed_fill areas_file)
seconds=60
corpus_dir=""
committed=0
coverage=0
harnesses=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --seconds=*) seconds=${1#--seconds=}; shift ;;
    --corpus-dir) corpus_dir=${2:?--corpus-dir needs a directory}; shift 2 ;;
    --committed) committed=1; shift ;;
    --coverage) coverage=1; shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
[ ${#harnesses[@]} -eq 0 ] && harnesses=("${all_harnesses[@]}")
case "$seconds" in ''|*[!0-9]*) echo "fuzz: --seconds takes a whole number" >&2; exit 2 ;; esac
for h in "${harnesses[@]}"; do
  case " ${all_harnesses[*]} " in *" $h "*) ;; *) echo "fuzz: no harness '$h' (${all_harnesses[*]})" >&2; exit 2 ;; esac
done

give_up() {  # message: nothing could run
  echo "fuzz: $*" >&2
  echo "fuzz: 0 passed, ${#harnesses[@]} failed"
  exit 1
}

# --- tools -----------------------------------------------------------------
groups=(core tool fuzz)
[ "$coverage" = 1 ] && groups+=(coverage)
bash scripts/install-deps.sh "${groups[@]}" || give_up "could not install what the fuzzers need (see above)"

# --- build -----------------------------------------------------------------
src=$root
build=$root/build-fuzz
worktree=""
cleanup() {
  [ -n "$worktree" ] && git -C "$root" worktree remove --force "$worktree" > /dev/null 2>&1
  [ -n "${scratch:-}" ] && rm -rf "$scratch"
}
trap cleanup EXIT
if [ "$committed" = 1 ]; then
  # Always the same place (CMake's cache remembers its source directory);
  # inside the ignored build-fuzz/, away from the working tree's sources.
  worktree=$root/build-fuzz/committed-src
  if [ -e "$worktree" ]; then
    git -C "$root" worktree remove --force "$worktree" > /dev/null 2>&1 || rm -rf "$worktree"
    git -C "$root" worktree prune
  fi
  mkdir -p "$root/build-fuzz"
  git -C "$root" worktree add --detach "$worktree" HEAD > /dev/null || give_up "git worktree add failed"
  src=$worktree
  build=$root/build-fuzz/committed
  echo "fuzz: building the last commit ($(git -C "$root" rev-parse --short HEAD))"
fi
mkdir -p "$build"
echo "== build ($build)"
if ! { cmake -S "$src/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 > "$build/configure.log" 2>&1 &&
       cmake --build "$build" -j2 > "$build/build.log" 2>&1; }; then
  tail -n 30 "$build/configure.log" "$build/build.log" 2>/dev/null
  give_up "build failed (logs in $build)"
fi

# --- runs ------------------------------------------------------------------
scratch=$(mktemp -d /tmp/tarvocoil-fuzz.XXXXXX)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
passed=0
failed=0
total_execs=0
summary=()
for h in "${harnesses[@]}"; do
  binary=$build/fuzz_$h
  if [ -n "$corpus_dir" ]; then
    corpus=$corpus_dir/$h
  else
    corpus=$scratch/corpus/$h
  fi
  mkdir -p "$corpus"
  cp -n "$src/fuzz/corpus/$h/"* "$corpus/" 2>/dev/null
  artifacts=$build/artifacts/$h
  mkdir -p "$artifacts"
  log=$build/fuzz_$h.log
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048
        -print_final_stats=1 -artifact_prefix="$artifacts/")
  case "$h" in
    raster) args+=(-max_len=32) ;;       # 17 bytes are all it reads
    areas_file) args+=(-dict="$src/fuzz/areas_file.dict") ;;
  esac
  echo "== $h (${seconds} s)"
  start=$SECONDS
  # The outer limit only catches a fuzzer that would not stop by itself.
  timeout --signal=KILL $((seconds + 120)) "$binary" "${args[@]}" "$corpus" > "$log" 2>&1
  rc=$?
  elapsed=$((SECONDS - start))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  cov=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 | sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p')
  inputs=$(find "$corpus" -type f | wc -l)
  execs=${execs:-0}
  total_execs=$((total_execs + execs))
  line="$h: ${execs} execs in ${elapsed} s (${rate:-?} execs/s), coverage ${cov:-?}, corpus ${inputs} inputs"
  if [ "$rc" -eq 0 ] && ! grep -qE '^==[0-9]+== ?ERROR|^SUMMARY: |fuzz check failed|runtime error:' "$log"; then
    passed=$((passed + 1))
    summary+=("PASS $line")
  else
    failed=$((failed + 1))
    summary+=("FAIL $line; exit $rc, log: ${log#"$root"/}")
    grep -E 'ERROR|SUMMARY|fuzz check failed|runtime error|Test unit written|#[0-9]+ 0x' "$log" | head -n 25
    echo "crashing inputs: ${artifacts#"$root"/}/"
  fi
  echo "${summary[-1]}"
done

# --- coverage (optional) ------------------------------------------------------
# The code each harness is there to exercise (the calls reach all of it).
targets_of() {
  case "$1" in
    calls) echo "$src/api $src/image $src/areas $src/detect" ;;
    raster) echo "$src/areas/rasterise.cpp" ;;
    seed_fill) echo "$src/image/seed_fill.cpp $src/image/span_stack.cpp" ;;
    areas_file) echo "$src/host/areas_file.cpp $src/host/json_text.cpp" ;;
  esac
}
if [ "$coverage" = 1 ]; then
  cov=$build/coverage
  echo "== coverage build ($cov)"
  if cmake -S "$src/fuzz" -B "$cov" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
       -DCMAKE_C_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
       -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
       -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" > "$cov.configure.log" 2>&1 &&
     cmake --build "$cov" -j2 > "$cov.build.log" 2>&1; then
    for h in "${harnesses[@]}"; do
      if [ -n "$corpus_dir" ]; then corpus=$corpus_dir/$h; else corpus=$scratch/corpus/$h; fi
      rm -f "$cov/$h".prof*
      LLVM_PROFILE_FILE="$cov/$h.profraw" "$cov/fuzz_$h" -runs=0 "$corpus" > "$cov/$h.replay.log" 2>&1
      llvm-profdata-14 merge -sparse "$cov/$h.profraw" -o "$cov/$h.profdata" &&
        llvm-cov-14 report "$cov/fuzz_$h" -instr-profile="$cov/$h.profdata" $(targets_of "$h") > "$cov/$h.report" 2>&1
      # TOTAL columns: regions, missed, %, functions, missed, %, lines, missed, %, branches, missed, %
      total=$(awk '$1 == "TOTAL" { print "lines " $10 " of " $8 ", branches " $13 " of " $11 ", functions " $7 }' "$cov/$h.report")
      summary+=("coverage $h ($(targets_of "$h" | sed "s|$src/||g")): ${total:-not measured, see $cov/$h.report}")
    done
  else
    summary+=("coverage: build failed, see $cov.build.log")
  fi
fi

echo
printf '%s\n' "${summary[@]}"
echo "total: ${total_execs} execs"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
