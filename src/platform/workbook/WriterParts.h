#pragma once

// What the two ways of making the file (from the cell store, and as cells
// arrive) share of libxlsxwriter.

#include "platform/workbook/ModelParts.h"

#include <xlsxwriter.h>

namespace xl {

/** The writer's words for its error, with the system's when there are any. */
QString writerWords(lxw_error error, int systemError);

/** A column's width for the longest value shown in it; never wider than Excel allows. */
double columnWidth(unsigned shownChars);

/** The cell formats of a workbook: built-in ones that follow the reader's regional settings. */
struct Formats {
    explicit Formats(lxw_workbook* book);
    lxw_format* date;
    lxw_format* time;
    lxw_format* dateTime;
    lxw_format* plain;
};

/** Writes one record's cell; answers whether a cell went out. Throws when the writer refuses it. */
bool emitRecord(lxw_worksheet* sheet, const Record& r, const Formats& f);

} // namespace xl
