#pragma once

// How a database value becomes a cell. The spreadsheet, handed a text, would
// read it as if typed ("00123" becoming 123, long digit strings rounded, some
// codes turned into dates), so every value goes in as what it is: a number
// when the number survives the trip exactly, a date, a Boolean, or the exact
// text.

#include "platform/odbc/Odbc.h"
#include "platform/workbook/Workbook.h"

#include <string>
#include <string_view>

/** What a long-binary field shows instead of its value. */
inline constexpr std::string_view BinaryDataText = "{BINARY DATA}";

/** SQL Server's time with fractional seconds; the ODBC headers do not name it. */
inline constexpr SQLSMALLINT SqlServerTime2 = -154;

/** A text cell of text that is ASCII by construction (digits, hex, fixed words). */
xl::CellValue AsciiTextCell(std::string_view text);

/**
 * The cell for one value of a field. The result may point into `value` or
 * into `scratch` (reused from cell to cell), so it is valid until either
 * changes. `truncated` is set when a text had to be cut to the 32,767 UTF-16
 * units a cell holds (never inside a surrogate pair), or when the reader kept
 * only the start of a longer value; it is not cleared.
 *
 * - NULL: an empty cell.
 * - Integers: number cells up to 2^53 in magnitude, otherwise the digits as text.
 * - Decimals and floating point: number cells when the file gives back the
 *   very number (every decimal of up to 15 significant digits does), otherwise
 *   the exact digits as text; NaN and infinities as text.
 * - Dates, times, date-times from 1900-03-01 to 9999-12-31: date cells, a
 *   fraction beyond 9999-12-31 23:59:59.999 kept at that instant; anything
 *   else in such a column (earlier days, text that does not parse) as text
 *   in ISO form. Before 1900-03-01 the spreadsheet applications disagree on
 *   which day a serial is.
 * - Bit: "0"/"1" (and "false"/"true") as Booleans, anything else as text.
 * - Character data, identifiers, XML: the text exactly.
 * - Binary: "0x" and upper-case hex; long binary (ADO type 205): BinaryDataText.
 */
xl::CellValue ToCell(
    const odbc::FieldInfo& field, const odbc::FieldValue& value, std::string& scratch, bool& truncated);

/**
 * The value as plain text, for a cell that would not take it as converted:
 * the driver's text with each byte that is not part of valid UTF-8 replaced
 * by U+FFFD, cut to what a cell holds (setting `truncated`); a floating-point
 * number by its shortest digits; binary as "0x" and hex. Same lifetime rule
 * as ToCell.
 */
xl::CellValue PlainTextCell(const odbc::FieldValue& value, std::string& scratch, bool& truncated);
