#!/usr/bin/env bash
# Installs what building and testing Scythe needs (Debian packages).
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libcap-dev
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64
          e2fsprogs util-linux python3 time
          dpkg-dev file icoutils unzip man-db groff-base binutils lintian clang-tidy
          wixl msitools)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${packages[@]}" >/dev/null
