// Measures the export against the bare pipeline it is built on.
//
//   quorvane-bench                 generates the tables, runs every measurement in a child process, prints a summary
//   quorvane-bench --export <src>  one export of every table through the real table window and "Finish" (offscreen)
//   quorvane-bench --bare <src>    one thread: ODBC SQLGetData per cell in 64 KB reads + libxlsxwriter constant-memory
//                                  writes, every table of a SQLite file (the table Bench through FreeTDS), no windows
//
// <src> is a SQLite file (the SQLite ODBC driver registered as "SQL Server") or
// "tds:<port>[/<database>]": FreeTDS registered as "SQL Server", reading the
// project's SQL Server stand-in (tests/support/tds_server.py), whose database
// Bench streams 200,000 rows of ten mixed SQL Server columns.
//
// Each measurement runs in a process of its own so that its peak resident memory is its own.

#include "connection/Form1.h"
#include "export/Form2.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <sql.h>
#include <sqlext.h>
#include <xlsxwriter.h>

namespace {
constexpr int Columns = 10;

/** Where a measurement reads its table: a SQLite file, or the TDS stand-in on a port. */
struct Source {
    QString sqliteFile;
    int tdsPort = 0;
    QString tdsDatabase = QStringLiteral("Bench");

    static Source parse(const QString& text)
    {
        Source s;
        if (text.startsWith(QLatin1String("tds:"))) {
            s.tdsPort = text.mid(4).section(QLatin1Char('/'), 0, 0).toInt();
            if (text.contains(QLatin1Char('/')))
                s.tdsDatabase = text.section(QLatin1Char('/'), 1);
        } else {
            s.sqliteFile = text;
        }
        return s;
    }
    bool tds() const { return tdsPort != 0; }
    QString driver() const
    {
        return tds() ? QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so")
                     : QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so");
    }
    QString connectionString() const
    {
        return tds() ? QStringLiteral("DRIVER={SQL Server};Server=127.0.0.1,%1;Database=%2;UID=tester;PWD=secret;"
                                      "TDS_Version=7.4;Encryption=require;")
                           .arg(tdsPort)
                           .arg(tdsDatabase)
                     : QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(sqliteFile);
    }
};

long long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

void writeFile(const QString& path, const QByteArray& content, QFileDevice::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    file.close();
    if (permissions)
        file.setPermissions(permissions);
}

/** A private ODBC registration of the driver as "SQL Server", and stand-ins for the desktop. */
void prepareEnvironment(const QString& folder, const QString& driver)
{
    writeFile(folder + "/odbcinst.ini", "[SQL Server]\nDriver=" + QFile::encodeName(driver) + "\n");
    writeFile(folder + "/odbc.ini", "");
    qputenv("ODBCSYSINI", QFile::encodeName(folder));
    qputenv("ODBCINSTINI", "odbcinst.ini");
    qputenv("ODBCINI", QFile::encodeName(folder + "/odbc.ini"));
    QDir().mkpath(folder + "/bin");
    const auto exec = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    writeFile(folder + "/bin/xdg-open", "#!/bin/sh\nexit 0\n", exec);
    writeFile(folder + "/bin/xdg-mime", "#!/bin/sh\necho bench-spreadsheet.desktop\n", exec);
    qputenv("PATH", QFile::encodeName(folder + "/bin") + ":" + qgetenv("PATH"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder + "/config"));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder + "/runtime"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(folder + "/cache"));
    QDir().mkpath(folder + "/runtime");
    QFile::setPermissions(folder + "/runtime", exec);
    // The benchmark's workbooks go to a documents folder of its own (named as
    // xdg-user-dir reads it), never among the user's documents; a home of its
    // own as well, should that be where they end up.
    QDir().mkpath(folder + "/config");
    QDir().mkpath(folder + "/documents");
    QDir().mkpath(folder + "/home");
    writeFile(
        folder + "/config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + QFile::encodeName(folder + "/documents") + "\"\n");
    qputenv("HOME", QFile::encodeName(folder + "/home"));
}

