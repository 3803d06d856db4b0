#!/usr/bin/env python3
"""Dumps an .xlsx file as JSON for the tests: every sheet in tab order, its
non-empty cells with their type, value and number format, the custom column
widths, and which sheet is active.

Text is also given as the spreadsheet application reads it ("_xHHHH_" stands
for the character HHHH), because openpyxl hands those escapes back as they are.
"""
import json
import re
import sys

import openpyxl
import openpyxl.worksheet._reader as sheet_reader
from openpyxl.utils import get_column_letter


class Serial(float):
    """A date or time cell's serial exactly as the file holds it; openpyxl
    would hand back a date-time rounded to the millisecond."""


def keep_serial(value, *args, _convert=sheet_reader.from_excel, **kwargs):
    serial = Serial(value)
    serial.converted = _convert(value, *args, **kwargs)
    return serial


sheet_reader.from_excel = keep_serial

ESCAPE = re.compile("_x([0-9A-Fa-f]{4})_")


def as_read(text):
    return ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), text)


def cell_json(cell):
    v = cell.value
    out = {"format": cell.number_format}
    if isinstance(v, Serial):
        out.update(type="date", iso=v.converted.isoformat(), value=float(v))
    elif isinstance(v, bool):
        out.update(type="boolean", value=v)
    elif isinstance(v, (int, float)):
        out.update(type="number", value=v)
    elif isinstance(v, str):
        out.update(type="text", raw=v, value=as_read(v))
    else:
        out.update(type=type(v).__name__, value=str(v))
    return out


def main(path):
    book = openpyxl.load_workbook(path)
    sheets = []
    for ws in book.worksheets:
        cells = {}
        # Only the cells the file holds: walking the dimension would visit every
        # cell up to XFD1048576 when the last one is written.
        for cell in ws._cells.values():
            if cell.value is not None:
                cells[cell.coordinate] = cell_json(cell)
        widths = {}
        for dim in ws.column_dimensions.values():
            if dim.customWidth and dim.min:
                for c in range(dim.min, dim.max + 1):
                    widths[get_column_letter(c)] = dim.width
        sheets.append({"name": ws.title, "cells": cells, "widths": widths,
                       "selected": bool(ws.sheet_view.tabSelected)})
    json.dump({"sheets": sheets, "active": book.index(book.active)}, sys.stdout, ensure_ascii=True)


if __name__ == "__main__":
    main(sys.argv[1])
