#!/usr/bin/env bash
# scripts/test.sh's own arguments: the step list, a wrong step name and a
# wrong argument are answered before anything is installed or built.
set -uo pipefail
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/test.sh"
fails=0
check() {  # description, expected status, expected text, arguments...
  local what=$1 want_rc=$2 want_text=$3; shift 3
  local out rc
  out=$(bash "$script" "$@" 2>&1); rc=$?
  if [ "$rc" -eq "$want_rc" ] && grep -qF -- "$want_text" <<< "$out" && ! grep -q '^install' <<< "$out"; then
    echo "ok   $what"
  else
    echo "FAIL $what: exit $rc (want $want_rc), output:"; echo "$out" | sed 's/^/     | /'
    fails=$((fails + 1))
  fi
}
check "--list names every step, one a line" 0 "$(printf 'native\npackage\nsanitizers\ntool-sanitizers\nthreads\npython\nmodel-diff\nwin32\nfuzz')" --list
check "an unknown step exits 2 with the list" 2 "steps: native package sanitizers tool-sanitizers threads python model-diff win32 fuzz" --only native,nosuch
check "--only without steps exits 2" 2 "--only needs STEP" --only
check "an unknown argument exits 2" 2 "usage: scripts/test.sh" --frobnicate

# The compiler launcher: a cache folder that cannot be made leaves the
# compiler to run alone, with its own exit status.
launcher="$(dirname "$script")/ccache-launch.sh"
blocker=$(mktemp)
if CCACHE_DIR="$blocker/cache" "$launcher" sh -c 'exit 0' && ! CCACHE_DIR="$blocker/cache" "$launcher" sh -c 'exit 3'; then
  echo "ok   an unusable compiler cache leaves the compiler to run alone"
else
  echo "FAIL an unusable compiler cache leaves the compiler to run alone"; fails=$((fails + 1))
fi
rm -f "$blocker"
echo "test command cases: $fails failed"
[ "$fails" -eq 0 ]
