#!/usr/bin/python3
"""Opens a workbook in LibreOffice Calc's window on the current X display
(the demo's virtual one), fills the screen with it, and runs a command that
takes the picture once Calc has drawn the sheet.

    calc-window.py WORKBOOK SHEET WIDTH HEIGHT COMMAND...

SHEET is the sheet to show ("" for the one the workbook opens on).
"""
import subprocess
import sys
import time

from calc_session import CalcSession

POS_SIZE = 15  # com.sun.star.awt.PosSize.POSSIZE


def main(workbook, sheet, width, height, command):
    calc = CalcSession(headless=False)
    try:
        doc = calc.load(workbook, hidden=False)
        controller = doc.CurrentController
        window = controller.Frame.ContainerWindow
        window.setPosSize(0, 0, int(width), int(height), POS_SIZE)
        if sheet:
            controller.setActiveSheet(doc.Sheets.getByName(sheet))
        controller.select(controller.ActiveSheet.getCellRangeByName("A1"))
        # Calc draws asynchronously; give it time to lay out and paint.
        time.sleep(4)
        return subprocess.call(command)
    finally:
        calc.close()


if __name__ == "__main__":
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]))
