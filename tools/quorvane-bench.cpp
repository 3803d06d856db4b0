// Measures the export against the bare pipeline it is built on, and both against reading alone.
//
//   quorvane-bench                 generates the tables, runs every measurement in a child process, prints a summary
//   quorvane-bench --export <src>  one export of every table through the real table window and "Finish" (offscreen)
//   quorvane-bench --bare <src>    one thread: ODBC SQLGetData per cell in 64 KB reads + libxlsxwriter constant-memory
//                                  writes, every table of a SQLite file (the table Bench through FreeTDS), no windows
//   quorvane-bench --floor <src>   the reading floor: the same tables through the same driver, every value read as
//                                  text (256 bytes, then the rest), nothing converted or written
//
// <src> is a SQLite file (the SQLite ODBC driver registered as "SQL Server") or
// "tds:<port>[/<database>]": FreeTDS registered as "SQL Server", reading the
// project's SQL Server stand-in (tests/support/tds_server.py), whose database
// Bench streams 200,000 rows of ten mixed SQL Server columns.
//
// Each measurement runs in a process of its own so that its peak resident memory is its own.

#include "connection/ConnectionWindow.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "windows/TableWindow.h"

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

/** One table holding a single value of 100 MB. */
void generateHugeValue(const QString& database)
{
    odbc::Connection connection;
    connection.open(QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(database));
    connection.execute("CREATE TABLE Huge (Id integer, Body text)");
    connection.execute("INSERT INTO Huge VALUES (1, printf('%.*c', 100000000, 'x'))");
}

/** 50,000 tables of one row each, T1 to T50000. */
void generateCrowdedTables(const QString& database)
{
    odbc::Connection connection;
    connection.open(QStringLiteral("DRIVER={SQL Server};Database=%1;").arg(database));
    connection.execute("PRAGMA journal_mode=OFF");
    connection.execute("BEGIN");
    for (int t = 1; t <= 50000; ++t) {
        connection.execute(QStringLiteral("CREATE TABLE T%1 (Id integer, Name text)").arg(t));
        connection.execute(QStringLiteral("INSERT INTO T%1 VALUES (%1, 'one row')").arg(t));
    }
    connection.execute("COMMIT");
}

/** The SQLite files the summary measures, in the run's own folder. */
struct BenchDatabases {
    QString one;
    QString ten;
    QString large;
    QString huge;
    QString crowded;
    explicit BenchDatabases(const QString& folder)
        : one(folder + "/bench-200k.sqlite")
        , ten(folder + "/bench-10x20k.sqlite")
        , large(folder + "/bench-1m.sqlite")
        , huge(folder + "/bench-100mb.sqlite")
        , crowded(folder + "/bench-50000-tables.sqlite")
    { }
};

void generateDatabases(const BenchDatabases& databases)
{
    std::printf("generating the tables...\n");
    std::fflush(stdout);
    generateTables(databases.one, 200000);
    generateTables(databases.ten, 20000, 10);
    generateTables(databases.large, 1000000);
    generateHugeValue(databases.huge);
    generateCrowdedTables(databases.crowded);
}

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

/** The export's settings for `source`, where the program keeps them. */
void storeSettings(const Source& source)
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

/** The longest time without events while it measures: a timer that should tick every 10 ms. */
class GapMeter {
public:
    GapMeter()
    {
        m_ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_ticker, &QTimer::timeout, [this] {
            if (m_measuring)
                m_longest = std::max(m_longest, m_sinceTick.elapsed());
            m_sinceTick.restart();
        });
        m_ticker.start(10);
    }
    void start()
    {
        m_measuring = true;
        m_sinceTick.restart();
    }
    qint64 stop()
    {
        m_measuring = false;
        return std::max(m_longest, m_sinceTick.elapsed());
    }

private:
    QTimer m_ticker;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
    bool m_measuring = false;
};