/** `tables` tables of `rows` rows each: Bench when there is one, else Bench01, Bench02 and so on. */
void generateTables(const QString& database, long long rows, int tables = 1)
{
    QFile::remove(database);
    odbc::Connection connection;
    connection.open(QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(database));
    connection.execute("PRAGMA journal_mode=OFF");
    connection.execute("PRAGMA synchronous=OFF");
    for (int t = 1; t <= tables; ++t) {
        const QString name
            = tables == 1 ? QStringLiteral("Bench") : QStringLiteral("Bench%1").arg(t, 2, 10, QChar('0'));
        connection.execute(QStringLiteral("CREATE TABLE %1 (Id integer, Quantity bigint, Price decimal(12,2), Ratio "
                                          "float, Shipped date, Stamp datetime, Code varchar(12), Name varchar(40), "
                                          "Notes text, Flag bit)")
                               .arg(name));
        connection.execute(QStringLiteral(
            "INSERT INTO %2 WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
            "SELECT i, i * 7919 % 100000, printf('%.2f', (i % 100000) / 7.0), (i % 9973) / 3.0, "
            "date('2001-01-01', '+' || (i % 9000) || ' days'), "
            "datetime('2010-06-15 08:00:00', '+' || (i % 500000) || ' minutes'), printf('%06d', i % 1000000), "
            "'Customer ' || (i % 5000), CASE WHEN i % 7 = 0 THEN NULL ELSE "
            "'Delivered to the loading dock at the north gate; signed by ' || (i % 97) END, i % 2 FROM n")
                               .arg(rows)
                               .arg(name));
    }
}

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

/** One export through the real windows. Prints: seconds maxGapMs peakKiB fileBytes. */
int runExport(int argc, char* argv[], const Source& source)
{
    QApplication app(argc, argv);
    MsgBox::setHandler([](const MsgBox::Record& box) {
        if (box.text != QLatin1String("Done."))
            std::fprintf(stderr, "message: %s\n", qPrintable(box.text));
        return int(MsgBox::Ok);
    });
    ProgramEnd::setHandler([] {});
    {
        QSettings store(qEnvironmentVariable("XDG_CONFIG_HOME") + "/Brantlow/Brantlow.ini", QSettings::IniFormat);
        if (source.tds()) {
            store.setValue("Quorvane/MSSQLServer", "127.0.0.1");
            store.setValue("Quorvane/MSSQLPort", QString::number(source.tdsPort));
            store.setValue("Quorvane/MSSQLDatabase", source.tdsDatabase);
            store.setValue("Quorvane/MSSQLUser", "tester");
            store.setValue("Quorvane/MSSQLPassword", "secret");
        } else {
            store.setValue("Quorvane/MSSQLServer", "localhost");
            store.setValue("Quorvane/MSSQLDatabase", source.sqliteFile);
        }
    }
    Form1 connectionWindow;
    if (!Form2::exists()) {
        std::fprintf(stderr, "the table window did not open\n");
        return 1;
    }
    Form2& tables = Form2::instance();
    tables.PushButton8->click(); // "Select All"

    // A timer that should tick every 10 ms: the longest gap is the longest time without events.
    QElapsedTimer sinceTick;
    qint64 maxGap = 0;
    bool measuring = false;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (measuring)
            maxGap = std::max(maxGap, sinceTick.elapsed());
        sinceTick.restart();
    });
    ticker.start(10);
    QElapsedTimer clock;
    QTimer::singleShot(0, [&] {
        measuring = true;
        sinceTick.restart();
        clock.start();
        tables.PushButton5->click(); // "Finish"
        const double seconds = clock.nsecsElapsed() / 1e9;
        measuring = false;
        maxGap = std::max(maxGap, sinceTick.elapsed());
        std::printf("%.3f %lld %lld %lld\n", seconds, maxGap, peakResidentKiB(), fileSize(tables.lastWorkbookPath()));
        QFile::remove(tables.lastWorkbookPath());
        QCoreApplication::exit(0); // quit() would ask the windows first, and closing them ends the program
    });
    return app.exec();
}

