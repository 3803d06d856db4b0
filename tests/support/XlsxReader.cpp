#include "support/XlsxReader.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

QStringList XlsxBook::names() const
{
    QStringList out;
    for (const XlsxSheet& s : sheets)
        out << s.name;
    return out;
}

const XlsxSheet* XlsxBook::sheet(const QString& name) const
{
    for (const XlsxSheet& s : sheets)
        if (s.name == name)
            return &s;
    return nullptr;
}

QStringList CountingSheets(const QString& path, const QString& header)
{
    QProcess reader;
    reader.start(QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
            QStringLiteral("import sys, openpyxl\n"
                           "wb = openpyxl.load_workbook(sys.argv[1], read_only=True)\n"
                           "for ws in wb.worksheets:\n"
                           "    rows = 0; first = None; last = None; ok = True\n"
                           "    for r in ws.iter_rows(values_only=True):\n"
                           "        rows += 1\n"
                           "        if rows == 1:\n"
                           "            ok = ok and r[0] == sys.argv[2]; continue\n"
                           "        v = r[0]\n"
                           "        if first is None: first = v\n"
                           "        elif v != last + 1: ok = False\n"
                           "        last = v\n"
                           "    print(ws.title, rows, first, last, ok)\n"),
            path, header});
    if (!reader.waitForFinished(600000) || reader.exitCode() != 0)
        return {QStringLiteral("reading failed: ") + QString::fromLocal8Bit(reader.readAllStandardError())};
    return QString::fromUtf8(reader.readAllStandardOutput()).trimmed().split(QLatin1Char('\n'));
}

XlsxBook ReadXlsx(const QString& path)
{
    XlsxBook book;
    QProcess python;
    // Debian's own interpreter carries python3-openpyxl; another one first on PATH may not.
    const QString interpreter = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                                  : QStringLiteral("python3");
    python.start(interpreter, {QStringLiteral(QUORVANE_SOURCE_DIR "/tests/support/read_xlsx.py"), path});
    if (!python.waitForFinished(120000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        book.error = QStringLiteral("read_xlsx.py failed: ") + QString::fromLocal8Bit(python.readAllStandardError())
            + python.errorString();
        return book;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(python.readAllStandardOutput(), &parseError);
    if (doc.isNull()) {
        book.error = QStringLiteral("read_xlsx.py gave no JSON: ") + parseError.errorString();
        return book;
    }
    const QJsonObject root = doc.object();
    book.active = root.value(QStringLiteral("active")).toInt(-1);
    for (const QJsonValue& s : root.value(QStringLiteral("sheets")).toArray()) {
        const QJsonObject o = s.toObject();
        XlsxSheet sheet;
        sheet.name = o.value(QStringLiteral("name")).toString();
        sheet.selected = o.value(QStringLiteral("selected")).toBool();
        const QJsonObject cells = o.value(QStringLiteral("cells")).toObject();
        for (auto it = cells.begin(); it != cells.end(); ++it) {
            const QJsonObject c = it.value().toObject();
            XlsxCell cell;
            cell.type = c.value(QStringLiteral("type")).toString();
            cell.format = c.value(QStringLiteral("format")).toString();
            const QJsonValue v = c.value(QStringLiteral("value"));
            if (cell.type == QLatin1String("boolean"))
                cell.boolean = v.toBool();
            else if (cell.type == QLatin1String("text"))
                cell.text = v.toString();
            else
                cell.number = v.toDouble();
            cell.raw = c.value(QStringLiteral("raw")).toString();
            cell.iso = c.value(QStringLiteral("iso")).toString();
            sheet.cells.insert(it.key(), cell);
        }
        const QJsonObject widths = o.value(QStringLiteral("widths")).toObject();
        for (auto it = widths.begin(); it != widths.end(); ++it)
            sheet.widths.insert(it.key(), it.value().toDouble());
        book.sheets << sheet;
    }
    return book;
}
