#!/usr/bin/env bash
# scripts/install-deps.sh against a package archive that misbehaves: stand-in
# apt-get, dpkg-query, dpkg and id first on PATH, so that the machine's real
# package sources are never touched. Each case states the archive's faults
# and checks the retries, the warnings, the packages named and the exit status.
set -uo pipefail
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0

mkdir -p "$work/bin"
cat > "$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
# FAKE_UPDATE_FAILS: how many updates fail ("always" for all);
# FAKE_BROKEN: packages whose dependencies do not resolve;
# FAKE_MISSING: packages the archive does not have;
# FAKE_INSTALLED: the file that stands for the package database.
state=$FAKE_STATE
case "$1" in
  update)
    n=$(( $(cat "$state/updates" 2>/dev/null || echo 0) + 1 )); echo "$n" > "$state/updates"
    if [ "$FAKE_UPDATE_FAILS" = always ] || [ "$n" -le "$FAKE_UPDATE_FAILS" ]; then
      echo "Err:6 http://archive.invalid/debian-security bookworm-security/main i386 Packages"
      echo "E: Failed to fetch http://archive.invalid/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    exit 0 ;;
  install)
    shift; pkgs=()
    for a in "$@"; do case "$a" in -*) ;; *) pkgs+=("$a") ;; esac; done
    echo "${#pkgs[@]}" >> "$state/installs"
    bad=0
    for p in "${pkgs[@]}"; do
      for m in $FAKE_MISSING; do
        [ "$p" = "$m" ] && { echo "E: Unable to locate package $p"; bad=1; }
      done
      for b in $FAKE_BROKEN; do
        [ "$p" = "$b" ] && { echo " $p : Depends: libwine:i386 (= 8.0) but it is not going to be installed"; bad=1; }
      done
    done
    if [ "$bad" = 1 ]; then
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
    printf '%s\n' "${pkgs[@]}" >> "$state/db"
    exit 0 ;;
esac
exit 0
STUB
cat > "$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
p=${@: -1}
grep -qx "$p" "$FAKE_STATE/db" 2>/dev/null && { printf 'install ok installed'; exit 0; }
exit 1
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
printf '#!/bin/sh\necho 0\n' > "$work/bin/id"
chmod +x "$work/bin/"*

# case NAME UPDATE_FAILS BROKEN MISSING GROUPS... ; leaves the output in
# $out and the exit status in $rc. A second call with the same NAME keeps
# the package database of the first.
run_case() {
  local name=$1 update_fails=$2 broken=$3 missing=$4; shift 4
  state="$work/$name"; mkdir -p "$state"; touch "$state/db"
  out=$(PATH="$work/bin:$PATH" FAKE_STATE="$state" FAKE_UPDATE_FAILS="$update_fails" FAKE_BROKEN="$broken" \
        FAKE_MISSING="$missing" INSTALL_DEPS_PAUSE=0 INSTALL_DEPS_REPORT="$state/report" \
        bash "$script" "$@" 2>&1)
  rc=$?
}
expect() {  # description, condition...
  local what=$1; shift
  if "$@"; then echo "ok   $case_name: $what"; else echo "FAIL $case_name: $what"; fails=$((fails + 1)); echo "$out" | sed 's/^/     | /'; fi
}
has() { grep -qF -- "$1" <<< "$out"; }
lacks() { ! has "$1"; }
updates() { cat "$state/updates" 2>/dev/null || echo 0; }
installed_pkg() { grep -qx "$1" "$state/db"; }

case_name="update fails once"
run_case once 1 "" "" core tool
expect "exits 0" [ "$rc" -eq 0 ]
expect "retries the update once" [ "$(updates)" -eq 2 ]
expect "says the first try failed, with apt's reason" has "apt-get update failed (try 1 of 3): E: Failed to fetch"
expect "no warning after a good retry" lacks "warning"
expect "installs everything" installed_pkg libcli11-dev

case_name="update always fails, installs succeed"
run_case always always "" "" core
expect "exits 0" [ "$rc" -eq 0 ]
expect "tries the update three times" [ "$(updates)" -eq 3 ]
expect "warns about the index" has "warning: some package index could not be fetched"
expect "installs everything" installed_pkg ccache

case_name="a group cannot be installed"
run_case broken 0 "wine32:i386" "" core win32 wine fuzz
expect "exits 1" [ "$rc" -eq 1 ]
expect "names the package with apt's reason" has "could not install wine32:i386 (group wine): wine32:i386 : Depends: libwine:i386"
expect "the other groups install" installed_pkg libclang-rt-14-dev
expect "the wine group's other package installs" installed_pkg wine
expect "the report holds exactly that package" \
  [ "$(cut -f1,2 "$state/report")" = "$(printf 'wine\twine32:i386')" ]

case_name="a package that does not exist"
run_case typo 0 "" "ccache" core
expect "exits 1" [ "$rc" -eq 1 ]
expect "names it with apt's reason" has "could not install ccache (group core): E: Unable to locate package ccache"
expect "the rest of its group installs" installed_pkg cmake

case_name="an unknown group"
run_case unknown 0 "" "" core nosuchgroup
expect "exits 2" [ "$rc" -eq 2 ]
expect "lists the groups" has "unknown group 'nosuchgroup' (groups:"
expect "installs nothing" [ ! -s "$state/db" ]

case_name="everything present"
run_case present 0 "" "" core
run_case present always "" "" core
expect "a second run exits 0 without touching the index" [ "$rc" -eq 0 ] && [ "$(updates)" -eq 1 ]

echo "install-deps cases: $fails failed"
[ "$fails" -eq 0 ]
