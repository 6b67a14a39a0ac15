#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check_doc_tests.sh ROOT - every test a page of the documentation cites as `Suite.Name`
# (or a whole suite as `Suite.*`) is defined in the tree's tests, so that a renamed or
# moved test cannot leave a page pointing at nothing.
set -euo pipefail
root=$1
defined=$(find "$root/tests" -name '*.cpp' -print0 | xargs -0 cat | tr '\n' ' ' |
          grep -oE '\bTEST(_F|_P)?\( *[A-Za-z0-9_]+ *, *[A-Za-z0-9_]+ *\)' |
          sed -E 's/^TEST(_F|_P)?\( *([A-Za-z0-9_]+) *, *([A-Za-z0-9_]+) *\)/\2.\3/' | sort -u)
suites=$(sed 's/\..*//' <<<"$defined" | sort -u)
status=0 cited=0
while IFS=: read -r file line citation; do
  cited=$((cited + 1))
  name=${citation//\`/}
  if [[ $name == *.\* ]]; then
    grep -qxF "${name%.\*}" <<<"$suites" && continue
  else
    grep -qxF "$name" <<<"$defined" && continue
  fi
  echo "${file#"$root"/}:$line: cites $name, which no test in tests/ defines"
  status=1
done < <(grep -noE '`[A-Z][A-Za-z0-9]*\.([A-Z][A-Za-z0-9_]*|\*)`' "$root"/README.md "$root"/docs/*.md |
         grep -vE '`[A-Z0-9]+\.[A-Z0-9]+`' || true)
echo "$cited test citations checked, $(wc -l <<<"$defined") tests defined"
exit $status