/** Start-up on the stored settings, "Select All" and "Finish", as a user would; the figures go to stdout. */
Async::Task<int> exportThroughTheWindows()
{
    ConnectionWindow connectionWindow;
    co_await connectionWindow.startUp();
    TableWindow* tables = TableWindow::existing();
    if (!tables) {
        std::fprintf(stderr, "the table window did not open\n");
        co_return 1;
    }
    tables->selectAllButton->click(); // "Select All"
    GapMeter gaps;
    co_await Async::nextTurn();
    gaps.start();
    QElapsedTimer clock;
    clock.start();
    co_await tables->finishClicked(); // "Finish"
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qint64 maxGap = gaps.stop();
    std::printf("%.3f %lld %lld %lld\n", seconds, maxGap, peakResidentKiB(), fileSize(tables->lastWorkbookPath()));
    QFile::remove(tables->lastWorkbookPath());
    co_return 0;
}

Async::Task<> exportAndExit()
{
    const int status = co_await exportThroughTheWindows();
    // quit() would ask the windows first, and closing them ends the program.
    QCoreApplication::exit(status);
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
    storeSettings(source);
    Async::Task<> run;
    QTimer::singleShot(0, [&run] { run = exportAndExit(); });
    return app.exec();
}

/**
 * One ODBC connection and one statement on it, as the bare pipeline and the reading floor open them,
 * freed on the way out. `who` names the measurement in the message when the driver refuses it.
 */
