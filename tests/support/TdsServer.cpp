#include "support/TdsServer.h"

#include "support/XlsxReader.h"

#include "sqlaccess/ServerTrust.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSettings>
#include <cmath>
#include <stdexcept>

namespace {

const QString Script = QStringLiteral(QUORVANE_SOURCE_DIR "/tests/support/tds_server.py");

QString columnName(int column)
{
    QString name;
    for (int c = column; c > 0; c = (c - 1) / 26)
        name.prepend(QChar('A' + (c - 1) % 26));
    return name;
}

QString shown(const QString& text)
{
    return text.size() > 40 ? text.left(40) + QStringLiteral("…(%1 characters)").arg(text.size()) : text;
}

QString describe(const QString& kind, const QJsonValue& value)
{
    if (kind == QLatin1String("text"))
        return QStringLiteral("text \"%1\"").arg(shown(value.toString()));
    if (kind == QLatin1String("boolean"))
        return QStringLiteral("boolean %1").arg(value.toBool() ? "TRUE" : "FALSE");
    return QStringLiteral("%1 %2").arg(kind, QString::number(value.toDouble(), 'g', 17));
}

QString describe(const XlsxCell& cell)
{
    if (cell.type == QLatin1String("text"))
        return QStringLiteral("text \"%1\"").arg(shown(cell.text));
    if (cell.type == QLatin1String("boolean"))
        return QStringLiteral("boolean %1").arg(cell.boolean ? "TRUE" : "FALSE");
    return QStringLiteral("%1 %2").arg(cell.type, QString::number(cell.number, 'g', 17));
}

/** The folder the test certificates are made in, removed when the test process ends. */
QTemporaryDir& certificateFolder()
{
    static QTemporaryDir folder;
    return folder;
}

QString baseName(TdsServer::Certificate certificate)
{
    switch (certificate) {
    case TdsServer::Certificate::Loopback:
        return QStringLiteral("loopback");
    case TdsServer::Certificate::OtherName:
        return QStringLiteral("other-name");
    case TdsServer::Certificate::SelfSignedA:
        return QStringLiteral("self-a");
    case TdsServer::Certificate::SelfSignedB:
        return QStringLiteral("self-b");
    }
    return QString();
}

bool same(const QString& kind, const QJsonValue& value, const XlsxCell& cell)
{
    if (cell.type != kind)
        return false;
    if (kind == QLatin1String("text"))
        return cell.text == value.toString();
    if (kind == QLatin1String("boolean"))
        return cell.boolean == value.toBool();
    if (kind == QLatin1String("date")) // a date's serial to well under a millisecond
        return std::abs(cell.number - value.toDouble()) < 1e-9;
    return cell.number == value.toDouble();
}

} // namespace

TdsServer::TdsServer(const QStringList& arguments, bool captureWire)
{
    makeCertificates();
    QStringList command = {Script, QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--log"),
        m_dir.filePath(QStringLiteral("server.log"))};
    if (captureWire)
        command << QStringLiteral("--wire") << m_dir.filePath(QStringLiteral("wire.bin"));
    // A server an authority vouches for unless the test chose another certificate.
    if (!arguments.contains(QStringLiteral("--certificate")))
        command << presenting(Certificate::Loopback);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(DebianPython(), command + arguments);
    // It prints "PORT <n> SILENT <m> RELAY <r>" once it listens.
    QByteArray line;
    while (!line.endsWith('\n') && m_process.waitForReadyRead(30000))
        line += m_process.readLine();
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^PORT (\\d+) SILENT (\\d+) RELAY (\\d+)"))
                                          .match(QString::fromLatin1(line));
    if (!m.hasMatch())
        throw std::runtime_error("the TDS test server did not start: " + line.toStdString());
    m_port = m.captured(1).toInt();
    m_silentPort = m.captured(2).toInt();
    m_relayPort = m.captured(3).toInt();
}

