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
