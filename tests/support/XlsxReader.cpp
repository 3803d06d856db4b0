#include "support/XlsxReader.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

QString DebianPython()
{
    return QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                             : QStringLiteral("python3");
}

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
    reader.start(DebianPython(),
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

namespace {

/** A book from the JSON both readers give. */
XlsxBook BookFromJson(const QByteArray& json, const QString& reader)
{
    XlsxBook book;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (doc.isNull()) {
        book.error = reader + QStringLiteral(" gave no JSON: ") + parseError.errorString();
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
            else if (cell.type == QLatin1String("text") || cell.type == QLatin1String("formula"))
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

} // namespace

XlsxBook ReadXlsx(const QString& path)
{
    QProcess python;
    python.start(DebianPython(), {QStringLiteral(QUORVANE_SOURCE_DIR "/tests/support/read_xlsx.py"), path});
    if (!python.waitForFinished(120000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        XlsxBook book;
        book.error = QStringLiteral("read_xlsx.py failed: ") + QString::fromLocal8Bit(python.readAllStandardError())
            + python.errorString();
        return book;
    }
    return BookFromJson(python.readAllStandardOutput(), QStringLiteral("read_xlsx.py"));
}

CalcReader::CalcReader()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(DebianPython(), {QStringLiteral(QUORVANE_SOURCE_DIR "/tests/support/read_with_calc.py")});
    const QByteArray ready = answer(180000);
    if (ready != "READY")
        m_error = QStringLiteral("LibreOffice Calc did not start: ") + QString::fromUtf8(ready)
            + m_process.errorString();
}

CalcReader::~CalcReader()
{
    // Its input ending closes Calc; one that does not go is killed.
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(60000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QByteArray CalcReader::answer(int timeoutMs)
{
    QByteArray line;
    while (!line.endsWith('\n')) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(timeoutMs))
            return line;
        line += m_process.readLine();
    }
    line.chop(1);
    return line;
}

QByteArray CalcReader::request(const QStringList& fields)
{
    if (!m_error.isEmpty())
        return "ERROR " + m_error.toUtf8();
    m_process.write(fields.join(QLatin1Char('\t')).toUtf8() + '\n');
    return answer(600000);
}

XlsxBook CalcReader::cells(const QString& path)
{
    const QByteArray json = request({QStringLiteral("cells"), path});
    if (json.startsWith("ERROR")) {
        XlsxBook book;
        book.error = QString::fromUtf8(json);
        return book;
    }
    return BookFromJson(json, QStringLiteral("LibreOffice Calc"));
}

QStringList CalcReader::counting(const QString& path, const QString& header)
{
    const QByteArray json = request({QStringLiteral("counting"), path, header});
    if (json.startsWith("ERROR"))
        return {QString::fromUtf8(json)};
    QStringList lines;
    for (const QJsonValue& line : QJsonDocument::fromJson(json).array())
        lines << line.toString();
    return lines;
}
