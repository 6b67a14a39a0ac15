#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs, with apt-get, whatever this machine lacks for building and testing spoolgate.
# apt-get update runs at most once, and only when something is missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev g++-mingw-w64-x86-64-posix libcli11-dev nlohmann-json3-dev
          binutils-mingw-w64-x86-64 wine wine64 python3 help2man libsqlite3-dev libpq-dev
          postgresql dpkg-dev gcovr libtomlplusplus-dev chromium zlib1g-dev libisal-dev
          wixl msitools osslsigncode openssl zip unzip git)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
