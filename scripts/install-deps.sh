#!/usr/bin/env bash
# Installs what building and testing TarvoCoil needs on Debian 12, as root.
#   scripts/install-deps.sh            everything
#   scripts/install-deps.sh core tool  only some groups
# Groups: core (compiler, CMake, ccache, GoogleTest, Google Benchmark), tool
# (FFmpeg libraries, libavdevice for V4L2 cameras, cairo, JSON and CLI
# parsers, cpp-httplib, a font, MQTT and HTTP clients, the ffmpeg program the
# tool tests make their clips with, help2man for the man page), tooltest (an
# MQTT broker and openssl for the delivery tests), editor (Chromium,
# chromedriver and Selenium for the editor's browser test), python
# (pybind11, numpy, pytest, OpenCV, pip and venv for Debian's
# /usr/bin/python3; ffmpeg for test clips), gst (GStreamer's development
# files and tools, and the base, good and libav plugins the element's tests
# use), win32 (mingw-w64, pefile), wine (wine32, to run the Windows DLL's
# tests), fuzz (clang 14 with its sanitizer
# runtimes), coverage (llvm 14's profile tools, for scripts/fuzz.sh --coverage),
# package (dpkg-dev, fakeroot and lintian to build and check the .deb
# packages, systemd for systemd-analyze, pkg-config; Debian's python3 and
# pybind11 for the Python package).
#
# Package archives fail in passing (an index mid-sync, a mirror hiccup), so
# the index update is retried, and a failed index is only a warning when the
# packages then install. One group that cannot be installed does not keep
# the others out: when installing everything at once fails, each group is
# installed alone, and the packages that still fail are named at the end
# with the package manager's reason. Exit status 0 only when every package
# is installed.
#
# Environment:
#   INSTALL_DEPS_REPORT  file to write one line per package that could not
#                        be installed: "group<TAB>package<TAB>reason"
#   INSTALL_DEPS_PAUSE   seconds before the first retry of the index update
#                        (default 5; each later pause is three times longer)
set -uo pipefail

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(core tool tooltest editor python gst win32 wine fuzz package)
report=${INSTALL_DEPS_REPORT:-}
pause=${INSTALL_DEPS_PAUSE:-5}
[ -n "$report" ] && : > "$report"

group_packages() {  # group -> its packages on stdout; 2 for an unknown group
  case "$1" in
    core) echo build-essential cmake ccache pkg-config python3 libgtest-dev googletest libbenchmark-dev binutils file ;;
    tool) echo libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libavfilter-dev libavdevice-dev \
               nlohmann-json3-dev libcli11-dev libcpp-httplib-dev libcairo2-dev fonts-dejavu-core ffmpeg \
               libmosquitto-dev libcurl4-openssl-dev libcrypt-dev help2man ;;
    tooltest) echo mosquitto libcpp-httplib-dev openssl ;;
    editor) echo chromium chromium-driver python3-selenium ffmpeg ;;
    python) echo python3-dev python3-pybind11 pybind11-dev python3-numpy python3-pytest python3-opencv \
                 python3-pip python3-venv python3-setuptools python3-wheel nlohmann-json3-dev ffmpeg ;;
    gst) echo libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools \
              gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav ;;
    win32) echo g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev lld-14 clang-14 python3-pefile ;;
    wine) echo wine wine32:i386 ;;
    fuzz) echo clang-14 libclang-rt-14-dev ;;
    coverage) echo llvm-14 ;;
    package) echo dpkg-dev fakeroot lintian systemd pkg-config file binutils python3-dev python3-pybind11 \
                  pybind11-dev python3-numpy ;;
    *) return 2 ;;
  esac
}

installed() {  # package
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The package manager's own words on why an install failed, on one line:
# the first three dependency lines that name a package (and how many more
# there were), then its error lines.
apt_reason() {  # log file
  local deps n
  deps=$(grep -E '^ +[^ ]+ : ' "$1" | sed -e 's/^ *//')
  n=$(printf '%s' "$deps" | grep -c '^')
  {
    printf '%s\n' "$deps" | head -n 3
    [ "$n" -gt 3 ] && echo "... and $((n - 3)) more dependency problems"
    grep -E '^E: ' "$1"
  } | grep -v '^$' | paste -sd';' - | sed -e 's/;/; /g'
}

declare -A missing_of=()
need_i386=0
all_missing=()
for g in "${groups[@]}"; do
  if ! list=$(group_packages "$g"); then
    echo "install-deps: unknown group '$g' (groups: core tool tooltest editor python gst win32 wine fuzz coverage package)" >&2
    exit 2
  fi
  missing=()
  for p in $list; do
    installed "$p" || missing+=("$p")
    case "$p" in *:i386) need_i386=1 ;; esac
  done
  missing_of[$g]="${missing[*]}"
  all_missing+=("${missing[@]}")
done
if [ ${#all_missing[@]} -eq 0 ]; then
  echo "install-deps: all present (${groups[*]})"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${all_missing[*]}; run as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ "$need_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Three tries with growing pauses. An index that still fails is a warning:
# the installs below say whether what was fetched is enough.
update_index() {
  local try wait=$pause
  for try in 1 2 3; do
    if apt-get update -q > "$log" 2>&1; then
      return 0
    fi
    echo "install-deps: apt-get update failed (try $try of 3): $(apt_reason "$log")" >&2
    if [ "$try" -lt 3 ]; then
      sleep "$wait"
      wait=$((wait * 3))
    fi
  done
  echo "install-deps: warning: some package index could not be fetched; installing from what was" >&2
}

install_packages() {  # packages...
  apt-get install -y -q "$@" > "$log" 2>&1
}

echo "install-deps: installing ${all_missing[*]}"
update_index
if install_packages "${all_missing[@]}"; then
  echo "install-deps: installed (${groups[*]})"
  exit 0
fi
echo "install-deps: installing everything at once failed ($(apt_reason "$log")); installing group by group" >&2

failures=0
for g in "${groups[@]}"; do
  read -r -a pkgs <<< "${missing_of[$g]}"
  [ ${#pkgs[@]} -eq 0 ] && continue
  install_packages "${pkgs[@]}" && continue
  # Name the packages of the group that fail on their own.
  for p in "${pkgs[@]}"; do
    installed "$p" && continue
    install_packages "$p" && continue
    reason=$(apt_reason "$log")
    [ -n "$reason" ] || reason="apt-get install exited non-zero"
    echo "install-deps: could not install $p (group $g): $reason" >&2
    [ -n "$report" ] && printf '%s\t%s\t%s\n' "$g" "$p" "$reason" >> "$report"
    failures=$((failures + 1))
  done
done
if [ "$failures" -gt 0 ]; then
  echo "install-deps: $failures package(s) could not be installed; see the lines above" >&2
  exit 1
fi
echo "install-deps: installed (${groups[*]})"
