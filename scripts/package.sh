#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package of the spoolgate command from a Release build (the package
# preset: the command, the plug-in, the logging library, the host layer, the man page)
# and prints the package's path. Install it with `sudo apt install ./<that path>`.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset package >/dev/null
cmake --build --preset package -j"${JOBS:-2}" >/dev/null
if ! (cd build/package && rm -f spoolgate_*.deb && cpack -G DEB >cpack.log 2>&1); then
  cat build/package/cpack.log >&2
  exit 1
fi
ls build/package/spoolgate_*_amd64.deb
