#!/bin/sh
# Checks that libtarvocoil.so carries the hardening of cmake/Hardening.cmake.
#
#   check_hardening.sh LIBRARY BUILD_TYPE "COMPILE OPTIONS OF THE LIBRARY"
#
# - full RELRO: a GNU_RELRO segment and BIND_NOW (DT_FLAGS BIND_NOW or
#   DT_FLAGS_1 NOW), so the GOT is read-only after loading;
# - a GNU_STACK segment that is not executable, and no segment both
#   writable and executable;
# - stack protector: the library imports __stack_chk_fail (its functions
#   with local arrays check their canaries);
# - FORTIFY_SOURCE in optimised builds: the library was compiled with
#   -D_FORTIFY_SOURCE=2. Fortified calls show up as __*_chk imports only
#   where a copy's destination has a size the compiler knows; the library
#   copies into heap blocks only, so none are required, and any that appear
#   are listed.
set -u
lib=$1
build_type=${2:-}
options=${3:-}
fail=0
bad() { echo "FAIL: $*"; fail=1; }
ok() { echo "ok: $*"; }

command -v readelf > /dev/null || { echo "FAIL: readelf not found (binutils)"; exit 1; }
[ -f "$lib" ] || { echo "FAIL: no library at $lib"; exit 1; }

dynamic=$(readelf -dW "$lib") || exit 1
segments=$(readelf -lW "$lib") || exit 1
imports=$(readelf --dyn-syms -W "$lib" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')

if echo "$dynamic" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW|\(BIND_NOW\)'; then
  ok "BIND_NOW"
else
  bad "no BIND_NOW / FLAGS_1 NOW: symbols are bound lazily (link with -z now)"
fi
if echo "$segments" | grep -q 'GNU_RELRO'; then
  ok "GNU_RELRO segment"
else
  bad "no GNU_RELRO segment (link with -z relro)"
fi
stack=$(echo "$segments" | awk '$1 == "GNU_STACK"')
if [ -z "$stack" ]; then
  bad "no GNU_STACK segment: the loader assumes an executable stack"
elif echo "$stack" | grep -Eq ' RWE | E '; then
  bad "executable stack: $stack"
else
  ok "GNU_STACK not executable"
fi
if echo "$segments" | awk '$1 == "LOAD"' | grep -q ' RWE '; then
  bad "a LOAD segment is writable and executable"
else
  ok "no writable and executable segment"
fi
if echo "$imports" | grep -qx '__stack_chk_fail'; then
  ok "stack protector (__stack_chk_fail imported)"
else
  bad "__stack_chk_fail not imported: built without -fstack-protector-strong?"
fi
case "$build_type" in
  Release|RelWithDebInfo|MinSizeRel)
    if echo " $options " | grep -q -- ' -D_FORTIFY_SOURCE=2 '; then
      ok "compiled with -D_FORTIFY_SOURCE=2"
    else
      bad "optimised build without -D_FORTIFY_SOURCE=2 (options: $options)"
    fi
    chk=$(echo "$imports" | grep -E '^__.*_chk$' | grep -vx '__stack_chk_fail' | tr '\n' ' ')
    echo "fortified imports: ${chk:-none}" ;;
  *) echo "skipped: FORTIFY_SOURCE (needs an optimised build; this is '${build_type}')" ;;
esac
[ "$fail" -eq 0 ] && echo "hardening: all checks passed"
exit "$fail"
