#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the Windows end-to-end suite under Wine: the real spoolgate.dll and ruzoravu64.dll
# with our spooler double (a native spoolss.dll), in a fresh Wine prefix of its own that
# is removed afterwards.
# Usage: scripts/wine-tests.sh [build-dir] [gtest args...]   (build-dir: build/win64)
# Ends with "WINE SUITE: <p> passed, <f> failed, <s> skipped"; exit status 0 only when
# the suite ran to its end and nothing failed.
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/win64}
shift || true
suite=$build/tests/wine

fail() {
  echo "WINE SUITE: 0 passed, 1 failed, 0 skipped ($*)"
  exit 1
}

command -v wine >/dev/null || fail "wine is not installed (scripts/deps.sh installs it)"
for f in "$suite/wine_tests.exe" "$suite/spoolss.dll" "$suite/recorder/ruzoravu64.dll" \
         "$build/plugin/spoolgate.dll" "$build/logger/ruzoravu64.dll" "$build/tools/spoolgate.exe"; do
  [[ -f $f ]] || fail "missing $f: build the win64 preset first"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/spoolgate-wine.XXXXXX")
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# Our spooler double replaces Wine's spoolss.dll; no Mono, Gecko or menu entries.
export WINEDLLOVERRIDES="spoolss=n;mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

started=$SECONDS
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || {
  tail -n 20 "$work/wineboot.log"
  fail "wineboot could not create the prefix"
}
# Relay-trace only MessageBoxW: headless Wine returns from it at once, so the suite reads
# the boxes it was asked to show (owner, text, caption, style) from this trace.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d user32.MessageBoxW /f \
  >/dev/null 2>&1 || fail "cannot set RelayInclude"
wineserver -w

# The program with the documents its help names and the spooler double in
# C:\spoolgate-bin, the plug-in and the logging library together in a driver directory
# of their own (as a driver package installs them, away from the program that loads
# them), the recording stand-in for the logging library and the example registry
# settings where the tests pick them up.
bin=$WINEPREFIX/drive_c/spoolgate-bin
mkdir -p "$bin/driver" "$bin/recorder"
cp "$suite/wine_tests.exe" "$suite/spoolss.dll" "$build/tools/spoolgate.exe" "$build/tools/"*.md \
   examples/*.reg "$bin/"
cp "$build/plugin/spoolgate.dll" "$build/logger/ruzoravu64.dll" "$bin/driver/"
cp "$suite/recorder/ruzoravu64.dll" "$bin/recorder/"

# What the kit scenarios refuse and Wine can show: a directory of another Unix user (Wine
# reports its owner as ANONYMOUS LOGON) and a symbolic link (a reparse point to Wine).
drive=$WINEPREFIX/drive_c
mkdir -p "$drive/spoolgate-foreign" "$work/elsewhere"
chown 65534:65534 "$drive/spoolgate-foreign" 2>/dev/null || rmdir "$drive/spoolgate-foreign"
ln -s "$work/elsewhere" "$drive/spoolgate-link"
# Outputs of the command: a file of its owner alone (a DACL of the owner to Wine) that
# keeps its permissions when replaced, and a symbolic link to a file, written through.
mkdir -p "$drive/spoolgate-outputs"
echo old >"$drive/spoolgate-outputs/kept.prn"
chmod 600 "$drive/spoolgate-outputs/kept.prn"
echo old >"$drive/spoolgate-outputs/target.prn"
ln -s target.prn "$drive/spoolgate-outputs/link.prn"

trace=$work/relay.log
: >"$trace"
# Wine maps Z: to the root of the Unix file system.
export SPOOLGATE_RELAY_TRACE="Z:${trace//\//\\}"
(cd "$bin" && WINEDEBUG=-all,+relay timeout 300 wine wine_tests.exe "$@" 2>"$trace") \
  | tee "$work/suite.log"
status=${PIPESTATUS[0]}
echo "message boxes traced: $(grep -c 'Call user32.MessageBoxW(' "$trace")"
echo "wine time: $((SECONDS - started)) s"

# The log and archive reports of spoolgate.exe against the Linux command's on the same
# files (the kit scenarios leave both under C:\spoolgate-compare).
compared=0
host=${SPOOLGATE_HOST_COMMAND:-$(dirname "$build")/host/tools/spoolgate}
if [[ -d $drive/spoolgate-compare && -x $host ]]; then
  scripts/compare-reports.py "$host" "$drive/spoolgate-compare" 'C:\spoolgate-compare' || compared=1
else
  echo "log reports: not compared with Linux (no $host, or the kit scenarios did not run)"
fi

line=$(grep -E '^WINE SUITE: [0-9]+ passed, [0-9]+ failed' "$work/suite.log" | tail -1)
[[ -n $line ]] || {
  grep -v ':Call \|:Ret ' "$trace" | tail -n 20
  fail "the suite did not run to its end (status $status)"
}
echo "$line"
((status == 0 && compared == 0))
