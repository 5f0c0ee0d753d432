#!/usr/bin/env bash
# The shared library exports exactly the eight TRV functions, has a SONAME
# and pulls in nothing unexpected.
set -euo pipefail
lib=$1
expected="TRVCoilInit TRVCoilRelease TRVGetSurvResults TRVSetFrameCountThresh TRVSetLightParam TRVSetSurvAreas TRVSetTwoFramesDisturbThresh TRVUseFrontLightTrigger"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exports differ:"; echo " expected: $expected"; echo " actual:   $actual"; exit 1
fi
readelf -d "$lib" | grep -q 'SONAME.*libtarvocoil.so.1' || { echo "no SONAME libtarvocoil.so.1"; exit 1; }
echo "exports: exactly the eight functions, SONAME libtarvocoil.so.1"
