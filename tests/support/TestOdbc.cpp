#include "support/TestOdbc.h"

#include "platform/odbc/Odbc.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <stdexcept>

#include <dlfcn.h>

namespace {

void writeFile(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error(("cannot write " + path).toStdString());
    file.write(text.toUtf8());
}

/**
 * The registration folder of the whole test process. The driver manager
 * keeps what it read of a configuration under the file's name; with one
 * folder for the process the name stays the same and a rewrite of the file
 * (with the refresh below) is all a new registration needs.
 */
QTemporaryDir& registrationFolder()
{
    static QTemporaryDir folder;
    if (!folder.isValid())
        throw std::runtime_error("cannot create a temporary folder for the ODBC registration");
    return folder;
}

} // namespace

TestOdbc::TestOdbc() : m_dir(std::make_unique<QTemporaryDir>())
{
    if (!m_dir->isValid())
        throw std::runtime_error("cannot create a temporary folder for the fixtures");
    QTemporaryDir& registration = registrationFolder();
    writeFile(registration.filePath(QStringLiteral("odbc.ini")), QString());
    qputenv("ODBCSYSINI", QFile::encodeName(registration.path()));
    qputenv("ODBCINSTINI", QByteArrayLiteral("odbcinst.ini"));
    registerSqlServer(QString::fromLatin1(SqliteDriver));
    qputenv("ODBCINI", QFile::encodeName(registration.filePath(QStringLiteral("odbc.ini"))));
}

TestOdbc::~TestOdbc() = default;

void TestOdbc::registerSqlServer(const QString& driverLibrary, const QStringList& extraLines)
{
    QString text
        = QStringLiteral("[SQL Server]\nDescription = test registration\nDriver = %1\nSetup = %1\n").arg(driverLibrary);
    for (const QString& line : extraLines)
        text += line + QLatin1Char('\n');
    writeRegistration(text);
}

void TestOdbc::writeRegistration(const QString& odbcinstIni)
{
    writeFile(registrationFile(), odbcinstIni);
    // The driver manager keeps what it read of its configuration for a while;
    // a write through its installer API makes it forget, so the new
    // registration counts at once. The installer library is the one the
    // driver manager itself loads, looked up at run time.
    using WriteProfile = int (*)(const char*, const char*, const char*, const char*);
    static void* installer = dlopen("libodbcinst.so.2", RTLD_NOW);
    static auto write
        = installer ? reinterpret_cast<WriteProfile>(dlsym(installer, "SQLWritePrivateProfileString")) : nullptr;
    if (!write)
        throw std::runtime_error("the ODBC installer library is not loaded");
    const QByteArray scratch = QFile::encodeName(registrationFolder().filePath(QStringLiteral("scratch.ini")));
    write("Refresh", "Count", QByteArray::number(++m_refreshes).constData(), scratch.constData());
}

QString TestOdbc::registrationFile() const
{
    return registrationFolder().filePath(QStringLiteral("odbcinst.ini"));
}

QString TestOdbc::folder() const
{
    return m_dir->path();
}

QString TestOdbc::createDatabase(const QString& name, const QStringList& statements)
{
    const QString path = m_dir->filePath(name);
    QFile::remove(path);
    odbc::Connection connection;
    connection.open(sqliteConnectionString(path));
    for (const QString& statement : statements)
        connection.execute(statement);
    connection.close();
    return path;
}

ConnectionSettings TestOdbc::settingsFor(const QString& databasePath, bool local)
{
    ConnectionSettings settings;
    settings.server = QStringLiteral("localhost");
    settings.database = databasePath;
    settings.user = QStringLiteral("tester");
    settings.password = QStringLiteral("secret");
    settings.local = local;
    return settings;
}

QString TestOdbc::sqliteConnectionString(const QString& databasePath)
{
    // The SQLite driver reads attribute values up to the next ";" and knows no braces.
    return QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(databasePath);
}
