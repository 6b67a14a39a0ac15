#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job on a fresh machine: installs what is missing, makes the Release build of
# the package preset (the spoolgate command, libspoolgate.so and libruzoravu64.so),
# composes the example job descriptions into captures, runs them in a fresh sandbox and
# prints the reports.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
echo "== build (package preset, Release)"
cmake --preset package >/dev/null
cmake --build --preset package -j"${JOBS:-2}" >/dev/null

spoolgate=build/package/tools/spoolgate
captures=build/demo
root=build/demo-root
rm -rf "$captures" "$root"
mkdir -p "$captures"

# In this order: the overlay is registered before the jobs that insert it.
examples=(plain-print archived-job overlay-register overlay-framed overlay-raw
          accounting-standard accounting-extended)
echo "== compose the examples"
for name in "${examples[@]}"; do
  "$spoolgate" capture "examples/$name.job" -o "$captures/$name.cap"
done

echo "== run them in $root"
files=()
for name in "${examples[@]}"; do files+=("$captures/$name.cap"); done
status=0
"$spoolgate" run --root "$root" "${files[@]}" || status=$?

echo "== the archive file"
"$spoolgate" rud info "$root/C/Jobs/2026/Plans/site-plan.RUD" | head -n 4
echo "== the accounting log"
"$spoolgate" log show "$root/C/Windows/temp/PrintLog"
"$spoolgate" log verify "$root/C/Windows/temp/PrintLog"

# The README's examples, as written there, so that they keep working.
echo "== the README's examples"
rm -rf build/sandbox build/accounting.db*
while IFS= read -r example; do
  if bash -c "$example" >/dev/null 2>build/demo/example.err; then
    echo "ok:     $example"
  else
    echo "FAILED: $example"
    cat build/demo/example.err
    status=1
  fi
done < <(grep -o '`build/package/tools/spoolgate [^`]*`' README.md | tr -d '`')
exit "$status"
