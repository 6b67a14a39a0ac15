#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `spoolgate run` timed as a user runs it; prints one "name: value" line per figure.
#
#   bench/run_tool.sh BUILD WORK [ROUNDS]
#
# SPOOLGATE_BENCH_JOBS (default 1000) sets the number of history jobs, SPOOLGATE_BENCH_COPY=0
# skips the copy (for a quick look at another build of the command), and
# SPOOLGATE_BENCH_HISTORY=0 the history.
# history: 1,000 jobs (plain, archived, accounting; each 4 KiB of data) in a fresh root,
#   and in a root that already holds 10,000 files and a 100,000-line accounting log:
#   the cost of a job must not grow with what the sandbox holds.
# copy: a 1 GiB archive capture (64 KiB blocks) run through the plug-in, against dd
#   copying the same capture with the same block size (read into a process and written
#   out, as run does) behind a 380-byte gap, where the archive's data starts, so that
#   both write the same page layout; and run's peak resident memory.
# Rounds alternate the two sides; each side's median is printed.
set -euo pipefail
build=$1
work=$2
rounds=${3:-3}
jobs=${SPOOLGATE_BENCH_JOBS:-1000}
here=$(cd "$(dirname "$0")/.." && pwd)
spoolgate=$(cd "$build" && pwd)/tools/spoolgate
mkdir -p "$work"
cd "$work"

median() { python3 -c 'import statistics,sys; print(statistics.median(float(x) for x in sys.argv[1:]))' "$@"; }

# --- history ------------------------------------------------------------------------
if [ "${SPOOLGATE_BENCH_HISTORY:-1}" = 1 ]; then
cat >plain.job <<'JOB'
JobHeaderRecord jobFlags=0
data pattern size=4096 seed=1
EndDoc
JOB
cat >archived.job <<'JOB'
JobHeaderRecord jobFlags=JOB_FLAG_ARCHIVE
ArchiveLocationRecord directory='C:\Bench\Jobs' fileName='' documentName='fallback'
ArchiveHeaderRecord
data pattern size=4096 seed=2
EndDoc
JOB
"$spoolgate" capture plain.job -o plain.cap >/dev/null
"$spoolgate" capture archived.job -o archived.cap >/dev/null
"$spoolgate" capture "$here/examples/accounting-standard.job" -o accounting.cap >/dev/null
# Each archived job takes its document name, so its own file, from its capture's name.
mkdir -p jobs
args=()
for i in $(seq -w 1 $(((jobs + 2) / 3))); do
  ln -f archived.cap "jobs/arch-$i.cap"
  args+=(plain.cap "jobs/arch-$i.cap" accounting.cap)
done
args=("${args[@]:0:$jobs}")
# No rotation, so the full root's log stays one long file (given when the build knows it).
settings=()
if "$spoolgate" run --help | grep -q -- --log-max-size; then settings=(--log-max-size 1048576); fi

# The full root: 10,000 files in 100 directories, and a log of 100,000 checked lines
# continuing the line one accounting job writes.
rm -rf seed full-template
"$spoolgate" run --root seed --no-progress accounting.cap >/dev/null
mkdir -p full-template
cp -a seed/. full-template/
rm -f full-template/C/Windows/temp/PrintLog/*
python3 - seed/C/Windows/temp/PrintLog/DemoLog.csv full-template <<'PY'
import os, sys, zlib
src, root = sys.argv[1], sys.argv[2]
text = open(src, "rb").read()
header, line = text.split(b"\r\n")[0:2]
body = line.split(b",", 1)[1].rsplit(b",", 1)[0]
with open(os.path.join(root, "C/Windows/temp/PrintLog/DemoLog.csv"), "wb") as out:
    out.write(header + b"\r\n")
    for seq in range(1, 100001):
        record = b"%d," % seq + body
        out.write(record + b",%08X\r\n" % zlib.crc32(record))
for d in range(100):
    path = os.path.join(root, "C/Old/%02d" % d)
    os.makedirs(path)
    for f in range(100):
        with open(os.path.join(path, "job%03d.RUD" % f), "wb") as out:
            out.write(b"\0" * 512)
PY

fresh_times=() full_times=()
for round in $(seq 1 "$rounds"); do
  for side in fresh full; do
    rm -rf root
    if [ "$side" = full ]; then cp -a full-template root; else mkdir root; fi
    sync
    start=$(date +%s.%N)
    "$spoolgate" run --root root --no-progress "${settings[@]}" "${args[@]}" >/dev/null || [ $? -eq 1 ]
    end=$(date +%s.%N)
    t=$(python3 -c "print($end - $start)")
    if [ "$side" = fresh ]; then fresh_times+=("$t"); else full_times+=("$t"); fi
  done
done
echo "history_${jobs}_jobs_fresh_root_s: $(median "${fresh_times[@]}")"
echo "history_${jobs}_jobs_full_root_s: $(median "${full_times[@]}")"
rm -rf root seed full-template jobs
fi
[ "${SPOOLGATE_BENCH_COPY:-1}" = 0 ] && exit 0

# --- copy -----------------------------------------------------------------------------
cat >big.job <<'JOB'
JobHeaderRecord jobFlags=JOB_FLAG_ARCHIVE
ArchiveLocationRecord directory='C:\Bench' fileName='big' documentName='big'
ArchiveHeaderRecord
data pattern size=1073741824 seed=1 block=65536
EndDoc
JOB
"$spoolgate" capture big.job -o big.cap >/dev/null
run_times=() dd_times=() peak=0
for round in $(seq 1 "$rounds"); do
  rm -rf root
  sync
  /usr/bin/time -f "%e %M" -o time.run "$spoolgate" run big.cap --root root --no-progress >/dev/null
  read -r t m <time.run
  run_times+=("$t")
  [ "$m" -gt "$peak" ] && peak=$m
  rm -rf root
  sync
  /usr/bin/time -f "%e %M" -o time.dd \
    dd if=big.cap of=copy.cap bs=65536 seek=380 oflag=seek_bytes status=none
  read -r t m <time.dd
  dd_times+=("$t")
  rm -f copy.cap
done
rm -f big.cap
echo "run_1GiB_s: $(median "${run_times[@]}")"
echo "dd_1GiB_s: $(median "${dd_times[@]}")"
echo "run_1GiB_peak_rss_kib: $peak"
