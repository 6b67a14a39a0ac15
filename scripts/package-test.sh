#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package (scripts/package.sh), unpacks it into a scratch root as dpkg
# would install it, and runs the installed command there with nothing of the build tree
# to lean on: --version, one accounting job through the installed plug-in and logging
# library, and `log verify` of the line it wrote. Prints one line per check; exit 1 when
# one fails. The scratch root is removed at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
deb=$(scripts/package.sh) || { echo "package: FAILED (the package could not be built)"; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/spoolgate-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
status=0
check() {  # check NAME COMMAND...: runs the command, prints NAME ok or FAILED
  local name=$1
  shift
  if "$@" >"$scratch/out" 2>&1; then
    echo "package: $name: ok"
  else
    echo "package: $name: FAILED"
    sed 's/^/    /' "$scratch/out" | tail -n 20
    status=1
  fi
}
depends=$(dpkg-deb -f "$deb" Depends)
check "$(basename "$deb") declares its dependencies ($depends)" \
  bash -c '[[ "$1" == *libpq5* && "$1" == *libsqlite3-0* && "$1" == *libc6* ]]' _ "$depends"
check "unpacked into a scratch root" dpkg-deb -x "$deb" "$scratch/root"
spoolgate=$scratch/root/usr/bin/spoolgate
mkdir -p "$scratch/work"
cp examples/accounting-standard.job "$scratch/work/"
in_work() { (cd "$scratch/work" && env -u LD_LIBRARY_PATH "$@"); }
check "spoolgate --version" in_work "$spoolgate" --version
check "spoolgate capture" in_work "$spoolgate" capture accounting-standard.job -o job.cap
check "spoolgate run with the installed plug-in" in_work bash -c \
  '"$1" run --json --no-progress job.cap > report.json &&
   grep -q "\"plugin\": \"$2/usr/lib/spoolgate/libspoolgate.so\"" report.json &&
   grep -q "\"stored\": \"accounting log\"" report.json' _ "$spoolgate" "$scratch/root"
check "spoolgate log verify" in_work "$spoolgate" log verify
man=$scratch/root/usr/share/man/man1/spoolgate.1
check "man page (every subcommand, no build path) and bash completion" bash -c \
  'grep -q "^\.SS \"log import\"" "$1" && ! grep -q "$2" "$1" && test -s "$3"' _ "$man" "$PWD" \
  "$scratch/root/usr/share/bash-completion/completions/spoolgate"
exit $status
