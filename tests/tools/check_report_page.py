#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Opens the chart page of `spoolgate log report --html` in headless Chromium, as a
manager would, and checks it: nothing fetched from elsewhere, every chart drawn (bars
in the screenshot where the chart is), and every table equal to the JSON report of the
same rows.

  check_report_page.py SPOOLGATE WORKDIR COLUMN -- SOURCE-AND-FILTER-ARGS...

COLUMN is the --by column of a section; the page nests it with the month. Exit 0 when all is well; every
fault is printed, one a line.
"""
import html.parser
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib

BAR = (0x3B, 0x6E, 0xA8)  # the bars' fill in the page's style
# The segments' fills of the stacked chart of nested keys.
SERIES = [(0x3B, 0x6E, 0xA8), (0xE0, 0x8A, 0x2C), (0x5A, 0x9E, 0x4B), (0xB8, 0x47, 0x4A)]


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


def chromium(work, *args):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    # As root Chromium runs only without its sandbox; no name resolves, so no fetch
    # could succeed even if the page tried one.
    base = [exe, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
            "--force-device-scale-factor=1", "--disable-background-networking",
            "--host-resolver-rules=MAP * ~NOTFOUND", "--user-data-dir=" + os.path.join(work, "profile")]
    return subprocess.run(base + list(args), check=True, capture_output=True, text=True, timeout=120).stdout


def read_png(path):
    """RGB rows of an 8-bit RGB or RGBA PNG."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat, width = 8, b"", 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, color = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and color in (2, 6), "PNG of depth %d, color type %d" % (depth, color)
            channels = 3 if color == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b, c = prev[x], prev[x - channels] if x >= channels else 0
            if f == 1:
                line[x] = (line[x] + a) & 255
            elif f == 2:
                line[x] = (line[x] + b) & 255
            elif f == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, channels)])
        prev = line
    return rows


class Tables(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tables, self.current, self.cell = {}, None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self.current = self.tables.setdefault(attrs.get("id"), [])
        elif tag == "tr" and self.current is not None:
            self.current.append([])
        elif tag in ("td", "th") and self.current is not None:
            self.cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.current[-1].append(self.cell)
            self.cell = None
        elif tag == "table":
            self.current = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def main():
    spoolgate, work, column = sys.argv[1:4]
    common = sys.argv[sys.argv.index("--") + 1:]
    faults = []
    page = os.path.join(work, "page.html")
    run([spoolgate, "log", "report", *common, "--by", column, "--by", "month", "--html", page])
    text = open(page, encoding="utf-8").read()
    for outside in re.findall(r"(?:https?:|//[a-z]|\bsrc=|\bhref=|@import|url\()", text, re.I):
        faults.append("the page refers to something outside it: " + outside)

    # The page as laid out: where each chart is, from a copy that reports it.
    probe = os.path.join(work, "probe.html")
    script = ("<script>document.body.setAttribute('data-layout', JSON.stringify({height: "
              "document.documentElement.scrollHeight, charts: [...document.querySelectorAll('svg.chart')]"
              ".map(s => { const r = s.getBoundingClientRect(); return {id: s.id, x: r.x, y: r.y, "
              "w: r.width, h: r.height}; })}));</script>")
    open(probe, "w", encoding="utf-8").write(text.replace("</body>", script + "</body>"))
    dom = chromium(work, "--window-size=1200,800", "--dump-dom", "file://" + probe)
    layout = json.loads(html.unescape(re.search(r'data-layout="([^"]*)"', dom).group(1)))
    height = int(layout["height"]) + 20
    shot = os.path.join(work, "page.png")
    chromium(work, "--window-size=1200,%d" % height, "--screenshot=" + shot, "file://" + page)
    pixels = read_png(shot)
    if len(layout["charts"]) != 5:
        faults.append("%d charts on the page, not 5" % len(layout["charts"]))
    for chart in layout["charts"]:
        x0, y0 = int(chart["x"]), int(chart["y"])
        x1, y1 = min(x0 + int(chart["w"]), len(pixels[0])), min(y0 + int(chart["h"]), len(pixels))
        fills = SERIES if chart["id"] == "chart-nested" else [BAR]
        bars = sum(1 for y in range(y0, y1) for x in range(x0, x1)
                   if any(all(abs(p - q) <= 8 for p, q in zip(pixels[y][x], fill)) for fill in fills))
        if bars < 200:
            faults.append("%s: %d bar pixels where the chart is (%d,%d %dx%d)" %
                          (chart["id"], bars, x0, y0, x1 - x0, y1 - y0))

    # Every table against the JSON report of the same rows.
    tables = Tables()
    tables.feed(dom)
    # The ranked sections follow the value they chart: the cost, else the first sum.
    rank = ["--rank", "cost" if "--cost" in common else
            common[common.index("--sum") + 1] if "--sum" in common else "jobs"]
    sections = {
        "table-month": ["--by", "month"],
        "table-users": ["--by", "user", "--top", "10", *rank],
        "table-printers": ["--by", "computer", "--by", "printer", "--top", "5", *rank],
        "table-by-1": ["--by", column, *rank],
    }
    for table, by in sections.items():
        report = json.loads(run([spoolgate, "log", "summary", *common, *by, "--json"]))
        expected = []
        for g in report["groups"]:
            row = [g["key"][k] or "(none)" for k in report["by"]]
            row.append(str(g["jobs"]))
            row += [str(v) for v in g["sums"].values()]
            if "cost" in g:
                row.append(g["cost"])
            expected.append(row)
        # Numbers with thousands separators, costs with their currency.
        shown = [[re.sub(r"[^0-9.]", "", cell) if i >= len(report["by"]) else cell for i, cell in enumerate(r)]
                 for r in tables.tables.get(table, [])[1:]]
        if shown != expected:
            faults.append("%s: the page shows %s, the JSON report %s" % (table, shown[:3], expected[:3]))
        elif not expected:
            faults.append("%s: no rows" % table)
    # The nested table: each row's total is that row of the single key's report, and the
    # corner is the total of all.
    single = json.loads(run([spoolgate, "log", "summary", *common, "--by", column, *rank, "--json"]))
    value = "cost" if rank[1] == "cost" else None
    def charted(tally):
        if value:
            return tally["cost"]
        return str(tally["sums"][rank[1]] if rank[1] != "jobs" else tally["jobs"])
    nested = tables.tables.get("table-nested", [])
    # In the rank's order, as the JSON report of the same --rank lists its groups.
    expected = [[g["key"][column] or "(none)", charted(g)] for g in single["groups"]]
    expected.append(["total", charted(single["total"])])
    shown = [[r[0], re.sub(r"[^0-9.]", "", r[-1])] for r in nested[1:]]
    if shown != expected:
        faults.append("table-nested: row totals %s, the JSON report %s" % (shown[:3], expected[:3]))
    for f in faults:
        print(f)
    print("page checked: %d charts, %d tables, %d faults" % (len(layout["charts"]), len(sections) + 1, len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
