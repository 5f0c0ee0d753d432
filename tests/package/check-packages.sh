#!/usr/bin/env bash
# Checks the Debian packages in a folder (scripts/package.sh makes them)
# without installing them: lintian, the files and control fields of each,
# then the packages unpacked into a scratch folder and used from there.
#   tests/package/check-packages.sh [PACKAGE_DIR]   (default: build-package)
# Prints one line per check; exits 1 on the first that fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
pkgdir=$(cd "${1:-$root/build-package}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

version=$(sed -n 's/^project(TarvoCoil VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
debversion="$version-1"
libversion=$(echo "$version" | cut -d. -f1-3)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg --print-architecture)
pyext=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
packages=(libtarvocoil1 libtarvocoil-dev tarvocoil gstreamer1.0-tarvocoil python3-tarvocoil)

deb_of() { echo "$pkgdir/${1}_${debversion}_${arch}.deb"; }

# --- the set of packages and their versions --------------------------------
found=$(cd "$pkgdir" && ls -1 ./*.deb | sed 's|^\./||' | sort | tr '\n' ' ')
want=$(for p in "${packages[@]}"; do basename "$(deb_of "$p")"; done | sort | tr '\n' ' ')
[ "$found" = "$want" ] || fail "packages: expected $want, found $found"
for p in "${packages[@]}"; do
  [ "$(dpkg-deb -f "$(deb_of "$p")" Package)" = "$p" ] || fail "$p: Package field"
  [ "$(dpkg-deb -f "$(deb_of "$p")" Version)" = "$debversion" ] || fail "$p: Version is not $debversion"
done
ok "five packages, version $debversion"

# --- lintian ---------------------------------------------------------------
# No error and no warning; every override says why in a comment above it.
for f in "$root"/packaging/debian/*.lintian-overrides; do
  awk -v f="$f" '/^#/ { c = 1; next } /^$/ { c = 0; next } !c { print f ": override without a comment: " $0; bad = 1 }
                 END { exit bad }' "$f" || fail "lintian overrides must each carry a comment"
done
lintian --fail-on error,warning "$pkgdir"/*.deb > "$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log" >&2; fail "lintian"; }
ok "lintian: no errors or warnings"

# --- contents --------------------------------------------------------------
files_of() {  # package -> its files and links, one a line, sorted
  dpkg-deb -c "$(deb_of "$1")" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort
}
expect() {  # package, expected paths (one a line, any order)
  local p=$1; shift
  local doc="/usr/share/doc/$p/changelog.Debian.gz
/usr/share/doc/$p/copyright
/usr/share/lintian/overrides/$p"
  diff <(printf '%s\n' "$@" "$doc" | sort) <(files_of "$p") > "$work/diff" ||
    { cat "$work/diff" >&2; fail "$p: contents differ (< expected, > found)"; }
}
lib=/usr/lib/$triplet
expect libtarvocoil1 "$lib/libtarvocoil.so.1" "$lib/libtarvocoil.so.$libversion"
expect libtarvocoil-dev /usr/include/tarvocoil.h /usr/include/tarvocoil.hpp "$lib/libtarvocoil.so" "$lib/libtarvocoil.a" \
  "$lib/pkgconfig/tarvocoil.pc" "$lib/cmake/TarvoCoil/TarvoCoilConfig.cmake" \
  "$lib/cmake/TarvoCoil/TarvoCoilConfigVersion.cmake" "$lib/cmake/TarvoCoil/TarvoCoilTargets.cmake" \
  "$(files_of libtarvocoil-dev | grep 'TarvoCoilTargets-.*\.cmake$')"
units=$(cd "$root/packaging/systemd" && ls -1 ./*.service | sed 's|^\./||')
expect tarvocoil /usr/bin/tarvocoil /usr/share/man/man1/tarvocoil.1.gz $(printf '/lib/systemd/system/%s ' $units) \
  /etc/tarvocoil/example.conf /usr/share/doc/tarvocoil/examples/example.conf /usr/share/doc/tarvocoil/examples/v4l2.conf \
  /usr/share/doc/tarvocoil/examples/site.json
expect gstreamer1.0-tarvocoil "$lib/gstreamer-1.0/libgsttarvocoil.so"
py=/usr/lib/python3/dist-packages/tarvocoil
expect python3-tarvocoil "$py/__init__.py" "$py/__init__.pyi" "$py/py.typed" "$py/_tarvocoil$pyext"
ok "contents as expected"

# --- control files -----------------------------------------------------------
control() { dpkg-deb -e "$(deb_of "$1")" "$work/control/$1"; }
mkdir -p "$work/control"
for p in "${packages[@]}"; do control "$p"; done
# Every file under /etc is a conffile, and nothing else is.
diff <(files_of tarvocoil | grep '^/etc/') <(sort "$work/control/tarvocoil/conffiles") ||
  fail "tarvocoil: the conffiles are not exactly the files under /etc"
grep -qx "libtarvocoil 1 libtarvocoil1 (>= $debversion)" "$work/control/libtarvocoil1/shlibs" ||
  fail "libtarvocoil1: shlibs does not name libtarvocoil.so.1"
grep -qx 'activate-noawait ldconfig' "$work/control/libtarvocoil1/triggers" || fail "libtarvocoil1: no ldconfig trigger"
dpkg-deb -f "$(deb_of libtarvocoil-dev)" Depends | grep -q "libtarvocoil1 (= $debversion)" ||
  fail "libtarvocoil-dev does not depend on libtarvocoil1 of its own version"
dpkg-deb -f "$(deb_of tarvocoil)" Depends | grep -q 'libavformat' || fail "tarvocoil: no dependencies from its binary"
ok "conffiles, shlibs, trigger, dependencies"
bash "$root/tests/package/maintainer-scripts-test.sh" "$work/control/tarvocoil" || fail "tarvocoil: maintainer scripts"

# --- unpacked and used -------------------------------------------------------
x=$work/root
for p in "${packages[@]}"; do dpkg-deb -x "$(deb_of "$p")" "$x"; done
zcat "$x/usr/share/doc/tarvocoil/changelog.Debian.gz" | head -n 1 | grep -q "^tarvocoil ($debversion) " ||
  fail "the changelog's latest entry is not $debversion"

export LD_LIBRARY_PATH="$x$lib"
"$x/usr/bin/tarvocoil" --version | grep -q "$version" || fail "tarvocoil --version does not say $version"
# A clip to run on: the demo's own review video and areas.
"$x/usr/bin/tarvocoil" demo --frames 60 --out "$work/demo" --no-progress > /dev/null 2>&1 || fail "tarvocoil demo"
"$x/usr/bin/tarvocoil" run "$work/demo/day-review.mp4" --areas "$work/demo/day-areas.json" --format jsonl \
  --events "$work/events.jsonl" 2> "$work/run.err" || { cat "$work/run.err" >&2; fail "tarvocoil run"; }
# Under systemd stderr is the journal: one summary line, no progress bar.
[ "$(wc -l < "$work/run.err")" -eq 1 ] && ! grep -q $'\r' "$work/run.err" ||
  { cat -A "$work/run.err" >&2; fail "tarvocoil run: stderr off a terminal is not just the summary line"; }
ok "tarvocoil --version and a run, from the unpacked package"

GST_REGISTRY=$work/gst-registry.bin GST_PLUGIN_PATH="$x$lib/gstreamer-1.0" \
  gst-inspect-1.0 tarvocoil > "$work/gst.txt" 2>&1 || { cat "$work/gst.txt" >&2; fail "gst-inspect-1.0 tarvocoil"; }
grep -q "$x$lib/gstreamer-1.0/libgsttarvocoil.so" "$work/gst.txt" || fail "gst-inspect-1.0 found another plugin file"
ok "gst-inspect-1.0 tarvocoil, from the unpacked package"

PYTHONPATH="$x/usr/lib/python3/dist-packages" /usr/bin/python3 - "$x" "$version" <<'PY' || fail "import tarvocoil"
import sys
import tarvocoil
assert tarvocoil.__file__.startswith(sys.argv[1]), tarvocoil.__file__
assert tarvocoil.__version__ == sys.argv[2], tarvocoil.__version__
PY
ok "import tarvocoil under /usr/bin/python3, from the unpacked package"

pcdir="$x$lib/pkgconfig"
flags=$(PKG_CONFIG_PATH=$pcdir PKG_CONFIG_LIBDIR=$pcdir pkg-config --define-prefix --cflags --libs tarvocoil)
case "$flags" in *"$x"*) ;; *) fail "pkg-config --define-prefix gives '$flags', not the unpacked tree" ;; esac
cc -x c - -o "$work/consumer" $flags <<'C' || fail "a C program against libtarvocoil-dev"
#include <tarvocoil.h>
int main(void) {
    int ok = TRVCoilInit() == 1;
    TRVCoilRelease();
    return ok ? 0 : 1;
}
C
"$work/consumer" || fail "the C program"
ldd "$work/consumer" | grep -q "$x$lib/libtarvocoil.so.1" || fail "the C program did not load the unpacked library"
ok "a C program built with pkg-config --define-prefix, run against the unpacked library"

cmake -S "$root/tests/install/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$x/usr" > "$work/cmake.log" 2>&1 &&
  cmake --build "$work/consumer-cmake" >> "$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; fail "find_package(TarvoCoil)"; }
"$work/consumer-cmake/consumer" > /dev/null && "$work/consumer-cmake/c_consumer" > /dev/null || fail "the find_package programs"
ok "programs built with find_package(TarvoCoil) against the unpacked packages"

# Each unit (a template as its instance cam1), and the camera unit with the
# V4L2 drop-in, against the unpacked tree (the system's own units beside
# it, for the targets they name). Unknown settings are only printed, so any
# output fails.
cp -rn /lib/systemd/system/. "$x/lib/systemd/system/"
# The site unit reloads through the system's kill, which the tree lacks.
mkdir -p "$x/bin" && cp /bin/kill "$x/bin/kill"
verify() {  # unit
  systemd-analyze verify --man=no --root="$x" "$1" > "$work/verify.txt" 2>&1 &&
    [ ! -s "$work/verify.txt" ] || { cat "$work/verify.txt" >&2; fail "systemd-analyze verify $1"; }
}
for u in $units; do verify "${u/@./@cam1.}"; done
mkdir -p "$x/etc/systemd/system/tarvocoil-run@cam1.service.d"
cp "$x/usr/share/doc/tarvocoil/examples/v4l2.conf" "$x/etc/systemd/system/tarvocoil-run@cam1.service.d/"
verify tarvocoil-run@cam1.service
ok "systemd-analyze verify: $(echo $units), and the camera unit with the V4L2 drop-in"
