#pragma once

#include "platform/workbook/Workbook.h"

#include <QString>

namespace IsInstalled {

/** The advice shown when no spreadsheet application can take the workbook. */
QString NotInstalledMessage();

/** What the user is told when the workbooks' folder (or the scratch folder) cannot be used. */
QString FolderProblemMessage(const xl::FolderProblem& problem);

/**
 * Checks once at start-up that a workbook can be made and shown: the folder
 * among the documents can be written, and the desktop has an application for
 * .xlsx files. When a folder cannot be used, says so, naming it, and ends
 * the program with ProgramEnd::CannotWork: no spreadsheet application would
 * help there.
 * When no spreadsheet application can take the workbook, tells the user what
 * to check and ends the program. Removes the unfinished workbook files an
 * earlier run left behind.
 */
void CheckExcelInstalled();

} // namespace IsInstalled
