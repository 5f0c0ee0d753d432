#!/usr/bin/env bash
# Builds TarvoCoil.dll for 32-bit Windows and tests it under wine, from a
# fresh clone, as root on Debian 12 (installs mingw-w64, wine32,
# python3-pefile, clang and lld first when they are missing).
#
#   scripts/win32-test.sh
#   scripts/win32-test.sh --no-wine   only what needs no wine: the builds,
#                                     the DLL file checks and the native host
#
# Steps, each reported as PASS/FAIL in the summary:
#   dll-file        scripts/check_dll.py on the DLL and both import libraries
#   loader-host     trv_host_loader.exe: LoadLibrary, exports by name and
#                   ordinal, every call through the stdcall-checking thunk
#   transcript-*    the scenario transcripts of the three Windows hosts
#                   (loader, TarvoCoil.dll.a, TarvoCoil.lib) each equal to
#                   the native library's, byte for byte
#   msvc-abi-host   a host compiled for the MSVC ABI (clang) and linked by
#                   an MSVC-compatible linker (lld-link, /SAFESEH) against
#                   TarvoCoil.lib, run under wine
#   unit-tests      the library's GoogleTest suite built for Windows
# Environment: BUILD_DIR (default build-win32), JOBS (default 2),
# WINE_GTEST_FILTER (a --gtest_filter for the unit tests under wine).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${BUILD_DIR:-$root/build-win32}
export BUILD_DIR=$build_dir
jobs=${JOBS:-2}
native_dir=$build_dir/native
out_dir=$build_dir/test-output
start=$SECONDS
use_wine=1
[ "${1:-}" = "--no-wine" ] && use_wine=0

# Unit tests that cannot run under wine, with the reason. Empty: all run.
wine_gtest_filter=${WINE_GTEST_FILTER:-}

fail_setup() { echo "win32-test: $*" >&2; echo "win32: 0 passed, 1 failed"; exit 1; }

echo "== build (cross, i686-w64-mingw32)"
[ "$use_wine" = 0 ] && export TARVOCOIL_WIN32_NO_WINE=1
bash scripts/win32-build.sh || fail_setup "cross build failed"

echo "== build (native reference)"
{
  cmake -S "$root" -B "$native_dir" -DCMAKE_BUILD_TYPE=Release \
    -DTARVOCOIL_TESTS=OFF -DTARVOCOIL_TOOLS=OFF -DTARVOCOIL_BENCH=OFF > /dev/null &&
    cmake --build "$native_dir" -j"$jobs" --target tarvocoil &&
    cc -std=c99 -O2 -Wall -Wextra -Werror -I"$root/include" \
      "$root/tests/win32/scenarios.c" "$root/tests/win32/host_linked.c" \
      -o "$native_dir/trv_host_native" -L"$native_dir" -ltarvocoil -Wl,-rpath,"$native_dir"
} || fail_setup "native build failed"

