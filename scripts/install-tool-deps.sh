#!/bin/sh
# Installs what the tarvocoil tool needs on Debian 12: a C++ toolchain,
# CMake, FFmpeg's development libraries, nlohmann-json, CLI11, GoogleTest for
# its tests and a font for the text in review pictures. Quick when all is
# there already; otherwise needs root (or sudo).
set -eu

packages="cmake g++ make pkg-config
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libavfilter-dev
  nlohmann-json3-dev libcli11-dev libgtest-dev fonts-dejavu-core"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
if [ -z "$missing" ]; then
  exit 0
fi

echo "install-tool-deps: installing$missing" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
# shellcheck disable=SC2086
$sudo apt-get install -y --no-install-recommends $missing
