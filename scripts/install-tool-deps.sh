#!/bin/sh
# Installs what the tarvocoil tool needs on Debian 12 (compiler, CMake,
# FFmpeg's development libraries, cairo, nlohmann-json, CLI11, cpp-httplib,
# libmosquitto, libcurl, GoogleTest, a font).
exec bash "$(dirname "$0")/install-deps.sh" core tool
