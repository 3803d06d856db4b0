#pragma once

#include <QString>

namespace IsInstalled {

/** The advice shown when no spreadsheet application can take the workbook. */
QString NotInstalledMessage();

/**
 * Checks once at start-up that a workbook can be made and shown. When not,
 * tells the user what to check and ends the program.
 */
void CheckExcelInstalled();

} // namespace IsInstalled
