#pragma once

// The .xlsx file: a zip package of XML parts.

#include "platform/workbook/ModelState.h"

#include <QByteArray>

namespace xl {

/**
 * Writes the workbook as an .xlsx package into `fd` (an empty file, named
 * `path` in messages): each sheet from its packed rows when the stream (which
 * is finished first) has them, else made from the cell store now. Throws
 * StorageError with the system's words, "The workbook could not be written
 * to ..." first.
 */
void writePackage(Workbook::Impl& wb, int fd, const QByteArray& path, CellStream* streamed);

} // namespace xl
