#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

/** One non-empty cell as the file holds it. */
struct XlsxCell {
    /** "number", "text", "boolean" or "date" (a number with a date or time format). */
    QString type;
    double number = 0; // number; date: the serial
    bool boolean = false;
    QString text; // as the spreadsheet application reads it (escapes resolved)
    QString raw; // as stored in the file
    QString iso; // date: as openpyxl understands it
    QString format; // number format
};

struct XlsxSheet {
    QString name;
    QMap<QString, XlsxCell> cells; // by reference, "A1"
    QMap<QString, double> widths; // custom column widths by letter
    bool selected = false;
};

/** An .xlsx file read back with python3-openpyxl (tests/support/read_xlsx.py). */
struct XlsxBook {
    QString error; // empty when the file was read
    QList<XlsxSheet> sheets;
    int active = -1;

    QStringList names() const;
    const XlsxSheet* sheet(const QString& name) const;
};

XlsxBook ReadXlsx(const QString& path);

/**
 * For a workbook whose sheets hold one counting column below its header
 * `header` (too large to read cell by cell): one line per sheet in tab order,
 * "<name> <rows> <first> <last> <True|False>", the last saying whether the
 * header is there and the values run on without a gap.
 */
QStringList CountingSheets(const QString& path, const QString& header);
