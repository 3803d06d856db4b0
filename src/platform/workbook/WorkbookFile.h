#pragma once

// Where a written workbook goes: a free name among the user's documents,
// written hidden and locked as a ".part" file beside it, then renamed into
// place without ever replacing a file.

#include "platform/workbook/ModelState.h"

#include <QString>

namespace xl {

/**
 * Writes the workbook (its records all handed over) completely under a free
 * name in `folder`, made from the document name and the time, and answers
 * its path. A failure other than a full disk is tried once more with every
 * sheet made from the cell store; when that fails too it throws and leaves
 * no file.
 */
QString writeWorkbookFile(Workbook::Impl& wb, const QString& folder, const QString& documentName);

} // namespace xl
