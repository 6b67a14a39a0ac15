#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The one command that passes the tests on a fresh machine: installs what is missing,
# builds every preset CI needs, runs every suite and ends with one summary line.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh || { echo "SUMMARY: FAILED (dependencies could not be installed)"; exit 1; }

jobs=${JOBS:-2}
failed=()
passed_total=0
run_total=0

# ctest_summary DIR LABEL [ctest args...] — runs ctest and adds its counts to the totals.
ctest_summary() {
  local dir=$1 label=$2
  shift 2
  local log
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@") >"$log" 2>&1
  local status=$?
  tail -n 25 "$log"
  # The crash-point sweep's counts (killed and power lost), from the full test output.
  grep -hE '^(kill|power loss): crash points' "$dir"/Testing/Temporary/LastTest*.log 2>/dev/null |
    sed "s/^/$label sweep, /"
  local line
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1)
  if [[ -n "$line" ]]; then
    local total failed_n
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    failed_n=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    run_total=$((run_total + total))
    passed_total=$((passed_total + total - failed_n))
  fi
  ((status == 0)) || failed+=("$label")
  rm -f "$log"
}

build_preset() {
  local preset=$1
  echo "== build $preset"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j"$jobs" >"build-$preset.log" 2>&1; then
    tail -n 40 "build-$preset.log" 2>/dev/null
    failed+=("build:$preset")
    return 1
  fi
  rm -f "build-$preset.log"
}

# A PostgreSQL server of our own for the accounting database tests (Unix socket in a
# temporary folder, no TCP), stopped on every way out of this script.
source scripts/pg-server.sh
trap pg_server_stop EXIT
trap 'exit 130' INT TERM
echo "== PostgreSQL for the database tests"
if ! PG_SERVER_FSYNC=off pg_server_start; then
  echo "PostgreSQL server could not be started: its database tests are skipped"
  failed+=("postgresql")
fi

# The host suites run in the coverage build (the host build with gcc's --coverage), so
# that one run gives both their results and the lines and branches they reached.
if build_preset coverage; then
  echo "== test host (coverage build)"
  find build/coverage -name '*.gcda' -delete
  ctest_summary build/coverage host
  echo "== coverage"
  scripts/coverage.sh build/coverage || failed+=("coverage")
fi
if build_preset asan; then
  echo "== test asan"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest_summary build/asan asan
fi
if build_preset tsan; then
  echo "== test tsan"
  # The database tests run single-threaded commands; under ThreadSanitizer they would
  # only take minutes (they run on host and asan).
  TSAN_OPTIONS=halt_on_error=1 ctest_summary build/tsan tsan -LE database
fi
if build_preset fuzz; then
  echo "== test fuzz (every committed input replayed, then 20 s per target)"
  ctest_summary build/fuzz fuzz-replay
  log=$(mktemp)
  SKIP_BUILD=1 scripts/fuzz.sh "${FUZZ_SECONDS:-20}" >"$log" 2>&1
  fuzz_status=$?
  cat "$log"
  fuzz_ok=$(grep -cE '^fuzz [a-z_]+: ok' "$log")
  fuzz_bad=$(grep -cE '^fuzz [a-z_]+: FAILED' "$log")
  run_total=$((run_total + fuzz_ok + fuzz_bad))
  passed_total=$((passed_total + fuzz_ok))
  ((fuzz_status == 0)) || failed+=("fuzz")
  rm -f "$log"
fi
if build_preset win64; then
  echo "== test win64 (DLL exports and imports; the Wine suite when present)"
  ctest_summary build/win64 win64
  echo "== test wine (the real DLLs under Wine)"
  log=$(mktemp)
  SPOOLGATE_HOST_COMMAND=build/coverage/tools/spoolgate scripts/wine-tests.sh build/win64 >"$log" 2>&1
  wine_status=$?
  grep -E '^\[  (FAILED|PASSED)|^WINE SUITE|^message boxes|^wine time|^log reports' "$log" | tail -n 25
  line=$(grep -E '^WINE SUITE: [0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
  if [[ -n "$line" ]]; then
    wine_passed=$(sed -E 's/^WINE SUITE: ([0-9]+) passed.*/\1/' <<<"$line")
    wine_failed=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")
    run_total=$((run_total + wine_passed + wine_failed))
    passed_total=$((passed_total + wine_passed))
  fi
  ((wine_status == 0)) || failed+=("wine")
  rm -f "$log"
  echo "== release (MSI and driver kit signed with a throwaway CA; install, upgrade, removal under Wine)"
  log=$(mktemp)
  scripts/release-test.sh build/win64 >"$log" 2>&1
  release_status=$?
  cat "$log"
  release_ok=$(grep -cE '^release: .*: ok$' "$log")
  release_bad=$(grep -cE '^release: .*FAILED' "$log")
  run_total=$((run_total + release_ok + release_bad))
  passed_total=$((passed_total + release_ok))
  ((release_status == 0)) || failed+=("release")
  rm -f "$log"
fi
echo "== package (Release build, Debian package run from a scratch root)"
log=$(mktemp)
scripts/package-test.sh >"$log" 2>&1
package_status=$?
cat "$log"
package_ok=$(grep -cE '^package: .*: ok$' "$log")
package_bad=$(grep -cE '^package: .*FAILED' "$log")
run_total=$((run_total + package_ok + package_bad))
passed_total=$((passed_total + package_ok))
((package_status == 0)) || failed+=("package")
rm -f "$log"

if ((${#failed[@]})); then
  echo "SUMMARY: FAILED (${failed[*]}); $passed_total of $run_total tests passed"
  exit 1
fi
echo "SUMMARY: OK; $passed_total of $run_total tests passed (host with coverage, asan, tsan, fuzz, win64, wine, release, package)"
