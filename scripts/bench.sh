#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the host-release preset and prints the performance figures, one "name: value"
# line each, then the ratios with their targets. Every ratio with a target comes from a
# pair benchmark that alternates batches of its two sides in one run (the median over
# repetitions, which run in random order); see docs/performance.md.
#
#   scripts/bench.sh [--quick] [--no-build] [--no-run-tool] [--no-import] [--import-only]
#                    [--reports-only] [--history-only]
#
# --quick       fewer repetitions (a smoke run; the ratios are noisier)
# --no-build    use the binaries already in build/host-release
# --no-run-tool skip the `spoolgate run` rows (bench/run_tool.sh: 3,000 jobs twice and
#               a 1 GiB capture; it writes about 3 GiB under build/)
# --no-import   skip `spoolgate log import` of 1,000,000 lines into SQLite and PostgreSQL
#               and the reports of those lines (peak RSS and time)
# --import-only only that
# --reports-only only the log reports of a 300,000-line fleet against the read floor
#               (zlib's CRC-32 over the same bytes; also ISA-L's, without a target) and a
#               Python script (bench/summary_by_user.py)
# --history-only only a month's bill out of a long history: SQLite and PostgreSQL
#               databases of 1, 3, 12 and 36 months (100,000 lines a month) and log folders
#               of 12 months against the month alone
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build/host-release"
reps=15
do_build=1
do_run_tool=1
do_import=1
do_plugin=1
do_reports=1
do_history=1
for arg in "$@"; do
  case "$arg" in
    --quick) reps=5 ;;
    --no-build) do_build=0 ;;
    --no-run-tool) do_run_tool=0 ;;
    --no-import) do_import=0 ;;
    --import-only) do_plugin=0 do_run_tool=0 do_reports=0 do_history=0 ;;
    --reports-only) do_plugin=0 do_run_tool=0 do_import=0 do_history=0 ;;
    --history-only) do_plugin=0 do_run_tool=0 do_import=0 do_reports=0 ;;
    *) echo "usage: $0 [--quick] [--no-build] [--no-run-tool] [--no-import] [--import-only] [--reports-only]" \
         "[--history-only]" >&2
       exit 2 ;;
  esac
done

if [ "$do_build" = 1 ]; then
  cmake --preset host-release >/dev/null
  cmake --build --preset host-release -j2 --target spoolgate_bench spoolgate_bench_counts \
    spoolgate_job_memory spoolgate_log_fleet spoolgate_read_floor spoolgate_cli ruzoravu64 >/dev/null
fi

work="$build/bench/work"
rm -rf "$work"
mkdir -p "$work"
source "$here/scripts/pg-server.sh"
logs=""
fleet=""
hist=""
cleanup() {
  pg_server_stop
  rm -rf "$work" ${logs:+"$logs"} ${fleet:+"$fleet"} ${hist:+"$hist"}
}
trap cleanup EXIT
export SPOOLGATE_BENCH_ROOT="$work/root"

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"

json="$work/bench.json"
if [ "$do_plugin" = 1 ]; then
# --- counted figures ------------------------------------------------------------------
"$build/bench/spoolgate_bench_counts"

# --- memory per job: peak resident memory of a process holding N open jobs -------------
declare -A rss
for n in 1 100 10000; do
  out=$("$build/bench/spoolgate_job_memory" "$n")
  rss[$n]=$(awk '/^peak_rss_bytes:/ {print $2}' <<<"$out")
  table=$(awk '/^harness_bytes:/ {print $2}' <<<"$out")
  echo "peak_rss_${n}_jobs_bytes: ${rss[$n]}"
  [ "$n" = 10000 ] && harness10k=$table
  [ "$n" = 1 ] && harness1=$table
done
context=$("$build/bench/spoolgate_bench_counts" | awk '/^job_context_bytes:/ {print $2}')
awk -v a="${rss[1]}" -v b="${rss[10000]}" -v h1="$harness1" -v h2="$harness10k" -v c="$context" 'BEGIN {
  per = (b - a - (h2 - h1)) / 9999
  printf "rss_growth_per_job_bytes: %.0f\n", per
  printf "rss_growth_per_job_over_context_bytes: %.0f (allocator rounding allowed: 16-byte chunk header and alignment)\n", per - c
}'

