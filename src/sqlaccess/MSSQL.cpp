#include "sqlaccess/MSSQL.h"

#include "platform/Error.h"
#include "platform/odbc/DriverInfo.h"
#include "platform/odbc/Odbc.h"
#include "shell/ErrorTrap.h"
#include "shell/Waiting.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QListWidgetItem>

namespace MSSQL {

namespace {

std::function<ConnectionSettings()>& source()
{
    static std::function<ConnectionSettings()> current;
    return current;
}

int g_loginTimeout = 15;

/**
 * FreeTDS asked for encryption by a server that has none gives up before
 * any word of the server's (a refused login says so in the server's words).
 */
bool cannotEncrypt(const QString& failure)
{
    return failure.contains(QLatin1String("Adaptive Server connection failed"))
        && !failure.contains(QLatin1String("[28000]")) && !failure.contains(QLatin1String("[42000]"));
}

/** The name the driver is registered under; the connection string asks for it. */
const QString DriverName = QStringLiteral("SQL Server");

/**
 * ODBC ends an unbraced value at the first ";" and treats a leading "{" as
 * the start of a braced one, so such a value would otherwise lose its tail or
 * spill into the next attribute (a password with ";" could even add keys).
 */
QString attributeValue(const QString& value, BraceRule rule)
{
    if (!value.contains(QLatin1Char(';')) && !value.startsWith(QLatin1Char('{')))
        return value;
    if (rule == BraceRule::FreeTdsLegacy && !value.contains(QLatin1String("};")))
        return QLatin1Char('{') + value + QLatin1Char('}');
    QString quoted = value;
    quoted.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return QLatin1Char('{') + quoted + QLatin1Char('}');
}

/** What a step raises when an object it needs was never made: the classic run-time error. */
QListWidget& need(QListWidget* list)
{
    if (!list)
        throw quorvane::Error(91, QStringLiteral("Object variable or With block variable not set"));
    return *list;
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

BraceRule BraceRuleForFreeTds(const QVersionNumber& freeTds)
{
    if (freeTds.isNull())
        return BraceRule::Odbc;
    // Missing parts count as 0: "1.4" (and a "1.4.dev" snapshot) is 1.4.0.
    const QVersionNumber release(freeTds.majorVersion(), freeTds.minorVersion(), freeTds.microVersion());
    if (release < QVersionNumber(1, 3, 21) || release == QVersionNumber(1, 4, 0))
        return BraceRule::FreeTdsLegacy;
    return BraceRule::Odbc;
}

Driver RegisteredDriver()
{
    const QVersionNumber freeTds = odbc::FreeTdsVersionOf(odbc::DriverLibrary(DriverName));
    return Driver(BraceRuleForFreeTds(freeTds), !freeTds.isNull());
}

QString ConnectionString(const ConnectionSettings& s, const Driver& driver, bool encrypted)
{
    const BraceRule rule = driver.braces;
    QString server = s.local ? s.server : s.server + QLatin1Char(',') + s.port;
    QString port;
    const qsizetype instance = s.server.indexOf(QLatin1Char('\\'));
    if (driver.freeTds && !s.local && instance >= 0) {
        server = s.server;
        if (!s.port.isEmpty()) {
            server = s.server.left(instance);
            port = QStringLiteral(";Port=") + attributeValue(s.port, rule);
        }
    }
    QString text = QStringLiteral("DRIVER={") + DriverName + QStringLiteral("};Server=") + attributeValue(server, rule)
        + port + QStringLiteral(";Database=") + attributeValue(s.database, rule) + QStringLiteral(";UID=")
        + attributeValue(s.user, rule) + QStringLiteral(";Pwd=") + attributeValue(s.password, rule) + QLatin1Char(';');
    if (driver.freeTds) {
        // Left to guess, FreeTDS tries an old Sybase login after a SQL Server
        // one that got no answer, and then never gives up. 7.4 is the newest
        // it speaks; an older server answers with its own, which FreeTDS takes.
        text += QStringLiteral("TDS_Version=7.4;");
        // Its own default encrypts the login packet alone, even where the
        // server offers more; it checks no certificate either way.
        if (encrypted)
            text += QStringLiteral("Encryption=require;");
    }
    return text;
}

QString ConnectionString(const ConnectionSettings& settings)
{
    const Driver driver = RegisteredDriver();
    return ConnectionString(settings, driver, driver.freeTds);
}

void SetLoginTimeout(int seconds)
{
    g_loginTimeout = std::max(1, seconds);
}

std::unique_ptr<odbc::Connection> Connect(const ConnectionSettings& settings, int mode)
{
    const Driver driver = RegisteredDriver();
    const int seconds = g_loginTimeout;
    std::function<std::unique_ptr<odbc::Connection>()> login = [settings, driver, seconds, mode] {
        QElapsedTimer clock;
        clock.start();
        auto connection = std::make_unique<odbc::Connection>();
        connection->setMode(mode);
        connection->setLoginTimeout(seconds);
        if (driver.freeTds) {
            try {
                connection->open(ConnectionString(settings, driver, true));
                return connection;
            } catch (const quorvane::Error& e) {
                if (!cannotEncrypt(e.description()))
                    throw;
            }
            // The same login in the clear, in the time that is left.
            connection->setLoginTimeout(std::max<int>(1, seconds - int(clock.elapsed() / 1000)));
        }
        connection->open(ConnectionString(settings, driver, false));
        return connection;
    };
    // A little over the driver's own time, so that its words come first when it keeps time.
    return Waiting::offThread(std::move(login), std::chrono::milliseconds(seconds * 1000 + 500),
        QStringLiteral("The server did not answer the login within %1 seconds.").arg(seconds));
}

bool TestMSSQLConnection(QString* reason)
{
    try {
        Connect(CurrentConnectionSettings());
        return true;
    } catch (const ProgramEnded&) {
        throw;
    } catch (const quorvane::Error& e) {
        if (reason)
            *reason = e.description();
    } catch (...) { }
    return false;
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

} // namespace

void AddTablesToMSSQLListbox(QListWidget* list)
{
    ErrorTrap trap(Locations::TableListing);
    std::unique_ptr<odbc::Connection> connection;
    Schema schema;

    // 100, 102: the connection and its record set are made where they are used.
    const bool local = trap.test(104, [&] { return CurrentConnectionSettings().local; });
    trap.step(local ? 106 : 108, [&] {
        ConnectionSettings settings = CurrentConnectionSettings();
        settings.local = local;
        connection = Connect(settings);
    });
    // The rows are read on a thread of their own; a server that stops
    // answering is given up by the driver's own time limit.
    const bool haveRows = trap.step(110, [&] {
        if (!connection)
            throw quorvane::Error(3704, QStringLiteral("Operation is not allowed when the object is closed."));
        std::function<Schema()> reading
            = [open = std::shared_ptr<odbc::Connection>(std::move(connection))] { return readSchema(*open); };
        schema = Waiting::offThread(std::move(reading), std::chrono::milliseconds(0), QString());
    });
    trap.step(112, [&] { need(list).clear(); });

    // Without a schema every step of the row loop would fail in turn; the
    // failed query has been reported, so the loop is not entered.
    if (haveRows) {
        QElapsedTimer sinceEvents;
        std::size_t at = 0;
        const auto atEnd = [&] {
            if (at < schema.rows.size())
                return false;
            if (schema.stoppedAt == 114)
                std::rethrow_exception(schema.stopped);
            return true;
        };
        while (trap.loopTest(114, [&] { return !atEnd(); })) {
            const SchemaRow& row = schema.rows[at];
            const bool isTable = trap.test(116, [&] { return row.type.get().toString() == QLatin1String("TABLE"); });
            if (isTable) {
                // Repainting is what costs; a long list fills at once while the window still answers.
                trap.step(118, [&] {
                    if (!sinceEvents.isValid() || sinceEvents.elapsed() >= 10) {
                        QCoreApplication::processEvents();
                        sinceEvents.start();
                    }
                });
                const bool keep = trap.test(
                    120, [&] { return !row.name.get().toString().toUpper().contains(QLatin1String("SYS")); });
                if (keep) {
                    trap.step(122, [&] {
                        auto item = std::make_unique<QListWidgetItem>(row.name.get().toString());
                        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                        item->setCheckState(Qt::Unchecked);
                        item->setData(Qt::UserRole, row.schema);
                        need(list).addItem(item.release());
                    });
                }
            }
            trap.step(124, [&] {
                ++at;
                if (at == schema.rows.size() && schema.stoppedAt == 124)
                    std::rethrow_exception(schema.stopped);
            });
        }
    }
    // 126-132: the record set and the connection were closed where they were read.
}

} // namespace MSSQL
