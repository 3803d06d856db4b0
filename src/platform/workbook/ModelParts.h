#pragma once

// All that the parts of the workbook model share, and nothing outside the
// model includes, each in a header of its own: how the model fails
// (Failures.h), descriptors and the temporary cell store (TempStore.h), the
// cell records (CellRecords.h), the inner state of sheets and workbooks
// (ModelState.h), the packing of sheets as their cells arrive (CellStream.h),
// the private folders and the named files in them (Folders.h), the .xlsx file
// (Package.h) and the hand-over to the desktop (Opener.h).
//
// Workbook.cpp holds the sheets, workbooks and application and the cell spool;
// SheetNames.cpp Excel's rules for sheet names; CellText.cpp how a cell's text
// is checked and spelled for the file; WorkbookFile.cpp where a written
// workbook goes; WorkbookChecks.cpp whether a workbook can be written and
// shown at all; SheetXml.cpp a sheet's XML; Deflate.cpp the compression.

#include "platform/workbook/CellRecords.h"
#include "platform/workbook/CellStream.h"
#include "platform/workbook/Failures.h"
#include "platform/workbook/Folders.h"
#include "platform/workbook/ModelState.h"
#include "platform/workbook/Opener.h"
#include "platform/workbook/Package.h"
#include "platform/workbook/TempStore.h"
