// Measures the export against the bare pipeline it is built on.
//
//   quorvane-bench                 generates the tables, runs every measurement in a child process, prints a summary
//   quorvane-bench --export <src>  one export through the real table window and "Finish" (offscreen)
//   quorvane-bench --bare <src>    ODBC SQLGetData per cell + libxlsxwriter constant-memory writes, no windows
//
// <src> is a SQLite file (the SQLite ODBC driver registered as "SQL Server") or
// "tds:<port>": FreeTDS registered as "SQL Server", reading the table Bench of
// the project's SQL Server stand-in (tests/support/tds_server.py), which
// streams 200,000 rows of ten mixed SQL Server columns.
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

    static Source parse(const QString& text)
    {
        Source s;
        if (text.startsWith(QLatin1String("tds:")))
            s.tdsPort = text.mid(4).toInt();
        else
            s.sqliteFile = text;
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
        return tds() ? QStringLiteral("DRIVER={SQL Server};Server=127.0.0.1,%1;Database=Bench;UID=tester;Pwd=secret;"
                                      "TDS_Version=7.4;Encryption=require;")
                           .arg(tdsPort)
                     : QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(sqliteFile);
    }
    QString query() const
    {
        return tds() ? QStringLiteral("SELECT * FROM [dbo].[Bench]") : QStringLiteral("SELECT * FROM Bench");
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

void generateTable(const QString& database, long long rows)
{
    QFile::remove(database);
    odbc::Connection connection;
    connection.open(QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(database));
    connection.execute("PRAGMA journal_mode=OFF");
    connection.execute("PRAGMA synchronous=OFF");
    connection.execute("CREATE TABLE Bench (Id integer, Quantity bigint, Price decimal(12,2), Ratio float, "
                       "Shipped date, Stamp datetime, Code varchar(12), Name varchar(40), Notes text, Flag bit)");
    connection.execute(QStringLiteral(
        "INSERT INTO Bench WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
        "SELECT i, i * 7919 % 100000, printf('%.2f', (i % 100000) / 7.0), (i % 9973) / 3.0, "
        "date('2001-01-01', '+' || (i % 9000) || ' days'), "
        "datetime('2010-06-15 08:00:00', '+' || (i % 500000) || ' minutes'), printf('%06d', i % 1000000), "
        "'Customer ' || (i % 5000), CASE WHEN i % 7 = 0 THEN NULL ELSE "
        "'Delivered to the loading dock at the north gate; signed by ' || (i % 97) END, i % 2 FROM n")
                           .arg(rows));
}

/** One export through the real windows. Prints: seconds cells maxGapMs peakKiB. */
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
            store.setValue("Quorvane/MSSQLDatabase", "Bench");
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
        odbc::Connection connection;
        connection.open(source.connectionString());
        long long rows = 0; // the fault measurements read other tables than Bench
        try {
            auto rs = std::make_unique<odbc::Recordset>();
            rs->open(source.query(), connection);
            rows = rs->recordCount();
        } catch (const quorvane::Error&) { }
        std::printf("%.3f %lld %lld %lld %s\n", seconds, rows * Columns, maxGap, peakResidentKiB(),
            qPrintable(tables.lastWorkbookPath()));
        QFile::remove(tables.lastWorkbookPath());
        QCoreApplication::exit(0); // quit() would ask the windows first, and closing them ends the program
    });
    return app.exec();
}

