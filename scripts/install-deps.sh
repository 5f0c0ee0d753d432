#!/usr/bin/env bash
# Installs what building and testing TarvoCoil needs on Debian 12, as root.
#   scripts/install-deps.sh            everything
#   scripts/install-deps.sh core tool  only some groups
# Groups: core (compiler, CMake, GoogleTest, Google Benchmark), tool (FFmpeg
# libraries, libavdevice for V4L2 cameras, cairo, JSON and CLI parsers,
# cpp-httplib, a font, MQTT and HTTP clients, the ffmpeg program the tool
# tests make their clips with), tooltest (an MQTT broker and openssl for the
# delivery tests), editor (Chromium, chromedriver and Selenium for the
# editor's browser test), python
# (pybind11, numpy, pytest, OpenCV, pip and venv for Debian's
# /usr/bin/python3; ffmpeg for test clips), gst
# (GStreamer's development files and tools, and the base, good and libav
# plugins the element's tests use), win32 (mingw-w64, wine32, pefile), fuzz
# (clang 14 with its sanitizer runtimes).
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(core tool tooltest editor python gst win32 fuzz)

packages=()
need_i386=0
for g in "${groups[@]}"; do
  case "$g" in
    core) packages+=(build-essential cmake pkg-config python3 libgtest-dev googletest libbenchmark-dev binutils file) ;;
    tool) packages+=(libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libavfilter-dev libavdevice-dev
                     nlohmann-json3-dev libcli11-dev libcpp-httplib-dev libcairo2-dev fonts-dejavu-core ffmpeg
                     libmosquitto-dev libcurl4-openssl-dev) ;;
    tooltest) packages+=(mosquitto libcpp-httplib-dev openssl) ;;
    editor) packages+=(chromium chromium-driver python3-selenium ffmpeg) ;;
    python) packages+=(python3-dev python3-pybind11 pybind11-dev python3-numpy python3-pytest python3-opencv
                       python3-pip python3-venv python3-setuptools python3-wheel nlohmann-json3-dev ffmpeg) ;;
    gst) packages+=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
                    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav) ;;
    win32) packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 lld-14 clang-14 wine wine32:i386 python3-pefile)
           need_i386=1 ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    *) echo "install-deps: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all present (${groups[*]})"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${missing[*]}; run as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ "$need_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
apt-get update -q
apt-get install -y -q "${missing[@]}"