# Wine: a 32-bit prefix inside the build tree, no Mono/Gecko installers,
# no debug channels.
export WINEPREFIX=$build_dir/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=${HOME:-$build_dir/home}
unset DISPLAY WAYLAND_DISPLAY
if [ "$use_wine" = 1 ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== wine prefix ($WINEPREFIX)"
  timeout 300 wineboot --init > "$build_dir/wineboot.log" 2>&1 ||
    { cat "$build_dir/wineboot.log"; fail_setup "wineboot failed"; }
  timeout 60 wineserver -w
fi
# A Windows program that hangs must not hang the run.
wine_run() { timeout "${WINE_TIMEOUT:-300}" wine "$@"; }

rm -rf "$out_dir"
mkdir -p "$out_dir"
passed=0
failed=0
summary=()
step() {  # name, command...
  local name=$1; shift
  local t0=$SECONDS
  echo "== $name"
  if "$@" > "$out_dir/$name.log" 2>&1; then
    passed=$((passed + 1)); summary+=("PASS $name ($((SECONDS - t0)) s)")
  else
    failed=$((failed + 1)); summary+=("FAIL $name ($((SECONDS - t0)) s), log: ${out_dir#"$root"/}/$name.log")
    grep -E "FAIL|Failure|FAILED|error" "$out_dir/$name.log" | head -n 30
  fi
  tail -n 2 "$out_dir/$name.log"
}

# Windows programs run from the build directory, where TarvoCoil.dll lies.
in_build() { (cd "$build_dir" && "$@"); }
transcript_equal() {  # name
  if cmp "$out_dir/native.txt" "$out_dir/$1.txt"; then
    echo "$1: $(wc -l < "$out_dir/$1.txt") lines, identical to the native transcript"
  else
    diff -u "$out_dir/native.txt" "$out_dir/$1.txt" | head -n 40
    return 1
  fi
}

step dll-file /usr/bin/python3 "$root/scripts/check_dll.py" "$build_dir/TarvoCoil.dll" \
  --implib "$build_dir/TarvoCoil.dll.a" --implib "$build_dir/TarvoCoil.lib"
step native-host "$native_dir/trv_host_native" "$out_dir/native.txt"
if [ "$use_wine" = 0 ]; then
  echo
  printf '%s\n' "${summary[@]}"
  echo "not run: every step that needs wine (--no-wine)"
  echo "win32 tests took $((SECONDS - start)) s"
  echo "win32: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi
step loader-host in_build wine_run trv_host_loader.exe TarvoCoil.dll "$(winepath -w "$out_dir/loader.txt" 2>/dev/null)"
step transcript-loader transcript_equal loader
step implib-mingw-host in_build wine_run trv_host_implib_mingw.exe "$(winepath -w "$out_dir/implib-mingw.txt" 2>/dev/null)"
step transcript-implib-mingw transcript_equal implib-mingw
step implib-msvc-host in_build wine_run trv_host_implib_msvc.exe "$(winepath -w "$out_dir/implib-msvc.txt" 2>/dev/null)"
step transcript-implib-msvc transcript_equal implib-msvc
# No MSVC C runtime here: the host needs only ExitProcess, from an import
# library made the same way as TarvoCoil.lib.
msvc_abi_host() {
  local dir=$build_dir/msvc-abi
  mkdir -p "$dir" &&
    printf 'LIBRARY kernel32.dll\nEXPORTS\n    ExitProcess@4\n' > "$dir/kernel32.def" &&
    i686-w64-mingw32-dlltool -m i386 -k -d "$dir/kernel32.def" -l "$dir/kernel32.lib" &&
    i686-w64-mingw32-objcopy --add-symbol @feat.00=1,local "$dir/kernel32.lib" &&
    clang-14 --target=i686-pc-windows-msvc -ffreestanding -fno-builtin -O1 -Wall -Wextra -Werror \
      -I"$root/include" -c "$root/tests/win32/host_msvc_abi.c" -o "$dir/host_msvc_abi.obj" &&
    lld-link-14 /nologo /safeseh /dynamicbase /nxcompat /subsystem:console /entry:mainCRTStartup \
      /nodefaultlib "$dir/host_msvc_abi.obj" "$build_dir/TarvoCoil.lib" "$dir/kernel32.lib" \
      /out:"$build_dir/trv_host_msvc_abi.exe" || return 1
  local rc=0
  in_build wine_run trv_host_msvc_abi.exe || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "FAIL MSVC-ABI host: exit code $rc (the number of the first failed check)"
    return 1
  fi
  echo "MSVC-ABI host linked with /SAFESEH against TarvoCoil.lib: all calls as expected"
}
step msvc-abi-host msvc_abi_host
gtest_args=(--gtest_color=no)
[ -n "$wine_gtest_filter" ] && gtest_args+=("--gtest_filter=$wine_gtest_filter")
step unit-tests wine_run "$build_dir/tests/tarvocoil_tests.exe" "${gtest_args[@]}"

timeout 60 wineserver -w

echo
printf '%s\n' "${summary[@]}"
[ -n "$wine_gtest_filter" ] && echo "unit tests under wine filtered: $wine_gtest_filter"
echo "win32 tests took $((SECONDS - start)) s"
echo "win32: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
