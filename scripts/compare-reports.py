#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs the Linux spoolgate command on the files spoolgate.exe reported on under Wine and
compares the JSON: the same log folder and archive must give the same reports, paths
aside (each names the files as its own system does).
Usage: compare-reports.py HOST-COMMAND FOLDER WINDOWS-FOLDER"""
import json
import subprocess
import sys

host, folder, windows = sys.argv[1], sys.argv[2], sys.argv[3]
logs = "B\u00fc ro"
reports = {
    "verify.json": ["log", "verify", "--json", f"{folder}/{logs}"],
    "show.json": ["log", "show", "--json", "--include-damaged", f"{folder}/{logs}"],
    "summary.json": ["log", "summary", "--json", "--sum", "value_252", f"{folder}/{logs}"],
    "rud.json": ["rud", "info", "--json", f"{folder}/site-plan.RUD"],
}


def same_paths(value, root):
    """Every path below the compared folder as '<root>/...' with forward slashes."""
    if isinstance(value, dict):
        return {k: same_paths(v, root) for k, v in value.items()}
    if isinstance(value, list):
        return [same_paths(v, root) for v in value]
    if isinstance(value, str) and value.startswith(root):
        return "<root>" + value[len(root):].replace("\\", "/")
    return value


failed = 0
for name, arguments in reports.items():
    with open(f"{folder}/{name}", encoding="utf-8") as f:
        windows_report = same_paths(json.load(f), windows)
    run = subprocess.run([host] + arguments, capture_output=True, check=False)
    linux_report = same_paths(json.loads(run.stdout.decode("utf-8")), folder)
    if windows_report != linux_report:
        failed += 1
        print(f"log reports: {name} differs between Windows and Linux")
        print("  Windows:", json.dumps(windows_report, ensure_ascii=False)[:2000])
        print("  Linux:  ", json.dumps(linux_report, ensure_ascii=False)[:2000])
print(f"log reports: {len(reports) - failed} of {len(reports)} the same on Windows and Linux "
      f"({', '.join(reports)})")
sys.exit(1 if failed else 0)
