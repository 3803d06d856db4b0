#pragma once

#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

/** One non-empty cell as the file holds it. */
struct XlsxCell {
    /** "number", "text", "boolean", "date" (a number with a date or time format) or "formula". */
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

/**
 * Debian's own Python: python3-openpyxl and python3-uno belong to it, and
 * another interpreter first on PATH may have neither.
 */
QString DebianPython();

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

/**
 * LibreOffice Calc, started once, headless, reading workbooks through its own
 * API (tests/support/read_with_calc.py): what a user of Calc sees, where
 * openpyxl shows what the file holds.
 */
class CalcReader {
public:
    CalcReader();
    ~CalcReader();
    CalcReader(const CalcReader&) = delete;
    CalcReader& operator=(const CalcReader&) = delete;

    /** Empty when Calc is up. */
    QString error() const { return m_error; }

    /** The workbook's sheets and cells as Calc reads them; a date's serial is that of the day Calc shows. */
    XlsxBook cells(const QString& path);
    /** As CountingSheets, read by Calc. */
    QStringList counting(const QString& path, const QString& header);

private:
    QByteArray request(const QStringList& fields);
    QByteArray answer(int timeoutMs);

    QProcess m_process;
    QString m_error;
};
