#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# Measures the tests by mutation: plants each single-line fault of a list (scripts/mutants.txt)
# in its file, one at a time, rebuilds incrementally, runs the tests of the fault's area and
# says which faults no test caught. Not part of scripts/test.sh: a run takes an hour or more.
#
#   scripts/mutate.py [--list FILE] [--build DIR] [--only ID,ID...] [--jobs N] [--timeout S]
#
# A mutant names its file and an exact piece of one line, found by text and never by line
# number, so the list survives edits elsewhere in the file. A piece that is no longer there
# (or is there twice) is reported as stale, never skipped in silence. The file is put back
# after every mutant, also when the run is interrupted (Ctrl-C, SIGTERM); a run killed
# outright leaves a note in the build folder that the next run restores from first.
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Mutant:
    def __init__(self, ident, line):
        self.id = ident
        self.line = line  # where it is written in the list
        self.area = None
        self.file = None
        self.original = None
        self.replacement = None
        self.note = ""


def read_list(path):
    """Reads the list: `area NAME: CTEST ARGS` lines, then blocks of
    `[ID] AREA`, `file: PATH`, `- ORIGINAL`, `+ REPLACEMENT` (and optional `# note`)."""
    areas, mutants = {}, []
    current = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            where = f"{path}:{number}"
            if not line.strip():
                continue
            if line.startswith("#"):
                if current is not None and current.original is not None:
                    current.note = (current.note + " " + line[1:].strip()).strip()
                continue
            m = re.match(r"area (\w+): (.+)$", line)
            if m:
                areas[m.group(1)] = m.group(2).split()
                continue
            m = re.match(r"\[([\w-]+)\] (\w+)$", line)
            if m:
                current = Mutant(m.group(1), where)
                current.area = m.group(2)
                mutants.append(current)
                continue
            if current is None:
                sys.exit(f"{where}: a mutant starts with [ID] AREA")
            if line.startswith("file: "):
                current.file = line[6:].strip()
            elif line.startswith("- "):
                current.original = line[2:]
            elif line.startswith("+ "):
                current.replacement = line[2:]
            elif line == "+":
                current.replacement = ""
            else:
                sys.exit(f"{where}: not understood: {line}")
    seen = set()
    for m in mutants:
        if None in (m.file, m.original, m.replacement):
            sys.exit(f"{m.line}: mutant {m.id} needs file:, - and +")
        if m.area not in areas:
            sys.exit(f"{m.line}: mutant {m.id}: no area {m.area} (declare `area {m.area}: ctest args`)")
        if m.id in seen:
            sys.exit(f"{m.line}: mutant {m.id} named twice")
        seen.add(m.id)
    return areas, mutants


class Planted:
    """The one file changed at a time; put back by restore(), from memory or from the note."""

    def __init__(self, note_path):
        self.note_path = note_path
        self.path = None
        self.text = None

    def plant(self, path, text, mutated):
        with open(self.note_path, "w", encoding="utf-8") as f:
            json.dump({"path": path, "text": text}, f)
        self.path, self.text = path, text
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(mutated)

    def restore(self):
        if self.path is not None:
            with open(self.path, "w", encoding="utf-8", newline="") as f:
                f.write(self.text)
            self.path = self.text = None
        if os.path.exists(self.note_path):
            os.remove(self.note_path)

    def restore_left_over(self):
        """A run killed outright left its mutant in place: put the file back first."""
        if not os.path.exists(self.note_path):
            return
        with open(self.note_path, encoding="utf-8") as f:
            note = json.load(f)
        with open(note["path"], "w", encoding="utf-8", newline="") as f:
            f.write(note["text"])
        print(f"restored {os.path.relpath(note['path'], ROOT)} from an interrupted run", flush=True)
        os.remove(self.note_path)


