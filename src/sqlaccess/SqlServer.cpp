#include "sqlaccess/SqlServer.h"

#include "platform/Error.h"
#include "platform/odbc/Odbc.h"
#include "shell/ErrorTrap.h"
#include "sqlaccess/ServerTrust.h"

#include <QElapsedTimer>

namespace SqlServer {

namespace {

std::function<ConnectionSettings()>& source()
{
    static std::function<ConnectionSettings()> current;
    return current;
}

int g_loginTimeout = 15;

ServerTrust::Question& trustQuestion()
{
    static ServerTrust::Question question;
    return question;
}

/** The schema of the current row; drivers of the old kind call the column TABLE_OWNER. */
QVariant schemaOf(odbc::Recordset& records)
{
    for (int i = 0; i < records.fieldCount(); ++i) {
        const QString name = records.fieldName(i);
        if (name.compare(QLatin1String("TABLE_SCHEM"), Qt::CaseInsensitive) == 0
            || name.compare(QLatin1String("TABLE_OWNER"), Qt::CaseInsensitive) == 0) {
            const QVariant schema = records.value(i);
            if (schema.isNull() || schema.toString().isEmpty())
                return QVariant();
            return schema.toString();
        }
    }
    return QVariant();
}

} // namespace

void SetConnectionSettingsSource(std::function<ConnectionSettings()> settingsSource)
{
    source() = std::move(settingsSource);
}

ConnectionSettings CurrentConnectionSettings()
{
    return source() ? source()() : ConnectionSettings{};
}

void SetLoginTimeout(int seconds)
{
    g_loginTimeout = std::max(1, seconds);
}

void SetTrustQuestion(std::function<bool(const QString& text)> question)
{
    trustQuestion() = std::move(question);
}

namespace {

/** A little over the driver's own time, so that its words come first when it keeps time. */
std::chrono::milliseconds loginWait(int seconds)
{
    return std::chrono::milliseconds(seconds * 1000 + 500);
}

QString loginTimedOut(int seconds)
{
    return QStringLiteral("The server did not answer the login within %1 seconds.").arg(seconds);
}

/**
 * The FreeTDS connection string for this server: it is probed off the
 * window's thread, then ServerTrust decides (and may ask) on this one. The
 * probe's time is taken from the login's.
 */
Async::Task<QString> throughServerTrust(ConnectionSettings settings, Driver driver, bool mayAsk, int& secondsLeft)
{
    const tds::Address address = tds::ParseAddress(settings.server, settings.port, settings.local);
    const int seconds = secondsLeft;
    QElapsedTimer clock;
    clock.start();
    std::function<tds::Probe()> probing = [address, seconds] {
        return tds::ProbeServer(address, tds::TrustStoreFile(), std::chrono::seconds(seconds));
    };
    const tds::Probe probe = co_await Async::offThread(std::move(probing), loginWait(seconds), loginTimedOut(seconds));
    secondsLeft = std::max<int>(1, seconds - int(clock.elapsed() / 1000));
    const ServerTrust::Route route
        = ServerTrust::Decide(address, probe, mayAsk ? trustQuestion() : ServerTrust::Question());
    co_return ConnectionStringThrough(route.section, settings, driver, route.encrypted);
}

} // namespace

Async::Task<std::unique_ptr<odbc::Connection>> Connect(ConnectionSettings settings, bool mayAsk)
{
    const Driver driver = RegisteredDriver();
    RefuseUnsafeFields(settings, driver);
    int seconds = g_loginTimeout;
    // Other drivers keep their own ways: Microsoft's checks the certificate itself.
    QString text = ConnectionString(settings, driver, false);
    if (driver.freeTds)
        text = co_await throughServerTrust(settings, driver, mayAsk, seconds);
    std::function<std::unique_ptr<odbc::Connection>()> login = [text, seconds] {
        auto connection = std::make_unique<odbc::Connection>();
        connection->setLoginTimeout(seconds);
        connection->open(text);
        return connection;
    };
    std::unique_ptr<odbc::Connection> connection
        = co_await Async::offThread(std::move(login), loginWait(seconds), loginTimedOut(seconds));
    co_return connection;
}

Async::Task<bool> TestConnection(QString* reason, bool mayAsk)
{
    try {
        co_await Connect(CurrentConnectionSettings(), mayAsk);
        co_return true;
    } catch (const ProgramEnded&) {
        throw;
    } catch (const quorvane::Error& e) {
        if (reason)
            *reason = e.description();
    } catch (...) { }
    co_return false;
}

QString WithDriverWords(const QString& message, const QString& driverWords)
{
    return driverWords.isEmpty() ? message : message + QStringLiteral("\n\n") + driverWords;
}

namespace {

/** A value of a schema row as read off the window's thread, or why it could not be. */
struct Read {
    QVariant value;
    std::exception_ptr failure;

