#include "sqlaccess/MSSQL.h"

#include "platform/Error.h"
#include "platform/odbc/DriverInfo.h"
#include "platform/odbc/Odbc.h"
#include "shell/ErrorTrap.h"

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
template <class T>
T& need(const std::unique_ptr<T>& object)
{
    if (!object)
        throw quorvane::Error(91, QStringLiteral("Object variable or With block variable not set"));
    return *object;
}

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

BraceRule RegisteredBraceRule()
{
    return BraceRuleForFreeTds(odbc::FreeTdsVersionOf(odbc::DriverLibrary(DriverName)));
}

QString ConnectionString(const ConnectionSettings& s, BraceRule rule)
{
    const QString server = s.local ? s.server : s.server + QLatin1Char(',') + s.port;
    return QStringLiteral("Driver={") + DriverName + QStringLiteral("};Server=") + attributeValue(server, rule)
        + QStringLiteral(";Database=") + attributeValue(s.database, rule) + QStringLiteral(";Uid=")
        + attributeValue(s.user, rule) + QStringLiteral(";Pwd=") + attributeValue(s.password, rule) + QLatin1Char(';');
}

QString ConnectionString(const ConnectionSettings& settings)
{
    return ConnectionString(settings, RegisteredBraceRule());
}

bool TestMSSQLConnection(QString* reason)
{
    try {
        odbc::Connection connection;
        connection.open(ConnectionString(CurrentConnectionSettings()));
        return true;
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

void AddTablesToMSSQLListbox(QListWidget* list)
{
    ErrorTrap trap(Locations::TableListing);
    std::unique_ptr<odbc::Connection> connection;
    std::unique_ptr<odbc::Recordset> records;

    trap.step(100, [&] { connection = std::make_unique<odbc::Connection>(); });
    trap.step(102, [&] { records = std::make_unique<odbc::Recordset>(); });
    const bool local = trap.test(104, [&] { return CurrentConnectionSettings().local; });
    if (local) {
        trap.step(106, [&] {
            ConnectionSettings settings = CurrentConnectionSettings();
            settings.local = true;
            need(connection).open(ConnectionString(settings));
        });
    } else {
        trap.step(108, [&] {
            ConnectionSettings settings = CurrentConnectionSettings();
            settings.local = false;
            need(connection).open(ConnectionString(settings));
        });
    }
    const bool haveRows = trap.step(110, [&] { records = need(connection).openSchema(odbc::adSchemaTables); });
    trap.step(112, [&] { need(list).clear(); });

    // Without a schema record set every step of the row loop would fail in
    // turn; the failed query has been reported, so the loop is not entered.
    if (haveRows) {
        QElapsedTimer sinceEvents;
        while (trap.loopTest(114, [&] { return !need(records).eof(); })) {
            const bool isTable = trap.test(116,
                [&] { return need(records).value(QStringLiteral("TABLE_TYPE")).toString() == QLatin1String("TABLE"); });
            if (isTable) {
                // Repainting is what costs; a long list is read at the speed
                // of the driver while the window still answers.
                trap.step(118, [&] {
                    if (!sinceEvents.isValid() || sinceEvents.elapsed() >= 10) {
                        QCoreApplication::processEvents();
                        sinceEvents.start();
                    }
                });
                const bool keep = trap.test(120, [&] {
                    return !need(records)
                                .value(QStringLiteral("TABLE_NAME"))
                                .toString()
                                .toUpper()
                                .contains(QLatin1String("SYS"));
                });
                if (keep) {
                    trap.step(122, [&] {
                        odbc::Recordset& rows = need(records);
                        auto item
                            = std::make_unique<QListWidgetItem>(rows.value(QStringLiteral("TABLE_NAME")).toString());
                        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                        item->setCheckState(Qt::Unchecked);
                        item->setData(Qt::UserRole, schemaOf(rows));
                        need(list).addItem(item.release());
                    });
                }
            }
            trap.step(124, [&] { need(records).moveNext(); });
        }
    }

    trap.step(126, [&] { need(records).close(); });
    trap.step(128, [&] { records.reset(); });
    trap.step(130, [&] { need(connection).close(); });
    trap.step(132, [&] { connection.reset(); });
}

} // namespace MSSQL