/** The bare pipeline: what any copy must do at the least. Prints: seconds cells. */
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

    QElapsedTimer clock;
    clock.start();
    const QByteArray path = QFile::encodeName(folder + "/bare.xlsx");
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    const QByteArray tmp = QFile::encodeName(folder);
    options.tmpdir = const_cast<char*>(tmp.constData());
    lxw_workbook* workbook = workbook_new_opt(path.constData(), &options);
    lxw_worksheet* sheet = workbook_add_worksheet(workbook, "Bench");
    lxw_format* dateFormat = workbook_add_format(workbook);
    format_set_num_format_index(dateFormat, 14);

    const QByteArray query = source.query().toUtf8();
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
    std::vector<char> text(65536);
    long long cells = 0;
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
    const lxw_error closed = workbook_close(workbook);
    const double seconds = clock.nsecsElapsed() / 1e9;
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    QFile::remove(QString::fromLocal8Bit(path));
    if (closed != LXW_NO_ERROR)
        qFatal("bare: %s", lxw_strerror(closed));
    std::printf("%.3f %lld\n", seconds, cells);
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
}
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
    prepareEnvironment(dir.path(), Source().driver());
    const QString self = QCoreApplication::applicationFilePath();
    const QString small = dir.path() + "/bench-200k.sqlite";
    const QString large = dir.path() + "/bench-1m.sqlite";
    std::printf("generating 200,000 and 1,000,000 rows x %d columns...\n", Columns);
    std::fflush(stdout);
    generateTable(small, 200000);
    generateTable(large, 1000000);

    // Two loads that once broke the export: one value of 100 MB, and 5,000 tables.
    const QString huge = dir.path() + "/bench-100mb.sqlite";
    const QString crowded = dir.path() + "/bench-5000-tables.sqlite";
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
        for (int t = 1; t <= 5000; ++t) {
            connection.execute(QStringLiteral("CREATE TABLE T%1 (Id integer, Name text)").arg(t));
            connection.execute(QStringLiteral("INSERT INTO T%1 VALUES (1, 'one'), (2, 'two'), (3, 'three')").arg(t));
        }
        connection.execute("COMMIT");
    }

    const QStringList bare = runChild(self, {"--bare", small});
    const QStringList exported = runChild(self, {"--export", small});
    const QStringList exportedLarge = runChild(self, {"--export", large});

    const double bareRate = bare[1].toDouble() / bare[0].toDouble();
    const double exportRate = exported[1].toDouble() / exported[0].toDouble();
    std::printf("bare pipeline:        %10.0f cells/s (%s cells in %s s)\n", bareRate, qPrintable(bare[1]),
        qPrintable(bare[0]));
    std::printf("export (200,000 rows): %10.0f cells/s (%s cells in %s s)\n", exportRate, qPrintable(exported[1]),
        qPrintable(exported[0]));
    std::printf("ratio export/bare:    %10.2f   (target >= 0.70)\n", exportRate / bareRate);
    const double smallMb = exported[3].toDouble() / 1024.0;
    const double largeMb = exportedLarge[3].toDouble() / 1024.0;
    std::printf("peak RSS 200,000 rows: %8.1f MB\n", smallMb);
    std::printf(
        "peak RSS 1,000,000 rows: %6.1f MB (%.2f x; target <= 1.20 x and < 200 MB)\n", largeMb, largeMb / smallMb);
    std::printf("export 1,000,000 rows: %10.0f cells/s\n", exportedLarge[1].toDouble() / exportedLarge[0].toDouble());
    std::printf("longest event-loop gap: %lld ms (200,000 rows), %lld ms (1,000,000 rows); target <= 50 ms\n",
        exported[2].toLongLong(), exportedLarge[2].toLongLong());
    std::fflush(stdout);
    const QStringList hugeExport = runChild(self, {"--export", huge});
    std::printf("one value of 100 MB:  %6.2f s, peak RSS %6.1f MB (target < 200 MB)\n", hugeExport[0].toDouble(),
        hugeExport[3].toDouble() / 1024.0);
    const QStringList crowdedExport = runChild(self, {"--export", crowded});
    std::printf("5,000 tables:         %6.2f s, peak RSS %6.1f MB (target < 200 MB)\n", crowdedExport[0].toDouble(),
        crowdedExport[3].toDouble() / 1024.0);
    std::fflush(stdout);

    // The production path: FreeTDS talking TDS to the SQL Server stand-in.
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3",
        {QStringLiteral(QUORVANE_SOURCE_DIR "/tests/support/tds_server.py"), "--port", "0", "--log",
            dir.path() + "/tds.log"});
    QByteArray line;
    while (!line.endsWith('\n') && server.waitForReadyRead(30000))
        line += server.readLine();
    if (!line.startsWith("PORT "))
        qFatal("the TDS test server did not start");
    // "PORT <n> SILENT <m>": the first is the one that answers.
    const QString tds = "tds:" + QString::fromLatin1(line.mid(5).trimmed()).section(QLatin1Char(' '), 0, 0);
    const QStringList tdsBare = runChild(self, {"--bare", tds});
    const QStringList tdsExport = runChild(self, {"--export", tds});
    server.closeWriteChannel();
    server.waitForFinished(5000);
    const double tdsBareRate = tdsBare[1].toDouble() / tdsBare[0].toDouble();
    const double tdsExportRate = tdsExport[1].toDouble() / tdsExport[0].toDouble();
    std::printf("through FreeTDS, 200,000 rows x %d SQL Server columns:\n", Columns);
    std::printf("  bare pipeline:      %10.0f cells/s (%s cells in %s s)\n", tdsBareRate, qPrintable(tdsBare[1]),
        qPrintable(tdsBare[0]));
    std::printf("  export:             %10.0f cells/s (%s cells in %s s)\n", tdsExportRate, qPrintable(tdsExport[1]),
        qPrintable(tdsExport[0]));
    std::printf("  ratio export/bare:  %10.2f   (target >= 0.80)\n", tdsExportRate / tdsBareRate);
    std::printf("  peak RSS:           %8.1f MB; longest event-loop gap %lld ms\n", tdsExport[3].toDouble() / 1024.0,
        tdsExport[2].toLongLong());
    return 0;
}
