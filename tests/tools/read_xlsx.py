#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Reads a workbook with openpyxl, a reader apart from the library that wrote it, and
prints what a spreadsheet user would see of it as JSON: per sheet, in order, the frozen
cell and each row's cells as [type, value, number format] (type "s" text, "n" number).

  read_xlsx.py FILE
"""
import json
import sys

import openpyxl


def main():
    book = openpyxl.load_workbook(sys.argv[1])
    sheets = []
    for ws in book.worksheets:
        rows = []
        for row in ws.iter_rows():
            cells = []
            for c in row:
                if c.value is None:
                    cells.append(None)
                elif isinstance(c.value, (int, float)):
                    cells.append(["n", c.value, c.number_format])
                else:
                    cells.append(["s", str(c.value)])
            rows.append(cells)
        sheets.append({"name": ws.title, "frozen": ws.freeze_panes, "rows": rows})
    json.dump(sheets, sys.stdout)


if __name__ == "__main__":
    main()
