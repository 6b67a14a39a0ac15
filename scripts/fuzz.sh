#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# scripts/fuzz.sh SECONDS [TARGET...] — builds the fuzz preset and runs every fuzz target
# (or the ones named) for SECONDS each, one after the other. Each target grows a working
# corpus under build/fuzz/corpus/ from the committed seeds in fuzz/corpus/; a crash,
# leak or broken invariant leaves its input in build/fuzz/findings/ and fails the run.
# To keep a finding: copy it to fuzz/corpus/<target>/regression-<what>, fix, commit.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
((${#targets[@]})) || targets=(job log_format archive_naming printer_name capture)

if [[ -z "${SKIP_BUILD:-}" ]]; then
  cmake --preset fuzz >/dev/null || exit 1
  cmake --build --preset fuzz -j"${JOBS:-2}" $(printf -- '--target fuzz_%s ' "${targets[@]}") \
    >build-fuzz.log 2>&1 || { tail -n 40 build-fuzz.log; exit 1; }
  rm -f build-fuzz.log
fi

mkdir -p build/fuzz/findings
failed=()
for t in "${targets[@]}"; do
  work=build/fuzz/corpus/$t
  mkdir -p "$work"
  log=build/fuzz/findings/$t.log
  # Job inputs carry whole records (a JobLogRecord alone is 2780 bytes).
  max_len=4096
  [[ $t == job ]] && max_len=16384
  build/fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -max_len=$max_len -print_final_stats=1 -artifact_prefix=build/fuzz/findings/$t- \
    "$work" "fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  cov=$(grep -E '#[0-9]+.*cov:' "$log" | tail -1 | sed -E 's/.*cov: ([0-9]+).*/\1/')
  if ((status != 0)); then
    failed+=("$t")
    echo "fuzz $t: FAILED after ${runs:-?} runs; see $log and build/fuzz/findings/$t-*"
    grep -E 'ERROR|invariant|SUMMARY' "$log" | head -5
  else
    echo "fuzz $t: ok, ${runs:-?} runs in ${seconds}s, coverage ${cov:-?}"
  fi
done
((${#failed[@]} == 0)) || { echo "fuzz: findings in ${failed[*]}"; exit 1; }
