#pragma once

// How a table's worksheet gets its name.

#include <QString>

class ErrorTrap;

namespace xl {
class Workbook;
class Worksheet;
} // namespace xl

namespace SheetNames {

/** Every "[" and then every "]" removed, and the first 30 characters of what remains. */
QString CleanSheetName(const QString& name);

/**
 * Whether a worksheet of the workbook has the name, compared by lower-case
 * forms (the sheet being named takes part under the name it has). Failures
 * of the workbook reach the caller.
 */
bool SheetExists(const QString& name, xl::Workbook& workbook);

/**
 * The name a numbered or cleaned table name would give when the workbook
 * would refuse it: the name with every character a sheet name cannot hold
 * replaced by "_" (an apostrophe at either end too), square brackets
 * removed, at most 31 characters; when that is taken or reserved, `baseName`
 * made valid the same way and followed by the lowest number from 1 that
 * gives a free name, cut so that the number still fits.
 */
QString ValidUniqueName(const QString& currentName, const QString& baseName, const xl::Workbook& workbook);

/**
 * The last naming step: the worksheet takes CleanSheetName(currentName). Only
 * when the workbook would refuse that (a forbidden character, "History", or a
 * name that the cut or the removed brackets made equal to another sheet's)
 * does it take ValidUniqueName instead, and currentName becomes that name.
 * Throws quorvane::Error when the worksheet refuses the name all the same.
 */
void ApplyName(QString& currentName, const QString& baseName, xl::Workbook& workbook, xl::Worksheet& sheet);

/**
 * The naming steps of the export (labels 154 to 168): cut a name longer than
 * 31 characters to 30, number it while a worksheet has it, and give it to the
 * worksheet. currentName is changed in place and keeps its square brackets,
 * as the progress texts show it. Each step runs under the export's trap with
 * its own line label; trap.line() is the label of the last one run.
 */
void NameWorksheet(ErrorTrap& trap, QString& currentName, xl::Workbook& workbook, xl::Worksheet& sheet);

} // namespace SheetNames