TdsServer::~TdsServer()
{
    // Closing its input ends it; a server that does not go is killed.
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

ConnectionSettings TdsServer::settings(const QString& database, const QString& user, const QString& password) const
{
    ConnectionSettings s;
    s.server = QStringLiteral("127.0.0.1");
    s.port = QString::number(m_port);
    s.database = database;
    s.user = user;
    s.password = password;
    s.local = false;
    return s;
}

QString TdsServer::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("server.log")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QStringList TdsServer::unexpected() const
{
    return log().split(QLatin1Char('\n')).filter(QStringLiteral(" UNEXPECTED "));
}

QByteArray TdsServer::wire() const
{
    QFile file(m_dir.filePath(QStringLiteral("wire.bin")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TdsServer::makeCertificates()
{
    // Made once, before the first connection, so every check in this process trusts the same authority.
    static const bool made = [] {
        if (!certificateFolder().isValid())
            throw std::runtime_error("no folder for the test certificates");
        QProcess process;
        process.start(DebianPython(), {Script, QStringLiteral("--make-certificates"), certificateFolder().path()});
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            throw std::runtime_error(
                "the test certificates were not made: " + process.readAllStandardError().toStdString());
        qputenv("SSL_CERT_FILE", QFile::encodeName(certificateFolder().filePath(QStringLiteral("authority.pem"))));
        return true;
    }();
    Q_UNUSED(made);
}

QString TdsServer::certificateFile(Certificate certificate)
{
    makeCertificates();
    return certificateFolder().filePath(baseName(certificate) + QStringLiteral(".pem"));
}

QString TdsServer::authorityFile()
{
    makeCertificates();
    return certificateFolder().filePath(QStringLiteral("authority.pem"));
}

QStringList TdsServer::presenting(Certificate certificate)
{
    makeCertificates();
    return {QStringLiteral("--certificate"), certificateFile(certificate), QStringLiteral("--key"),
        certificateFolder().filePath(baseName(certificate) + QStringLiteral(".key"))};
}

QJsonArray TdsServer::expectedCells(const QString& database, const QString& table)
{
    QProcess process;
    process.start(DebianPython(), {Script, QStringLiteral("--expected"), database, table});
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        throw std::runtime_error(
            "no expected cells for " + table.toStdString() + ": " + process.readAllStandardError().toStdString());
    return QJsonDocument::fromJson(process.readAllStandardOutput()).array();
}

QStringList SheetDifferences(const XlsxSheet& sheet, const QJsonArray& expected)
{
    QStringList differences;
    QSet<QString> seen;
    for (int r = 0; r < expected.size(); ++r) {
        const QJsonArray row = expected[r].toArray();
        for (int c = 0; c < row.size(); ++c) {
            const QString ref = columnName(c + 1) + QString::number(r + 1);
            seen.insert(ref);
            const auto found = sheet.cells.constFind(ref);
            if (row[c].isNull()) {
                if (found != sheet.cells.constEnd())
                    differences << QStringLiteral("%1: expected empty, got %2").arg(ref, describe(*found));
                continue;
            }
            const QString kind = row[c].toArray()[0].toString();
            const QJsonValue value = row[c].toArray()[1];
            if (found == sheet.cells.constEnd())
                differences << QStringLiteral("%1: expected %2, got empty").arg(ref, describe(kind, value));
            else if (!same(kind, value, *found))
                differences
                    << QStringLiteral("%1: expected %2, got %3").arg(ref, describe(kind, value), describe(*found));
        }
    }
    for (auto it = sheet.cells.constBegin(); it != sheet.cells.constEnd(); ++it)
        if (!seen.contains(it.key()))
            differences << QStringLiteral("%1: expected nothing, got %2").arg(it.key(), describe(*it));
    return differences;
}

QString TdsServer::fingerprint(Certificate certificate)
{
    QFile file(certificateFile(certificate));
    file.open(QIODevice::ReadOnly);
    QByteArray base64;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.startsWith("-----"))
            base64 += line;
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::fromBase64(base64), QCryptographicHash::Sha256).toHex(':').toUpper());
}

void TdsServer::remember(const QString& server, const QString& trust, const QString& fingerprint)
{
    QSettings known(ServerTrust::KnownServersFile(), QSettings::IniFormat);
    known.setValue(server + QStringLiteral("/trust"), trust);
    known.setValue(server + QStringLiteral("/fingerprint"), fingerprint);
}
