#!/usr/bin/python3
"""Reads .xlsx files in LibreOffice Calc, through its own API (python3-uno),
for the tests: Calc is started once, headless, with a profile of its own, and
answers one request per input line until the input ends.

    cells<TAB>PATH         the workbook as Calc reads it, as JSON in the shape
                           read_xlsx.py gives (sheets in tab order, their
                           non-empty cells with type and value, the active sheet)
    counting<TAB>PATH<TAB>HEADER  one line per sheet for sheets that hold one counting
                           column below HEADER, as CountingSheets reads them
                           (a JSON list of those lines)

Each answer is one line; a request that fails is answered "ERROR <reason>".
"""
import datetime
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from calc_session import CalcSession  # noqa: E402 (found through the path above)
from com.sun.star.sheet.CellFlags import VALUE, DATETIME, STRING, FORMULA  # noqa: E402

# com.sun.star.util.NumberFormat
DATE, TIME, LOGICAL = 2, 4, 1024
FILE_DAY_0 = datetime.date(1899, 12, 30)


def column_name(column):
    name = ""
    column += 1
    while column:
        column, rest = divmod(column - 1, 26)
        name = chr(ord("A") + rest) + name
    return name


def used_area(sheet):
    cursor = sheet.createCursor()
    cursor.gotoEndOfUsedArea(False)
    end = cursor.RangeAddress
    return end.EndRow, end.EndColumn


def mark(grid, addresses, value):
    for a in addresses:
        for r in range(a.StartRow, a.EndRow + 1):
            row = grid[r]
            for c in range(a.StartColumn, a.EndColumn + 1):
                row[c] = value


def file_serial(value, null_date):
    """The serial of the day Calc shows, as the file counts: Calc counts days
    from its null date, the file from 1899-12-30 with a 1900-02-29 that never
    was, so the two differ before 1900-03-01."""
    days = value + (datetime.date(null_date.Year, null_date.Month, null_date.Day) - FILE_DAY_0).days
    return days - 1 if days < 61 else days


def sheet_cells(doc, sheet):
    """Every non-empty cell: its kind by Calc's content type and number
    format, and its value (a serial for dates, the text Calc holds for text).
    Fetched by ranges, not cell by cell, so a full sheet stays quick."""
    last_row, last_col = used_area(sheet)
    data = sheet.getCellRangeByPosition(0, 0, last_col, last_row).DataArray
    content = [[None] * (last_col + 1) for _ in range(last_row + 1)]
    mark(content, sheet.queryContentCells(VALUE | DATETIME).RangeAddresses, "value")
    mark(content, sheet.queryContentCells(STRING).RangeAddresses, "text")
    mark(content, sheet.queryContentCells(FORMULA).RangeAddresses, "formula")
    formats = [[0] * (last_col + 1) for _ in range(last_row + 1)]
    null_date = doc.NullDate
    number_formats = doc.NumberFormats
    unique = sheet.UniqueCellFormatRanges
    for i in range(unique.Count):
        ranges = unique.getByIndex(i)
        kind = number_formats.getByKey(ranges.NumberFormat).Type
        if kind & (DATE | TIME | LOGICAL):
            mark(formats, ranges.RangeAddresses, kind)
    for r in range(last_row + 1):
        for c in range(last_col + 1):
            what = content[r][c]
            if what is None:
                continue
            value = data[r][c]
            if what == "value":
                if formats[r][c] & LOGICAL:
                    cell = {"type": "boolean", "value": value != 0}
                elif formats[r][c] & DATE:
                    cell = {"type": "date", "value": file_serial(value, null_date)}
                elif formats[r][c] & TIME:
                    cell = {"type": "date", "value": value}
                else:
                    cell = {"type": "number", "value": value}
            elif what == "text":
                cell = {"type": "text", "value": value}
            else:
                formula = sheet.getCellByPosition(c, r).Formula
                if formula in ("=TRUE()", "=FALSE()") and formats[r][c] & LOGICAL:
                    # Calc's own form of a Boolean cell in a file.
                    cell = {"type": "boolean", "value": formula == "=TRUE()"}
                else:
                    cell = {"type": "formula", "value": formula}
            yield column_name(c) + str(r + 1), cell


def read_cells(calc, path):
    doc = calc.load(path)
    try:
        sheets = []
        for sheet in doc.Sheets:
            sheets.append({"name": sheet.Name, "cells": dict(sheet_cells(doc, sheet))})
        active = doc.CurrentController.ActiveSheet.Name if doc.CurrentController else None
        names = [s["name"] for s in sheets]
        return {"sheets": sheets, "active": names.index(active) if active in names else -1}
    finally:
        doc.close(True)


def read_counting(calc, path, header):
    doc = calc.load(path)
    try:
        lines = []
        for sheet in doc.Sheets:
            last_row, _ = used_area(sheet)
            column = sheet.getCellRangeByPosition(0, 0, 0, last_row)
            values = [row[0] for row in column.DataArray]
            texts = sum(a.EndRow - a.StartRow + 1 for a in sheet.queryContentCells(STRING).RangeAddresses)
            ok = values[0] == header and texts == 1 and all(isinstance(v, float) for v in values[1:])
            first = int(values[1]) if len(values) > 1 and ok else None
            last = int(values[-1]) if len(values) > 1 and ok else None
            ok = ok and all(values[i + 1] == values[i] + 1 for i in range(1, len(values) - 1))
            lines.append("%s %d %s %s %s" % (sheet.Name, len(values), first, last, ok))
        return lines
    finally:
        doc.close(True)


def main():
    calc = CalcSession()
    try:
        print("READY", flush=True)
        for line in sys.stdin:
            request = line.rstrip("\n").split("\t")
            try:
                if request[0] == "cells":
                    answer = json.dumps(read_cells(calc, request[1]), ensure_ascii=True)
                elif request[0] == "counting":
                    answer = json.dumps(read_counting(calc, request[1], request[2]))
                else:
                    answer = "ERROR unknown request " + request[0]
            except Exception as e:  # one failed workbook does not end the others
                answer = "ERROR " + repr(e).replace("\n", " ")
            print(answer, flush=True)
    finally:
        calc.close()


if __name__ == "__main__":
    main()