class BareConnection {
public:
    BareConnection(const Source& source, const char* who)
    {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
        // SQLite streams rows only when asked, as the access layer asks it, so every side reads the same way.
        const QByteArray connect = (source.connectionString() + (source.tds() ? "" : "StepAPI=1;")).toUtf8();
        if (!SQL_SUCCEEDED(SQLDriverConnect(
                dbc, nullptr, (SQLCHAR*)connect.constData(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
            qFatal("%s: cannot connect", who);
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    }
    ~BareConnection()
    {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
    BareConnection(const BareConnection&) = delete;
    BareConnection& operator=(const BareConnection&) = delete;

    SQLHSTMT statement() const { return stmt; }

    /** Every table of a SQLite file, by name; the table Bench through FreeTDS. */
    QStringList tables(const Source& source) const
    {
        if (source.tds())
            return {QStringLiteral("Bench")};
        QStringList names;
        SQLExecDirect(stmt, (SQLCHAR*)"SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name", SQL_NTS);
        SQLCHAR name[256];
        SQLLEN length = 0;
        while (SQL_SUCCEEDED(SQLFetch(stmt))) {
            SQLGetData(stmt, 1, SQL_C_CHAR, name, sizeof name, &length);
            names << QString::fromUtf8(reinterpret_cast<const char*>(name));
        }
        SQLCloseCursor(stmt);
        return names;
    }

private:
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
};

/** Opens every row of `table` on `stmt`; returns how many columns it has. */
SQLSMALLINT selectAll(SQLHSTMT stmt, const QString& table)
{
    const QByteArray query = (QStringLiteral("SELECT * FROM [") + table + "]").toUtf8();
    SQLExecDirect(stmt, (SQLCHAR*)query.constData(), SQL_NTS);
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    return columns;
}

/** Where the bare pipeline writes one table: its sheet, the date format, and a 64 KB buffer for text. */
struct BareSheet {
    lxw_worksheet* sheet;
    lxw_format* dateFormat;
    std::vector<char>& text;
};

/** Writes the column names as the first row; returns each column's SQL type. */
std::vector<SQLSMALLINT> writeColumnNames(SQLHSTMT stmt, SQLSMALLINT columns, lxw_worksheet* sheet)
{
    std::vector<SQLSMALLINT> types(columns);
    for (SQLSMALLINT c = 1; c <= columns; ++c) {
        SQLCHAR name[256];
        SQLSMALLINT nameLength, type, digits, nullable;
        SQLULEN size;
        SQLDescribeCol(stmt, c, name, sizeof name, &nameLength, &type, &size, &digits, &nullable);
        types[c - 1] = type;
        worksheet_write_string(sheet, 0, c - 1, reinterpret_cast<const char*>(name), nullptr);
    }
    return types;
}

/** Reads one value as its SQL type asks and writes it at (row, c - 1); nothing for NULL. */
void copyCell(SQLHSTMT stmt, SQLSMALLINT c, SQLSMALLINT type, lxw_row_t row, const BareSheet& out)
{
    SQLLEN indicator = 0;
    switch (type) {
    case SQL_INTEGER:
    case SQL_BIGINT:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIT: {
        SQLBIGINT v = 0;
        SQLGetData(stmt, c, SQL_C_SBIGINT, &v, sizeof v, &indicator);
        if (indicator != SQL_NULL_DATA)
            worksheet_write_number(out.sheet, row, c - 1, double(v), nullptr);
        break;
    }
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_REAL: {
        double v = 0;
        SQLGetData(stmt, c, SQL_C_DOUBLE, &v, sizeof v, &indicator);
        if (indicator != SQL_NULL_DATA)
            worksheet_write_number(out.sheet, row, c - 1, v, nullptr);
        break;
    }
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT v{};
        SQLGetData(stmt, c, SQL_C_TYPE_TIMESTAMP, &v, sizeof v, &indicator);
        if (indicator != SQL_NULL_DATA) {
            lxw_datetime dt{v.year, v.month, v.day, v.hour, v.minute, double(v.second)};
            worksheet_write_datetime(out.sheet, row, c - 1, &dt, out.dateFormat);
        }
        break;
    }
    default:
        SQLGetData(stmt, c, SQL_C_CHAR, out.text.data(), SQLLEN(out.text.size()), &indicator);
        if (indicator != SQL_NULL_DATA)
            worksheet_write_string(out.sheet, row, c - 1, out.text.data(), nullptr);
        break;
    }
}

/** Copies every row of `table` to its sheet; returns the number of cells read. */
long long copyTable(SQLHSTMT stmt, const QString& table, const BareSheet& out)
{
    const SQLSMALLINT columns = selectAll(stmt, table);
    const std::vector<SQLSMALLINT> types = writeColumnNames(stmt, columns, out.sheet);
    long long cells = 0;
    lxw_row_t row = 1;
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
        for (SQLSMALLINT c = 1; c <= columns; ++c)
            copyCell(stmt, c, types[c - 1], row, out);
        cells += columns;
        ++row;
    }
    SQLCloseCursor(stmt);
    return cells;
}

/** The bare pipeline: what any copy must do at the least. Prints: seconds cells fileBytes. */
int runBare(const Source& source, const QString& folder)
{
    const QByteArray path = QFile::encodeName(folder + "/bare.xlsx");
    const QByteArray tmp = QFile::encodeName(folder);
    long long cells = 0;
    double seconds = 0;
    lxw_error closed = LXW_NO_ERROR;
    {
        const BareConnection connection(source, "bare");
        const QStringList names = connection.tables(source);
        QElapsedTimer clock;
        clock.start();
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;
        options.tmpdir = const_cast<char*>(tmp.constData());
        lxw_workbook* workbook = workbook_new_opt(path.constData(), &options);
        lxw_format* dateFormat = workbook_add_format(workbook);
        format_set_num_format_index(dateFormat, 14);
        std::vector<char> text(65536);
        for (const QString& table : names) {
            lxw_worksheet* sheet = workbook_add_worksheet(workbook, table.toUtf8().constData());
            cells += copyTable(connection.statement(), table, BareSheet{sheet, dateFormat, text});
        }
        closed = workbook_close(workbook);
        seconds = clock.nsecsElapsed() / 1e9;
    }
    const qint64 bytes = fileSize(QString::fromLocal8Bit(path));
    QFile::remove(QString::fromLocal8Bit(path));
    if (closed != LXW_NO_ERROR)
        qFatal("bare: %s", lxw_strerror(closed));
    std::printf("%.3f %lld %lld\n", seconds, cells, bytes);
    return 0;
}

/**
 * Reads one value as text and drops it. Most values fit in 256 bytes; when the driver says there is
 * more (or cannot say how much), the rest comes in further reads into `rest`, until it has no more.
 */
void readValue(SQLHSTMT stmt, SQLUSMALLINT column, std::vector<char>& rest)
{
    char first[256];
    SQLLEN capacity = sizeof first;
    SQLLEN indicator = 0;
    SQLRETURN status = SQLGetData(stmt, column, SQL_C_CHAR, first, capacity, &indicator);
    while (SQL_SUCCEEDED(status) && (indicator == SQL_NO_TOTAL || indicator >= capacity)) {
        capacity = SQLLEN(rest.size());
        status = SQLGetData(stmt, column, SQL_C_CHAR, rest.data(), capacity, &indicator);
    }
}

/** Reads every value of `table` as text; returns the number of cells read. */
long long readTable(SQLHSTMT stmt, const QString& table, std::vector<char>& rest)
{
    const SQLSMALLINT columns = selectAll(stmt, table);
    long long cells = 0;
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
        for (SQLSMALLINT c = 1; c <= columns; ++c)
            readValue(stmt, c, rest);
        cells += columns;
    }
    SQLCloseCursor(stmt);
    return cells;
}

/**
 * The reading floor: the same driver and tables as the bare pipeline, every value read as text and
 * nothing converted or written; no copy can take less. Prints: seconds cells.
 */
int runFloor(const Source& source)
{
    const BareConnection connection(source, "floor");
    const QStringList names = connection.tables(source);
    QElapsedTimer clock;
    clock.start();
    std::vector<char> rest(65536);
    long long cells = 0;
    for (const QString& table : names)
        cells += readTable(connection.statement(), table, rest);
    const double seconds = clock.nsecsElapsed() / 1e9;
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

/** A measure and its target, on one line of the summary. */
void report(const char* what, const QString& value, const char* target, bool met)
{
    std::printf("  %-46s %-28s %-16s %s\n", what, qPrintable(value), target, met ? "met" : "NOT MET");
    std::fflush(stdout);
}

/** A byte count as megabytes (of 1,000,000 bytes). */
QString megabytes(const QString& bytes, int decimals = 1)
{
    return QString::number(bytes.toDouble() / 1e6, 'f', decimals) + " MB";
}

/** Across the table exports: the longest time without answering the window system, and the peak resident memory. */
struct WorstExport {
    qint64 gapMs = 0;
    double peakMb = 0;
    /** `exported` as an export prints it: seconds maxGapMs peakKiB fileBytes. */
    void addGap(const QStringList& exported) { gapMs = std::max(gapMs, exported[1].toLongLong()); }
    void addMemory(const QStringList& exported) { peakMb = std::max(peakMb, exported[2].toDouble() / 1024.0); }
};

/**
 * Export against bare on one source: the ratio of their times and of their files, and what the
 * export's run measured. The reading floor shows how much of either is the driver's own time.
 */
void compare(const QString& self, const char* title, const QString& source, double target, WorstExport& worst)
{
    const QStringList floor = runChild(self, {"--floor", source});
    const QStringList bare = runChild(self, {"--bare", source});
    const QStringList exported = runChild(self, {"--export", source});
    const double ratio = bare[0].toDouble() / exported[0].toDouble();
    const double overFloor = exported[0].toDouble() / floor[0].toDouble();
    const qint64 bareBytes = bare[2].toLongLong();
    const qint64 exportBytes = exported[3].toLongLong();
    std::printf("%s: %s cells\n", title, qPrintable(bare[1]));
    report("reading floor", floor[0] + " s", "", true);
    report("bare pipeline", bare[0] + " s, " + megabytes(bare[2]) + " file", "", true);
    report("export", exported[0] + " s, " + megabytes(exported[3]) + " file", "", true);
    report("export speed / bare pipeline speed", QString::number(ratio, 'f', 2),
        qPrintable(QStringLiteral(">= %1").arg(target, 0, 'f', 2)), ratio >= target);
    report("export time / reading floor (informational)", QString::number(overFloor, 'f', 2), "<= 1.5x floor",
        overFloor <= 1.5);
    report("file size: export / bare pipeline",
        megabytes(exported[3], 2) + " / " + megabytes(bare[2], 2) + " = "
            + QString::number(double(exportBytes) / double(bareBytes), 'f', 2),
        "<= 1.10", exportBytes * 100 <= bareBytes * 110);
    worst.addGap(exported);
    worst.addMemory(exported);
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

/** Export against bare on the two SQLite files and through FreeTDS. */
void compareSources(const QString& self, const BenchDatabases& databases, const QString& folder, WorstExport& worst)
{
    compare(self, "SQLite, one table of 200,000 rows x 10 columns", databases.one, 2.5, worst);
    compare(self, "SQLite, 10 tables of 20,000 rows x 10 columns", databases.ten, 2.5, worst);
    TdsStandIn server({"--log", folder + "/tds.log"});
    compare(self, "FreeTDS, 200,000 rows x 10 SQL Server columns, encrypted", "tds:" + server.port, 2.0, worst);
}

/** A million rows, and one value of 100 MB: the time and the memory each takes. */
void measureLargeExports(const QString& self, const BenchDatabases& databases, WorstExport& worst)
{
    const QStringList largeExport = runChild(self, {"--export", databases.large});
    report("1,000,000 rows x 10 columns",
        largeExport[0] + " s, " + QString::number(largeExport[2].toDouble() / 1024.0, 'f', 1) + " MB", "", true);
    worst.addGap(largeExport);
    worst.addMemory(largeExport);
    const QStringList hugeExport = runChild(self, {"--export", databases.huge});
    report("one value of 100 MB",
        hugeExport[0] + " s, " + QString::number(hugeExport[2].toDouble() / 1024.0, 'f', 1) + " MB", "< 200 MB",
        hugeExport[2].toDouble() / 1024.0 < 200);
    worst.addGap(hugeExport);
}

/** 50 values of 40,000 characters over a link of 1 MB/s: the window must keep answering meanwhile. */
void measureSlowLink(const QString& self, const QString& folder)
{
    TdsStandIn server({"--link-rate", "1000000", "--log", folder + "/tds-slow.log"});
    const QStringList slow = runChild(self, {"--export", "tds:" + server.port + "/Long Values"});
    const qint64 slowGap = slow[1].toLongLong();
    report("slow link, long values: time, longest gap", slow[0] + " s, " + slow[1] + " ms", "<= 50 ms", slowGap <= 50);
}

void measureCrowdedTables(const QString& self, const BenchDatabases& databases)
{
    const QStringList crowdedExport = runChild(self, {"--export", databases.crowded});
    const double crowdedMb = crowdedExport[2].toDouble() / 1024.0;
    report("50,000 one-row tables: time", crowdedExport[0] + " s", "< 30 s", crowdedExport[0].toDouble() < 30);
    report(
        "50,000 one-row tables: peak memory", QString::number(crowdedMb, 'f', 1) + " MB", "< 200 MB", crowdedMb < 200);
    report("50,000 one-row tables: longest gap", crowdedExport[1] + " ms", "<= 50 ms",
        crowdedExport[1].toLongLong() <= 50);
}

void measureLargerLoads(const QString& self, const BenchDatabases& databases, const QString& folder, WorstExport& worst)
{
    std::printf("larger loads:\n");
    measureLargeExports(self, databases, worst);
    measureSlowLink(self, folder);
    measureCrowdedTables(self, databases);
}

/** One measurement in this process, as the summary starts it: `mode` <src>. */
int runMeasurement(const char* mode, char* argv[], const QString& folder)
{
    const Source source = Source::parse(QString::fromLocal8Bit(argv[2]));
    prepareEnvironment(folder, source.driver());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qstrcmp(mode, "--export") == 0)
        return runExport(1, argv, source);
    if (qstrcmp(mode, "--bare") == 0)
        return runBare(source, folder);
    if (qstrcmp(mode, "--floor") == 0)
        return runFloor(source);
    return 2;
}
} // namespace

int main(int argc, char* argv[])
{
    const QString folder = qEnvironmentVariable("QUORVANE_BENCH_DIR");
    if (argc == 3 && !folder.isEmpty())
        return runMeasurement(argv[1], argv, folder);

    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("QUORVANE_BENCH_DIR", QFile::encodeName(dir.path()));
    // The measurements keep a password of their own in their own settings; the
    // desktop's keyring holds the user's, which they must not replace.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorvane-bench");
    prepareEnvironment(dir.path(), Source().driver());
    const QString self = QCoreApplication::applicationFilePath();
    const BenchDatabases databases(dir.path());
    generateDatabases(databases);

    // Every export's longest time without answering the window system, and its peak resident memory.
    WorstExport worst;
    compareSources(self, databases, dir.path(), worst);
    measureLargerLoads(self, databases, dir.path(), worst);
    std::printf("every table export above (not the 50,000 tables, not the 100 MB value):\n");
    report("peak resident memory", QString::number(worst.peakMb, 'f', 1) + " MB", "< 100 MB", worst.peakMb < 100);
    report(
        "longest time the window did not answer", QString::number(worst.gapMs) + " ms", "<= 50 ms", worst.gapMs <= 50);
    return 0;
}
