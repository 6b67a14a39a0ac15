#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs the Linux spoolgate command on the files spoolgate.exe reported on under Wine and
compares the output byte for byte, text, CSV and JSON alike: the same log folder and
archive must give the same bytes, paths aside (each names the files as its own system
does).
Usage: compare-reports.py HOST-COMMAND FOLDER WINDOWS-FOLDER"""
import json
import subprocess
import sys

host, folder, windows = sys.argv[1], sys.argv[2], sys.argv[3]
logs = "B\u00fc ro"
reports = {
    "verify.json": ["log", "verify", "--json", f"{folder}/{logs}"],
    "verify.txt": ["log", "verify", f"{folder}/{logs}"],
    "show.json": ["log", "show", "--json", "--include-damaged", f"{folder}/{logs}"],
    "show.txt": ["log", "show", "--include-damaged", f"{folder}/{logs}"],
    "show.csv": ["log", "show", "--csv", "--include-damaged", f"{folder}/{logs}"],
    "summary.json": ["log", "summary", "--json", "--sum", "value_252", f"{folder}/{logs}"],
    "summary.txt": ["log", "summary", "--sum", "value_252", f"{folder}/{logs}"],
    "summary.csv": ["log", "summary", "--csv", "--sum", "value_252", f"{folder}/{logs}"],
    "fleet.csv": ["log", "show", "--csv", f"{folder}/Fleet"],
    "rud.json": ["rud", "info", "--json", f"{folder}/site-plan.RUD"],
    "rud.txt": ["rud", "info", f"{folder}/site-plan.RUD"],
}


def same_paths(data, root, separator):
    """The output with every path below the compared folder spelt '<root>/...', as it is
    written and as JSON escapes it."""
    text = data.decode("utf-8")
    for path in (f"{root}{separator}{logs}{separator}", f"{root}{separator}{logs}",
                 f"{root}{separator}", root):
        spelt = path.replace(root, "<root>").replace(separator, "/")
        escaped = json.dumps(path, ensure_ascii=False)[1:-1]
        text = text.replace(escaped, spelt).replace(path, spelt)
    return text


failed = 0
for name, arguments in reports.items():
    with open(f"{folder}/{name}", "rb") as f:
        windows_report = same_paths(f.read(), windows, "\\")
    run = subprocess.run([host] + arguments, capture_output=True, check=False)
    linux_report = same_paths(run.stdout, folder, "/")
    if windows_report != linux_report:
        failed += 1
        print(f"log reports: {name} differs between Windows and Linux")
        print("  Windows:", repr(windows_report)[:2000])
        print("  Linux:  ", repr(linux_report)[:2000])
print(f"log reports: {len(reports) - failed} of {len(reports)} byte for byte the same on Windows and "
      f"Linux ({', '.join(reports)})")
sys.exit(1 if failed else 0)