# --- timed figures -----------------------------------------------------------------------
"$build/bench/spoolgate_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_min_time=0.05 \
  --benchmark_report_aggregates_only=true --benchmark_format=json \
  --benchmark_out="$json" --benchmark_out_format=json >/dev/null 2>"$work/bench.err" || {
  cat "$work/bench.err" >&2
  exit 1
}

fi

# --- spoolgate run as a user runs it: history and a 1 GiB copy (bench/run_tool.sh) -------
runfigures=""
if [ "$do_run_tool" = 1 ]; then
  runfigures=$("$here/bench/run_tool.sh" "$build" "$work/run" 3)
fi

# Timing of one command and pairs of two (the reports' and the history's sections).
# The process's own rusage (wait4), to the microsecond: /usr/bin/time prints CPU
# times to 10 ms, a seventh of the read floor's 70 ms.
seconds() {  # seconds wall|cpu CMD... -> microseconds of one run, its output thrown away
  python3 -c 'import os, sys, time
clock, command = sys.argv[1], sys.argv[2:]
start = time.perf_counter()
pid = os.fork()
if pid == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    try:
        os.execvp(command[0], command)
    finally:
        os._exit(127)
_, status, usage = os.wait4(pid, 0)
wall = time.perf_counter() - start
if os.waitstatus_to_exitcode(status) != 0:
    sys.exit(f"{command[0]}: exit status {os.waitstatus_to_exitcode(status)}")
print(int((usage.ru_utime + usage.ru_stime if clock == "cpu" else wall) * 1e6))' "$@"
}
pair() {  # pair LABEL TARGET|- wall|cpu -- A... -- B...   (-: no target, not counted)
  local label=$1 target=$2 clock=$3 a=() b=() ta=() tb=()
  shift 4
  while [ "$1" != -- ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  for ((r = 0; r < rounds; r++)); do
    ta+=("$(seconds "$clock" "${a[@]}")")
    tb+=("$(seconds "$clock" "${b[@]}")")
  done
  local line
  line=$(python3 -c 'import statistics, sys
a = statistics.median(int(x) for x in sys.argv[3].split())
b = statistics.median(int(x) for x in sys.argv[4].split())
sides = f"{a / b:.3f} ({a / 1e6:.3f} s against {b / 1e6:.3f} s {sys.argv[5]}"
if sys.argv[2] == "-":
    print(f"{sys.argv[1]}: {sides}; no target)")
else:
    verdict = "ok" if a / b <= float(sys.argv[2]) else "MISSED"
    print(f"{sys.argv[1]}: {sides}; target <= {sys.argv[2]}) {verdict}")' \
    "$label" "$target" "${ta[*]}" "${tb[*]}" "$clock")
  echo "$line"
  [ "$target" = - ] && return 0
  pairs_total=$((pairs_total + 1))
  [[ $line == *" ok" ]] && pairs_met=$((pairs_met + 1))
  return 0
}
pairs_met=0 pairs_total=0
rounds=$([ "$reps" = 5 ] && echo 3 || echo 5)

# --- log reports of 300,000 lines against the read floor and a Python script ----------
# Pairs in one run: the two sides of a pair alternate and the ratio of their medians is
# printed (5 rounds, 3 with --quick). The reading pairs count the processes' CPU time
# (user + system, to the microsecond), which other load on the machine disturbs far less
# than wall time; the database pairs count wall time, the server's work being part of it.
if [ "$do_reports" = 1 ]; then
  mem=$([ -d /dev/shm ] && echo /dev/shm || echo "$work")
  fleet=$(mktemp -d "$mem/spoolgate-bench-fleet.XXXXXX")
  "$build/bench/spoolgate_log_fleet" "$fleet" 3 100000 1024 >/dev/null
  fleet_dirs=("$fleet"/C/Logs/*)
  sg="$build/tools/spoolgate"
  floor=("$build/bench/spoolgate_read_floor" "$fleet"/C/Logs/*/*.csv)
  pair summary_by_user_over_python 0.35 cpu -- "$sg" log summary --by user "${fleet_dirs[@]}" -- \
    python3 "$here/bench/summary_by_user.py" "${fleet_dirs[@]}"
  pair summary_by_user_over_read_floor 3 cpu -- "$sg" log summary --by user "${fleet_dirs[@]}" -- "${floor[@]}"
  pair show_csv_over_read_floor 6 cpu -- "$sg" log show --csv "${fleet_dirs[@]}" -- "${floor[@]}"
  pair show_json_over_read_floor 6 cpu -- "$sg" log show --json "${fleet_dirs[@]}" -- "${floor[@]}"
  # The Linux command checks the lines with ISA-L's CRC-32, about eight times zlib's
  # rate: the same reports against a floor of that checksum, for what the rest costs.
  isal_floor=("$build/bench/spoolgate_read_floor" --isal "$fleet"/C/Logs/*/*.csv)
  pair summary_by_user_over_isal_read_floor - cpu -- "$sg" log summary --by user "${fleet_dirs[@]}" -- "${isal_floor[@]}"
  pair show_csv_over_isal_read_floor - cpu -- "$sg" log show --csv "${fleet_dirs[@]}" -- "${isal_floor[@]}"
  # verify takes one folder: the three one after another.
  pair verify_over_read_floor 2 cpu -- bash -c 'for d in "${@:2}"; do "$1" log verify "$d" || exit; done' _ \
    "$sg" "${fleet_dirs[@]}" -- "${floor[@]}"
  # The import against the databases' own loaders of the same lines: sqlite3's .import
  # and psql's \copy of every file, into a table of the files' columns (text), each run
  # into an empty database.
  db="$fleet/import.db"
  columns=$(head -n 1 "${fleet_dirs[0]}"/Jobs.csv | sed 's/^\xEF\xBB\xBF//; s/\r$//')
  {
    echo "CREATE TABLE lines (${columns//,/ TEXT, } TEXT);"
    echo ".mode csv"
    for f in "$fleet"/C/Logs/*/*.csv; do echo ".import --skip 1 '$f' lines"; done
  } >"$fleet/import.sqlite3"
  pair import_sqlite_over_sqlite3_import 1.0 wall -- \
    bash -c 'rm -f "$1"*; "$2" log import "${@:3}" --db "sqlite:$1" --no-progress' _ "$db" "$sg" "${fleet_dirs[@]}" -- \
    bash -c 'rm -f "$1"*; sqlite3 "$1" <"$2"' _ "$db.raw" "$fleet/import.sqlite3"
  pair summary_db_over_group_by 1.3 wall -- "$sg" log summary --db "sqlite:$db" --by user -- \
    sqlite3 "$db" "SELECT user_name, count(*) FROM log_lines GROUP BY user_name"
  if PG_SERVER_BASE=$mem pg_server_start >/dev/null; then
    url=$SPOOLGATE_TEST_PG_URL
    {
      echo "SET client_min_messages = warning;"
      echo "DROP TABLE IF EXISTS lines; CREATE TABLE lines (\"${columns//,/\" TEXT, \"}\" TEXT);"
      for f in "$fleet"/C/Logs/*/*.csv; do echo "\\copy lines FROM '$f' WITH (FORMAT csv, HEADER true)"; done
    } >"$fleet/import.psql"
    pair import_postgresql_over_psql_copy 2.0 wall -- \
      bash -c 'psql -q -v ON_ERROR_STOP=1 "$1" -c "SET client_min_messages = warning; DROP TABLE IF EXISTS log_lines, schema_version" &&
               "$2" log import "${@:3}" --db "$1" --no-progress' _ "$url" "$sg" "${fleet_dirs[@]}" -- \
      psql -q -v ON_ERROR_STOP=1 "$url" -f "$fleet/import.psql"
    pg_server_stop
  else
    echo "postgresql: no server could be started; the psql pair is missing" >&2
  fi
fi

# --- a month's bill out of a long history ------------------------------------------------
# The same bill (--by text_200 --sum value_252 over December 2026) from databases holding
# 1, 3, 12 and 36 months of 100,000 lines each, and from log folders holding 12 months
# against folders holding that month alone. The month is imported from logs written by
# the library; the earlier months are copies of its rows moved back by SQL (a new log
# name each), which takes seconds where writing and importing them would take minutes.
# The time indexes are dropped for the copy and built again by an import (which builds
# those a table lacks); PostgreSQL's statistics are gathered (ANALYZE), as autovacuum
# does after a large insert. SQLite's bill is timed in CPU time (the report is the
# process), PostgreSQL's in wall time (the server's work is part of it).
if [ "$do_history" = 1 ]; then
  sg="$build/tools/spoolgate"
  mem=$([ -d /dev/shm ] && echo /dev/shm || echo "$work")
  hist=$(mktemp -d "$mem/spoolgate-bench-history.XXXXXX")
  "$build/bench/spoolgate_log_fleet" "$hist/month" 4 25000 1024 >/dev/null
  mkdir -p "$hist/empty"
  printf '0\r\n' >"$hist/empty/Jobs.seq"
  bill=(--by text_200 --sum value_252 --from 2026-12 --to 2026-12)
  months=(1 3 12 36)
  "$sg" log import "$hist"/month/C/Logs/* --db "sqlite:$hist/m1.db" --no-progress >/dev/null
  for m in "${months[@]}"; do
    [ "$m" = 1 ] && continue
    cp "$hist/m1.db" "$hist/m$m.db"
    columns=$(sqlite3 "$hist/m$m.db" "SELECT group_concat(name, ', ') FROM pragma_table_info('log_lines')")
    # (replacements from variables: bash would take the quotes of a literal one away)
    name="log_name || '-' || k.n,"
    stamp="strftime('%Y-%m-%dT%H:%M:%f', time_stamp, '-' || k.n || ' months'),"
    utc="strftime('%Y-%m-%dT%H:%M:%fZ', written_utc, '-' || k.n || ' months'),"
    moved=${columns/log_name,/$name}
    moved=${moved/time_stamp,/$stamp}
    moved=${moved/written_utc,/$utc}
    sqlite3 "$hist/m$m.db" "DROP INDEX log_lines_time; DROP INDEX log_lines_utc;
      WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < $((m - 1)))
      INSERT INTO log_lines ($columns) SELECT $moved FROM k, log_lines WHERE log_name = 'Jobs';"
    "$sg" log import "$hist/empty" --db "sqlite:$hist/m$m.db" --no-progress >/dev/null
  done
  echo "history_sqlite_36_months_bytes: $(stat -c %s "$hist/m36.db")"
  pair history_month_of_12_over_month_alone_sqlite 1.3 cpu -- "$sg" log summary --db "sqlite:$hist/m12.db" "${bill[@]}" -- \
    "$sg" log summary --db "sqlite:$hist/m1.db" "${bill[@]}"
  curve() {  # curve LABEL CLOCK URL-PREFIX URL-SUFFIX: the bill's median time at each history length
    local label=$1 clock=$2 line="" m r t
    for m in "${months[@]}"; do
      t=()
      for ((r = 0; r < rounds; r++)); do t+=("$(seconds "$clock" "$sg" log summary --db "$3$m$4" "${bill[@]}")"); done
      line+="$(python3 -c 'import statistics, sys; print(f"{statistics.median(int(x) for x in sys.argv[1:]) / 1e6:.3f}")' "${t[@]}") s ($m), "
    done
    echo "$label: ${line%, } $clock"
  }
  curve history_bill_sqlite_by_months cpu "sqlite:$hist/m" ".db"
  rm -f "$hist"/m*.db*
  if PG_SERVER_BASE=$mem pg_server_start >/dev/null; then
    base=$SPOOLGATE_TEST_PG_URL
    for m in "${months[@]}"; do
      url="$base&options=-csearch_path%3Dm$m"
      psql -q -v ON_ERROR_STOP=1 "$base" -c "CREATE SCHEMA m$m"
      "$sg" log import "$hist"/month/C/Logs/* --db "$url" --no-progress >/dev/null
      if [ "$m" != 1 ]; then
        columns=$(psql -qAt "$base" -c "SELECT string_agg(column_name, ', ' ORDER BY ordinal_position)
          FROM information_schema.columns WHERE table_schema = 'm$m' AND table_name = 'log_lines'")
        name="log_name || '-' || k,"
        stamp="time_stamp - make_interval(months => k),"
        utc="written_utc - make_interval(months => k),"
        moved=${columns/log_name,/$name}
        moved=${moved/time_stamp,/$stamp}
        moved=${moved/written_utc,/$utc}
        psql -q -v ON_ERROR_STOP=1 "$url" -c "DROP INDEX log_lines_time, log_lines_utc" \
          -c "INSERT INTO log_lines ($columns) SELECT $moved FROM generate_series(1, $((m - 1))) k, log_lines
              WHERE log_name = 'Jobs'"
        "$sg" log import "$hist/empty" --db "$url" --no-progress >/dev/null
      fi
      psql -q -v ON_ERROR_STOP=1 "$url" -c "ANALYZE log_lines"
    done
    # As the benchmark's lines are written (job n on day 1 + n % 28) a month's rows lie in
    # no time order, and PostgreSQL's index scan reads its pages in the order of the
    # index: first that pair as it is, then with each table in time order (CLUSTER), as
    # imports every few minutes lay a real log down.
    pair history_month_of_12_over_month_alone_postgresql_unordered - wall -- \
      "$sg" log summary --db "$base&options=-csearch_path%3Dm12" "${bill[@]}" -- \
      "$sg" log summary --db "$base&options=-csearch_path%3Dm1" "${bill[@]}"
    for m in "${months[@]}"; do
      psql -q -v ON_ERROR_STOP=1 "$base&options=-csearch_path%3Dm$m" -c "CLUSTER log_lines USING log_lines_time" \
        -c "ANALYZE log_lines"
    done
    echo "history_postgresql_36_months_bytes: $(psql -qAt "$base" -c "SELECT sum(pg_total_relation_size(c.oid))
      FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'm36' AND c.relkind = 'r'")"
    pair history_month_of_12_over_month_alone_postgresql 1.3 wall -- \
      "$sg" log summary --db "$base&options=-csearch_path%3Dm12" "${bill[@]}" -- \
      "$sg" log summary --db "$base&options=-csearch_path%3Dm1" "${bill[@]}"
    curve history_bill_postgresql_by_months wall "$base&options=-csearch_path%3Dm" ""
    pg_server_stop
  else
    echo "postgresql: no server could be started; its history figures are missing" >&2
  fi
  # Log folders: three servers' 40,000 lines over 12 months (rotated every MiB, about
  # 60 generations) against three servers' 3,334 lines of the month alone. A folder
  # report reads every generation (docs/performance.md: why none can be skipped).
  "$build/bench/spoolgate_log_fleet" "$hist/year" 3 40000 1024 12 >/dev/null
  "$build/bench/spoolgate_log_fleet" "$hist/alone" 3 3334 1024 >/dev/null
  pair history_month_of_12_over_month_alone_folders - cpu -- "$sg" log summary "$hist"/year/C/Logs/* "${bill[@]}" -- \
    "$sg" log summary "$hist"/alone/C/Logs/* "${bill[@]}"
  rm -rf "$hist"
fi
[ "$pairs_total" = 0 ] || echo "--- pairs: $pairs_met of $pairs_total targets met ---"

# --- log import: 1,000,000 lines of ten servers' logs into SQLite and PostgreSQL --------
# The logs are written through the logging library into memory (/dev/shm), so that the
# figures are the importer's and the database's, not the reading disk's. Each import
# starts from an empty database: SQLite in memory and on this machine's disk, PostgreSQL
# with its cluster in memory. Peak RSS of one server (100,000 lines) against all ten
# shows whether memory grows with the lines.
importline=""
reportline=""
if [ "$do_import" = 1 ]; then
  mem=$([ -d /dev/shm ] && echo /dev/shm || echo "$work")
  logs=$(mktemp -d "$mem/spoolgate-bench-logs.XXXXXX")
  start=$(date +%s.%N)
  "$build/bench/spoolgate_log_fleet" "$logs/fleet" 10 100000 1024 >/dev/null
  awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "log_fleet_write_s: %.1f\n", b - a }'
  echo "log_fleet_bytes: $(du -sb "$logs/fleet" | cut -f1)"
  dirs=("$logs"/fleet/C/Logs/*)
  import_timed() {  # import_timed DB DIR... -> "seconds peak_kib cpu_seconds"
    local db=$1
    shift
    /usr/bin/time -f "%e %M %U %S" -o "$work/time.import" \
      "$build/tools/spoolgate" log import "$@" --db "$db" --no-progress >"$work/import.out" || {
      cat "$work/import.out" >&2
      return 1
    }
    awk '{ printf "%s %s %.2f", $1, $2, $3 + $4 }' "$work/time.import"
  }
  importline+="$(import_timed "sqlite:$logs/one.db" "${dirs[0]}") "
  importline+="$(import_timed "sqlite:$logs/all.db" "${dirs[@]}") "
  echo "sqlite_database_bytes: $(stat -c %s "$logs/all.db")"
  # The reports of the same 1,000,000 lines: wall time and peak RSS, from the folders
  # and from the SQLite file.
  report_timed() {  # report_timed ARGS... -> "seconds peak_kib"
    /usr/bin/time -f "%e %M" -o "$work/time.report" "$build/tools/spoolgate" log "$@" >/dev/null || return 1
    awk '{ printf "%s %s", $1, $2 }' "$work/time.report"
  }
  reportline="$(report_timed show --json "${dirs[@]}") $(report_timed report --html "$work/page.html" "${dirs[@]}")"
  reportline+=" $(report_timed show --json --db "sqlite:$logs/all.db")"
  reportline+=" $(report_timed report --html "$work/page.html" --db "sqlite:$logs/all.db")"
  reportline+=" $(report_timed summary --db "sqlite:$logs/all.db" --by month --by user --sum value_252)"
  reportline+=" $(report_timed summary --db "sqlite:$logs/all.db" --by computer --by printer --top 3 --sum value_256)"
  # Memory that does not grow with the lines: one server's 100,000 against all ten.
  reportline+=" $(report_timed show --json "${dirs[0]}") $(report_timed summary --by user "${dirs[@]}")"
  reportline+=" $(report_timed summary --by user "${dirs[0]}")"
  rm -f "$logs"/*.db*
  importline+="$(import_timed "sqlite:$work/disk.db" "${dirs[@]}") "
  rm -f "$work"/disk.db*
  if PG_SERVER_BASE=$mem pg_server_start >/dev/null; then
    importline+="$(import_timed "$SPOOLGATE_TEST_PG_URL" "${dirs[@]}") "
    pg_server_stop
  else
    echo "postgresql: no server could be started; its figure is missing" >&2
  fi
fi

python3 - "$json" "$runfigures" "$importline" "$reportline" <<'PY'
import json, os, statistics, sys

data = json.load(open(sys.argv[1])) if os.path.exists(sys.argv[1]) else {"benchmarks": []}
median = {}
for b in data["benchmarks"]:
    if b.get("aggregate_name") == "median":
        # Wall time where the benchmark asked for it (it waits for the disk), else the
        # thread's CPU time, which other load on the machine disturbs far less.
        wall = b["run_name"].endswith("/real_time")
        name = b["run_name"].replace("/real_time", "")
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        median[name] = b["real_time" if wall else "cpu_time"] * scale  # nanoseconds

def ns(name):
    return median[name]

for name in sorted(median):
    if not name.startswith("BM_Pair_"):
        print(f"{name}_ns: {median[name]:.1f}")

results = []
def ratio(label, value, op, target):
    ok = value <= target if op == "<=" else value >= target
    results.append(ok)
    print(f"{label}: {value:.3f} (target {op} {target}) {'ok' if ok else 'MISSED'}")

if median:
    print("job_pass_through_us: %.2f" % (ns("BM_Job_PassThrough") / 1e3))
    print("job_archive_101_tests_us: %.1f" % (ns("BM_Job_Archive101") / 1e3))
    print("file_open_close_us: %.2f" % (ns("BM_FileOpenClose") / 1e3))
    print("job_archive_101_tests_per_open_close: %.1f" % (ns("BM_Job_Archive101") / ns("BM_FileOpenClose")))
    print("emission_logger_us: %.1f" % (ns("BM_Emission_Logger") / 1e3))
    print("emission_minimal_append_us: %.1f" % (ns("BM_Emission_MinimalAppend") / 1e3))

    pair = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median" and b["run_name"].startswith("BM_Pair_"):
            pair[b["run_name"].replace("/real_time", "")] = b

    print("--- side-by-side pairs (medians of per-repetition ratios, same run) ---")
    # The plug-in's own cost a call, against a sink that only counts.
    for size in ("64", "4096", "65536"):
        b = pair[f"BM_Pair_PassThrough/{size}"]
        print(f"pass_through_{size}_plugin_ns: {b['a_ns']:.2f}  direct_write_printer_ns: {b['b_ns']:.2f}"
              f"  plugin_cost_ns: {b['a_ns'] - b['b_ns']:.2f}")
        ratio(f"pass_through_{size}_plugin_over_direct", b["ratio"], "<=", 1.15)
    # What users see: a sink that appends each block to a spool file with write().
    for size in ("4096", "65536"):
        b = pair[f"BM_Pair_PassThroughSpool/{size}"]
        print(f"pass_through_spool_{size}_plugin_ns: {b['a_ns']:.0f}  direct_write_printer_ns: {b['b_ns']:.0f}"
              f"  plugin_cost_ns: {b['a_ns'] - b['b_ns']:.1f}")
        ratio(f"pass_through_spool_{size}_plugin_over_direct", b["ratio"], "<=", 1.02)
    for size in ("64", "4096", "65536"):
        b = pair[f"BM_Pair_ArchiveVsPosix/{size}"]
        print(f"archive_{size}_ns: {b['a_ns']:.0f}  posix_write_ns: {b['b_ns']:.0f}")
        if size != "65536":
            print(f"archive_{size}_throughput_of_posix_write: {1 / b['ratio']:.3f}")
    ratio("archive_65536_throughput_of_posix_write", 1 / pair["BM_Pair_ArchiveVsPosix/65536"]["ratio"],
          ">=", 0.95)
    b = pair["BM_Pair_OverlayVsRead"]
    print(f"overlay_raw_insertion_1MiB_us: {b['a_ns'] / 1e3:.0f}  read_256_us: {b['b_ns'] / 1e3:.0f}")
    ratio("overlay_raw_insertion_1MiB_over_read_256", b["ratio"], "<=", 1.10)
    b = pair["BM_Pair_EmissionVsAppend"]
    print(f"emission_us: {b['a_ns'] / 1e3:.0f}  minimal_flushed_append_us: {b['b_ns'] / 1e3:.0f}")
    ratio("emission_over_minimal_append", b["ratio"], "<=", 2.0)

    print("--- the same figures from separately timed benchmarks (informative) ---")
    for size in ("64", "4096", "65536"):
        print("pass_through_%s_separate_ratio: %.3f" % (
            size, ns(f"BM_PassThrough_Plugin/{size}") / ns(f"BM_PassThrough_Direct/{size}")))
        print("state5_printer_%s_over_direct_write_printer: %.3f" % (
            size, ns(f"BM_Route_State5Printer/{size}") / ns(f"BM_PassThrough_Direct/{size}")))
        print("archive_%s_over_host_write_file: %.3f" % (
            size, ns(f"BM_Route_Archive/{size}") / ns(f"BM_Route_HostWriteFile/{size}")))
        print("archive_%s_separate_throughput_of_posix_write: %.3f" % (
            size, ns(f"BM_Route_PosixWrite/{size}") / ns(f"BM_Route_Archive/{size}")))
    print("posix_write_65536_behind_header_over_aligned: %.3f" % (
        ns("BM_Route_PosixWrite/65536") / ns("BM_Route_PosixWriteAligned/65536")))
    print("overlay_separate_ratio: %.3f" % (ns("BM_Overlay_RawInsertion") / ns("BM_Overlay_Read256")))
    print("emission_separate_ratio: %.3f" % (ns("BM_Emission_Logger") / ns("BM_Emission_MinimalAppend")))

run = dict(line.split(": ", 1) for line in sys.argv[2].splitlines() if ": " in line)
if run:
    print("--- spoolgate run (bench/run_tool.sh) ---")
    for name, value in run.items():
        print(f"{name}: {value}")
    fresh, full = float(run["history_1000_jobs_fresh_root_s"]), float(run["history_1000_jobs_full_root_s"])
    ratio("history_full_root_over_fresh_root", full / fresh, "<=", 1.2)
    run_s, dd_s = float(run["run_1GiB_s"]), float(run["dd_1GiB_s"])
    print(f"spoolgate_run_MiB_per_s: {1024 / run_s:.0f}")
    print(f"dd_64KiB_MiB_per_s: {1024 / dd_s:.0f}")
    ratio("spoolgate_run_throughput_of_dd", dd_s / run_s, ">=", 0.9)
    ratio("spoolgate_run_peak_rss_MiB", int(run["run_1GiB_peak_rss_kib"]) / 1024, "<=", 16)
fields = sys.argv[3].split()
if fields:
    lines = 1_000_000
    # Wall time, peak RSS and the importer's own CPU time (user + system) of each run.
    runs = [(float(fields[i]), int(fields[i + 1]), float(fields[i + 2])) for i in range(0, len(fields), 3)]
    (one_s, one_kib, one_cpu), (mem_s, mem_kib, mem_cpu), (disk_s, disk_kib, disk_cpu) = runs[:3]
    for label, (s, kib, cpu), n in (("sqlite_memory_100000", runs[0], 100_000),
                                    ("sqlite_memory_1000000", runs[1], lines),
                                    ("sqlite_disk_1000000", runs[2], lines)):
        print(f"import_{label}_lines_s: {s:.2f}  cpu_s: {cpu:.2f}  peak_rss_MiB: {kib / 1024:.1f}"
              f"  lines_per_cpu_s: {n / cpu:.0f}")
    ratio("import_sqlite_memory_lines_per_s", lines / mem_s, ">=", 100_000)
    print(f"import_sqlite_disk_lines_per_s: {lines / disk_s:.0f}")
    ratio("import_peak_rss_1000000_over_100000_lines", mem_kib / one_kib, "<=", 1.2)
    if len(runs) > 3:
        pg_s, pg_kib, pg_cpu = runs[3]
        print(f"import_postgresql_memory_1000000_lines_s: {pg_s:.2f}  importer_cpu_s: {pg_cpu:.2f}"
              f"  peak_rss_MiB: {pg_kib / 1024:.1f}")
        ratio("import_postgresql_memory_lines_per_s", lines / pg_s, ">=", 50_000)
fields = sys.argv[4].split()
if fields:
    # Wall time and peak RSS of each report of the 1,000,000 lines.
    names = ["show_json_folders", "report_html_folders", "show_json_sqlite", "report_html_sqlite",
             "summary_month_user_sqlite", "summary_top_printers_sqlite", "show_json_one_folder",
             "summary_user_folders", "summary_user_one_folder"]
    kib = {}
    for i, name in enumerate(names):
        s, kib[name] = float(fields[2 * i]), int(fields[2 * i + 1])
        lines = 100_000 if name.endswith("one_folder") else 1_000_000
        print(f"report_{name}_{lines}_lines_s: {s:.2f}  peak_rss_MiB: {kib[name] / 1024:.1f}")
        if name.startswith(("show_json", "report_html")):
            ratio(f"report_{name}_peak_rss_MiB", kib[name] / 1024, "<=", 64)
    print(f"report_summary_sqlite_s_per_million_lines: {float(fields[8]):.2f}")
    ratio("show_json_peak_rss_1000000_over_100000_lines", kib["show_json_folders"] / kib["show_json_one_folder"],
          "<=", 1.2)
    ratio("summary_peak_rss_1000000_over_100000_lines", kib["summary_user_folders"] / kib["summary_user_one_folder"],
          "<=", 1.2)
if results:
    print("--- %d of %d targets met ---" % (sum(results), len(results)))
PY
echo "machine: load average $(cut -d' ' -f1-3 /proc/loadavg) at end"
