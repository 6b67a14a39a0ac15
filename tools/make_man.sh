#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Writes the spoolgate man page from the command's own help texts: help2man for the
# command, and one section per subcommand from its --help.
#   tools/make_man.sh SPOOLGATE OUTPUT
set -euo pipefail
spoolgate=$1
output=$2
include=$(mktemp)
trap 'rm -f "$include"' EXIT
{
  echo "[SUBCOMMANDS]"
  for cmd in capture run "rud info" "rud extract" "overlay info" "overlay extract" \
             "log show" "log summary" "log report" "log verify" "log import"; do
    echo ".SS \"$cmd\""
    echo ".nf"
    # shellcheck disable=SC2086
    "$spoolgate" $cmd --help | sed -e 's/\\/\\\\/g' -e 's/^\./\\\&./'
    echo ".fi"
  done
  # The README's examples of the log subcommands, as demo.sh runs them.
  echo "[EXAMPLES]"
  grep -o '`build/package/tools/spoolgate log [^`]*`' "$(dirname "$0")/../README.md" | tr -d '`' |
    sed -e 's|^build/package/tools/spoolgate|spoolgate|' -e 's/\\/\\\\/g' |
    while IFS= read -r example; do printf '.TP\n.B %s\n' "$example"; done
  echo "[SEE ALSO]"
  echo "docs/capture-format.md, docs/accounting-log.md and README.md in the source tree."
} >"$include"
help2man --no-info --name="replay print jobs through the spoolgate plug-in, inspect archives, overlays and the accounting log" \
  --include="$include" --output="$output" "$spoolgate"