    QVariant get() const
    {
        if (failure)
            std::rethrow_exception(failure);
        return value;
    }
};

struct SchemaRow {
    Read type, name;
    QVariant schema;
};

/** The schema rows, and where reading them stopped early (line 114 or 124), if it did. */
struct Schema {
    std::vector<SchemaRow> rows;
    int stoppedAt = 0;
    std::exception_ptr stopped;
};

/** Reads every row of the schema query on an open connection, which it closes when done. */
Schema readSchema(odbc::Connection& connection)
{
    Schema schema;
    std::unique_ptr<odbc::Recordset> records = connection.openSchema(odbc::adSchemaTables);
    const auto read = [&](const char* column) {
        Read r;
        try {
            r.value = records->value(QLatin1String(column));
        } catch (...) {
            r.failure = std::current_exception();
        }
        return r;
    };
    for (;;) {
        int line = 114;
        try {
            if (records->eof())
                break;
            SchemaRow row{read("TABLE_TYPE"), read("TABLE_NAME"), QVariant()};
            try {
                row.schema = schemaOf(*records);
            } catch (...) { }
            schema.rows.push_back(std::move(row));
            line = 124;
            records->moveNext();
        } catch (...) {
            schema.stoppedAt = line;
            schema.stopped = std::current_exception();
            break;
        }
    }
    records.reset();
    connection.close();
    return schema;
}

/** One of the schema's rows, kept when it is a user table. */
void listRow(ErrorTrap& trap, const SchemaRow& row, std::vector<ListedTable>& tables)
{
    const bool isTable = trap.test(116, [&] { return row.type.get().toString() == QLatin1String("TABLE"); });
    if (!isTable)
        return;
    const bool keep
        = trap.test(120, [&] { return !row.name.get().toString().toUpper().contains(QLatin1String("SYS")); });
    if (keep)
        trap.step(122, [&] { tables.push_back({row.name.get().toString(), row.schema}); });
}

/** 114-124: the user tables among the schema's rows; a row that cannot be read is reported and passed. */
std::vector<ListedTable> userTables(ErrorTrap& trap, const Schema& schema)
{
    std::vector<ListedTable> tables;
    std::size_t at = 0;
    const auto atEnd = [&] {
        if (at < schema.rows.size())
            return false;
        if (schema.stoppedAt == 114)
            std::rethrow_exception(schema.stopped);
        return true;
    };
    while (trap.loopTest(114, [&] { return !atEnd(); })) {
        listRow(trap, schema.rows[at], tables);
        trap.step(124, [&] {
            ++at;
            if (at == schema.rows.size() && schema.stoppedAt == 124)
                std::rethrow_exception(schema.stopped);
        });
    }
    return tables;
}

} // namespace

Async::Task<std::vector<ListedTable>> ListTables()
{
    ErrorTrap trap(Locations::TableListing);
    std::unique_ptr<odbc::Connection> connection;
    // 100, 102: the connection and its record set are made where they are used.
    const bool local = trap.test(104, [&] { return CurrentConnectionSettings().local; });
    ConnectionSettings settings = CurrentConnectionSettings();
    settings.local = local;
    std::exception_ptr failure;
    try {
        connection = co_await Connect(settings);
    } catch (const ProgramEnded&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    trap.step(local ? 106 : 108, [&] {
        if (failure)
            std::rethrow_exception(failure);
    });
    // The rows are read on a thread of their own; a server that stops
    // answering is given up by the driver's own time limit.
    std::optional<Schema> schema;
    try {
        if (!connection)
            throw quorvane::Error(3704, QStringLiteral("Operation is not allowed when the object is closed."));
        std::function<Schema()> reading
            = [open = std::shared_ptr<odbc::Connection>(std::move(connection))] { return readSchema(*open); };
        schema = co_await Async::offThread(std::move(reading));
        failure = nullptr;
    } catch (const ProgramEnded&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    trap.step(110, [&] {
        if (failure)
            std::rethrow_exception(failure);
    });
    // Without a schema every step of the row loop would fail in turn; the
    // failed query has been reported, so the loop is not entered.
    co_return schema ? userTables(trap, *schema) : std::vector<ListedTable>();
    // 126-132: the record set and the connection were closed where they were read.
}

} // namespace SqlServer