def run(cmd, log, timeout):
    """Runs cmd in a process group of its own, so that a timeout or an interruption ends
    the test programs ctest started too. None when it timed out."""
    with open(log, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        proc = subprocess.Popen(cmd, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            out.write(f"timed out after {timeout} s\n")
            return None
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()


def main():
    p = argparse.ArgumentParser(description="plant each mutant of the list, rebuild, run its area's tests")
    p.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutants.txt"))
    p.add_argument("--build", default=os.path.join(ROOT, "build", "mutate"))
    p.add_argument("--only", default="", help="comma-separated mutant ids")
    p.add_argument("--jobs", default="2")
    p.add_argument("--timeout", type=int, default=1800, help="seconds for one mutant's tests")
    p.add_argument("--check", action="store_true", help="only check that every mutant's piece is found")
    args = p.parse_args()

    areas, mutants = read_list(args.list)
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {m.id for m in mutants}
        if unknown:
            sys.exit("no such mutant: " + ", ".join(sorted(unknown)))
        mutants = [m for m in mutants if m.id in wanted]

    planted = Planted(os.path.join(args.build, "mutant-in-place.json"))
    planted.restore_left_over()
    if not args.check:
        os.makedirs(args.build, exist_ok=True)

    def stop(signum, frame):
        raise KeyboardInterrupt
    # Also when started in the background, where Ctrl-C's signal would be ignored.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)

    log = os.path.join(args.build, "mutate.log")
    if not args.check:
        open(log, "w").close()
        if not os.path.exists(os.path.join(args.build, "build.ninja")):
            env_cmd = ["cmake", "-S", ROOT, "-B", args.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug"]
            if shutil.which("ccache"):
                env_cmd += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
            if run(env_cmd, log, None) != 0:
                sys.exit(f"configuring {args.build} failed: see {log}")
        print("building the unchanged tree first", flush=True)
        if run(["cmake", "--build", args.build, "-j", args.jobs], log, None) != 0:
            sys.exit(f"the unchanged tree does not build: see {log}")

    results = []
    interrupted = False
    started = time.time()
    try:
        for m in mutants:
            path = os.path.join(ROOT, m.file)
            try:
                with open(path, encoding="utf-8", newline="") as f:
                    text = f.read()
            except OSError:
                text = ""
            count = text.count(m.original)
            if count != 1 or "\n" in m.original:
                why = "not found" if count == 0 else f"found {count} times"
                results.append((m, "stale", why, 0.0))
                print(f"{m.id:10} stale     {m.file}: {why}", flush=True)
                continue
            if args.check:
                results.append((m, "found", "", 0.0))
                continue
            t0 = time.time()
            with open(log, "a") as out:
                out.write(f"\n=== {m.id} {m.file}\n- {m.original}\n+ {m.replacement}\n")
            planted.plant(path, text, text.replace(m.original, m.replacement, 1))
            try:
                built = run(["cmake", "--build", args.build, "-j", args.jobs], log, None)
                if built != 0:
                    verdict, why = "unbuilt", "does not compile"
                else:
                    rc = run(["ctest", "--test-dir", args.build, "-j", args.jobs, "--timeout", "600",
                              "--stop-on-failure", "--output-on-failure"] + areas[m.area], log, args.timeout)
                    if rc is None:
                        verdict, why = "killed", "timed out"
                    elif rc != 0:
                        verdict, why = "killed", "a test failed"
                    else:
                        verdict, why = "SURVIVED", ""
            finally:
                planted.restore()
            seconds = time.time() - t0
            results.append((m, verdict, why, seconds))
            print(f"{m.id:10} {verdict:9} {m.file} ({seconds:.0f} s) {why}", flush=True)
    except KeyboardInterrupt:
        planted.restore()
        print("interrupted: the file is restored (the build folder still holds the last mutant's binaries)",
              flush=True)
        interrupted = True
    finally:
        planted.restore()
    # The tree is the unchanged one again; rebuilding leaves no mutant in the binaries.
    if not args.check and results and not interrupted:
        run(["cmake", "--build", args.build, "-j", args.jobs], log, None)

    counts = {}
    for _, verdict, _, _ in results:
        counts[verdict] = counts.get(verdict, 0) + 1
    print()
    print(f"{len(results)} mutants in {time.time() - started:.0f} s: " +
          ", ".join(f"{n} {v}" for v, n in sorted(counts.items())))
    for m, verdict, why, _ in results:
        if verdict in ("SURVIVED", "stale", "unbuilt"):
            print(f"  {verdict:9} {m.id:10} {m.file}: - {m.original.strip()}")
            print(f"  {'':9} {'':10} {' ' * len(m.file)}  + {m.replacement.strip()}" +
                  (f"   ({m.note})" if m.note else ""))
    return 1 if any(v in ("SURVIVED", "stale") for _, v, _, _ in results) else 0


if __name__ == "__main__":
    sys.exit(main())