/** The bare pipeline: what any copy must do at the least. Prints: seconds cells fileBytes. */
int runBare(const Source& source, const QString& folder)
{
    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    // SQLite streams rows only when asked, as the access layer asks it, so both sides read the same way.
    const QByteArray connect = (source.connectionString() + (source.tds() ? "" : "StepAPI=1;")).toUtf8();
    if (!SQL_SUCCEEDED(SQLDriverConnect(
            dbc, nullptr, (SQLCHAR*)connect.constData(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
        qFatal("bare: cannot connect");
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    QStringList names{QStringLiteral("Bench")};
    if (!source.tds()) {
        names.clear();
        SQLExecDirect(stmt, (SQLCHAR*)"SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name", SQL_NTS);
        SQLCHAR name[256];
        SQLLEN length = 0;
        while (SQL_SUCCEEDED(SQLFetch(stmt))) {
            SQLGetData(stmt, 1, SQL_C_CHAR, name, sizeof name, &length);
            names << QString::fromUtf8(reinterpret_cast<const char*>(name));
        }
        SQLCloseCursor(stmt);
    }

    QElapsedTimer clock;
    clock.start();
    const QByteArray path = QFile::encodeName(folder + "/bare.xlsx");
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    const QByteArray tmp = QFile::encodeName(folder);
    options.tmpdir = const_cast<char*>(tmp.constData());
    lxw_workbook* workbook = workbook_new_opt(path.constData(), &options);
    lxw_format* dateFormat = workbook_add_format(workbook);
    format_set_num_format_index(dateFormat, 14);
    std::vector<char> text(65536);
    long long cells = 0;
    for (const QString& table : std::as_const(names)) {
        lxw_worksheet* sheet = workbook_add_worksheet(workbook, table.toUtf8().constData());
        const QByteArray query = (QStringLiteral("SELECT * FROM [") + table + "]").toUtf8();
        SQLExecDirect(stmt, (SQLCHAR*)query.constData(), SQL_NTS);
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        std::vector<SQLSMALLINT> types(columns);
        for (SQLSMALLINT c = 1; c <= columns; ++c) {
            SQLCHAR name[256];
            SQLSMALLINT nameLength, type, digits, nullable;
            SQLULEN size;
            SQLDescribeCol(stmt, c, name, sizeof name, &nameLength, &type, &size, &digits, &nullable);
            types[c - 1] = type;
            worksheet_write_string(sheet, 0, c - 1, reinterpret_cast<const char*>(name), nullptr);
        }
        lxw_row_t row = 1;
        while (SQL_SUCCEEDED(SQLFetch(stmt))) {
            for (SQLSMALLINT c = 1; c <= columns; ++c) {
                SQLLEN indicator = 0;
                switch (types[c - 1]) {
                case SQL_INTEGER:
                case SQL_BIGINT:
                case SQL_SMALLINT:
                case SQL_TINYINT:
                case SQL_BIT: {
                    SQLBIGINT v = 0;
                    SQLGetData(stmt, c, SQL_C_SBIGINT, &v, sizeof v, &indicator);
                    if (indicator != SQL_NULL_DATA)
                        worksheet_write_number(sheet, row, c - 1, double(v), nullptr);
                    break;
                }
                case SQL_DOUBLE:
                case SQL_FLOAT:
                case SQL_REAL: {
                    double v = 0;
                    SQLGetData(stmt, c, SQL_C_DOUBLE, &v, sizeof v, &indicator);
                    if (indicator != SQL_NULL_DATA)
                        worksheet_write_number(sheet, row, c - 1, v, nullptr);
                    break;
                }
                case SQL_TYPE_DATE:
                case SQL_TYPE_TIMESTAMP: {
                    SQL_TIMESTAMP_STRUCT v{};
                    SQLGetData(stmt, c, SQL_C_TYPE_TIMESTAMP, &v, sizeof v, &indicator);
                    if (indicator != SQL_NULL_DATA) {
                        lxw_datetime dt{v.year, v.month, v.day, v.hour, v.minute, double(v.second)};
                        worksheet_write_datetime(sheet, row, c - 1, &dt, dateFormat);
                    }
                    break;
                }
                default:
                    SQLGetData(stmt, c, SQL_C_CHAR, text.data(), SQLLEN(text.size()), &indicator);
                    if (indicator != SQL_NULL_DATA)
                        worksheet_write_string(sheet, row, c - 1, text.data(), nullptr);
                    break;
                }
                ++cells;
            }
            ++row;
        }
        SQLCloseCursor(stmt);
    }
    const lxw_error closed = workbook_close(workbook);
    const double seconds = clock.nsecsElapsed() / 1e9;
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    const qint64 bytes = fileSize(QString::fromLocal8Bit(path));
    QFile::remove(QString::fromLocal8Bit(path));
    if (closed != LXW_NO_ERROR)
        qFatal("bare: %s", lxw_strerror(closed));
    std::printf("%.3f %lld %lld\n", seconds, cells, bytes);
    return 0;
}

QStringList runChild(const QString& self, const QStringList& args)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(self, args);
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        qFatal("measurement %s failed", qPrintable(args.join(' ')));
    return QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed().split(' ');
} // namespace

/** A measure and its target, on one line of the summary. */
void report(const char* what, const QString& value, const char* target, bool met)
{
    std::printf("  %-46s %-28s %-16s %s\n", what, qPrintable(value), target, met ? "met" : "NOT MET");
    std::fflush(stdout);
}

/** Export against bare on one source: the ratio of their times, and what the export's run measured. */
void compare(
    const QString& self, const char* title, const QString& source, double target, qint64& worstGap, double& worstMb)
{
    const QStringList bare = runChild(self, {"--bare", source});
    const QStringList exported = runChild(self, {"--export", source});
    const double ratio = bare[0].toDouble() / exported[0].toDouble();
    std::printf("%s: %s cells\n", title, qPrintable(bare[1]));
    report(
        "bare pipeline", bare[0] + " s, " + QString::number(bare[2].toDouble() / 1e6, 'f', 1) + " MB file", "", true);
    report(
        "export", exported[0] + " s, " + QString::number(exported[3].toDouble() / 1e6, 'f', 1) + " MB file", "", true);
    report("export speed / bare pipeline speed", QString::number(ratio, 'f', 2),
        qPrintable(QStringLiteral(">= %1").arg(target, 0, 'f', 2)), ratio >= target);
    worstGap = std::max(worstGap, exported[1].toLongLong());
    worstMb = std::max(worstMb, exported[2].toDouble() / 1024.0);
}

/**
 * The SQL Server stand-in on a port of its own; `args` as tds_server.py takes them. It presents a
 * certificate from a test authority that SSL_CERT_FILE names while it runs, for this process and
 * the measurements it starts, so that an encrypted export checks the server as it would any other.
 */
struct TdsStandIn {
    QTemporaryDir certificates;
    QByteArray trustStore = qgetenv("SSL_CERT_FILE"); // what to put back afterwards
    bool hadTrustStore = qEnvironmentVariableIsSet("SSL_CERT_FILE");
    QProcess server;
    QString port;
    explicit TdsStandIn(const QStringList& args)
    {
        const QString python = QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
        const QString script = QStringLiteral(QUORVANE_SOURCE_DIR "/tests/support/tds_server.py");
        QProcess make;
        make.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        make.start(python, {script, "--make-certificates", certificates.path()});
        if (!make.waitForFinished(60000) || make.exitStatus() != QProcess::NormalExit || make.exitCode() != 0)
            qFatal("the test certificates were not made");
        qputenv("SSL_CERT_FILE", QFile::encodeName(certificates.filePath("authority.pem")));
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(python,
            QStringList{script, "--port", "0", "--certificate", certificates.filePath("loopback.pem"), "--key",
                certificates.filePath("loopback.key")}
                + args);
        QByteArray line;
        while (!line.endsWith('\n') && server.waitForReadyRead(30000))
            line += server.readLine();
        if (!line.startsWith("PORT "))
            qFatal("the TDS test server did not start");
        // "PORT <n> SILENT <m> RELAY <r>": the first is the one that answers.
        port = QString::fromLatin1(line.mid(5).trimmed()).section(QLatin1Char(' '), 0, 0);
    }
    ~TdsStandIn()
    {
        server.closeWriteChannel();
        server.waitForFinished(5000);
        if (hadTrustStore)
            qputenv("SSL_CERT_FILE", trustStore);
        else
            qunsetenv("SSL_CERT_FILE");
    }
};
} // namespace

int main(int argc, char* argv[])
{
    const QString folder = qEnvironmentVariable("QUORVANE_BENCH_DIR");
    if (argc == 3 && !folder.isEmpty()) {
        const Source source = Source::parse(QString::fromLocal8Bit(argv[2]));
        prepareEnvironment(folder, source.driver());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (qstrcmp(argv[1], "--export") == 0)
            return runExport(1, argv, source);
        if (qstrcmp(argv[1], "--bare") == 0)
            return runBare(source, folder);
        return 2;
    }

    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("QUORVANE_BENCH_DIR", QFile::encodeName(dir.path()));
    // The measurements keep a password of their own in their own settings; the
    // desktop's keyring holds the user's, which they must not replace.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorvane-bench");
    prepareEnvironment(dir.path(), Source().driver());
    const QString self = QCoreApplication::applicationFilePath();
    const QString one = dir.path() + "/bench-200k.sqlite";
    const QString ten = dir.path() + "/bench-10x20k.sqlite";
    const QString large = dir.path() + "/bench-1m.sqlite";
    const QString huge = dir.path() + "/bench-100mb.sqlite";
    const QString crowded = dir.path() + "/bench-50000-tables.sqlite";
    std::printf("generating the tables...\n");
    std::fflush(stdout);
    generateTables(one, 200000);
    generateTables(ten, 20000, 10);
    generateTables(large, 1000000);
    {
        odbc::Connection connection;
        connection.open(QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(huge));
        connection.execute("CREATE TABLE Huge (Id integer, Body text)");
        connection.execute("INSERT INTO Huge VALUES (1, printf('%.*c', 100000000, 'x'))");
    }
    {
        odbc::Connection connection;
        connection.open(QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(crowded));
        connection.execute("PRAGMA journal_mode=OFF");
        connection.execute("BEGIN");
        for (int t = 1; t <= 50000; ++t) {
            connection.execute(QStringLiteral("CREATE TABLE T%1 (Id integer, Name text)").arg(t));
            connection.execute(QStringLiteral("INSERT INTO T%1 VALUES (%1, 'one row')").arg(t));
        }
        connection.execute("COMMIT");
    }

    // Every export's longest time without answering the window system, and its peak resident memory.
    qint64 worstGap = 0;
    double worstMb = 0;
    compare(self, "SQLite, one table of 200,000 rows x 10 columns", one, 1.5, worstGap, worstMb);
    compare(self, "SQLite, 10 tables of 20,000 rows x 10 columns", ten, 1.5, worstGap, worstMb);
    {
        TdsStandIn server({"--log", dir.path() + "/tds.log"});
        compare(self, "FreeTDS, 200,000 rows x 10 SQL Server columns, encrypted", "tds:" + server.port, 1.0, worstGap,
            worstMb);
    }
    std::printf("larger loads:\n");
    const QStringList largeExport = runChild(self, {"--export", large});
    report("1,000,000 rows x 10 columns",
        largeExport[0] + " s, " + QString::number(largeExport[2].toDouble() / 1024.0, 'f', 1) + " MB", "", true);
    worstGap = std::max(worstGap, largeExport[1].toLongLong());
    worstMb = std::max(worstMb, largeExport[2].toDouble() / 1024.0);
    const QStringList hugeExport = runChild(self, {"--export", huge});
    report("one value of 100 MB",
        hugeExport[0] + " s, " + QString::number(hugeExport[2].toDouble() / 1024.0, 'f', 1) + " MB", "< 200 MB",
        hugeExport[2].toDouble() / 1024.0 < 200);
    worstGap = std::max(worstGap, hugeExport[1].toLongLong());
    qint64 slowGap = 0;
    {
        // 50 values of 40,000 characters over a link of 1 MB/s.
        TdsStandIn server({"--link-rate", "1000000", "--log", dir.path() + "/tds-slow.log"});
        const QStringList slow = runChild(self, {"--export", "tds:" + server.port + "/Long Values"});
        slowGap = slow[1].toLongLong();
        report(
            "slow link, long values: time, longest gap", slow[0] + " s, " + slow[1] + " ms", "<= 50 ms", slowGap <= 50);
    }
    const QStringList crowdedExport = runChild(self, {"--export", crowded});
    const double crowdedMb = crowdedExport[2].toDouble() / 1024.0;
    report("50,000 one-row tables: time", crowdedExport[0] + " s", "< 60 s", crowdedExport[0].toDouble() < 60);
    report(
        "50,000 one-row tables: peak memory", QString::number(crowdedMb, 'f', 1) + " MB", "< 200 MB", crowdedMb < 200);
    report("50,000 one-row tables: longest gap", crowdedExport[1] + " ms", "<= 50 ms",
        crowdedExport[1].toLongLong() <= 50);
    std::printf("every table export above (not the 50,000 tables, not the 100 MB value):\n");
    report("peak resident memory", QString::number(worstMb, 'f', 1) + " MB", "< 100 MB", worstMb < 100);
    report("longest time the window did not answer", QString::number(worstGap) + " ms", "<= 50 ms", worstGap <= 50);
    return 0;
}
