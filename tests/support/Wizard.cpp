#include "Wizard.h"

#include "platform/ui/ProgramEnd.h"

#include <QFile>
#include <QListWidget>

Wizard::Wizard(bool spreadsheetApplication)
    : desktop(spreadsheetApplication)
    , m_previousRuntime(qgetenv("XDG_RUNTIME_DIR"))
    , m_previousCache(qgetenv("XDG_CACHE_HOME"))
{
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache.path()));
    TableWindow::setYieldInterval(0);
}

Wizard::~Wizard()
{
    Settle();
    m_connectionWindow.reset();
    TableWindow::destroyInstance();
    TableWindow::setYieldInterval(8);
    qputenv("XDG_RUNTIME_DIR", m_previousRuntime);
    qputenv("XDG_CACHE_HOME", m_previousCache);
}

QString Wizard::standardDatabase()
{
    if (m_standard.isEmpty())
        m_standard = odbc.createDatabase(QStringLiteral("standard.sqlite"),
            {"CREATE TABLE Customers (Id integer, Code varchar(10), Name varchar(50))",
                "INSERT INTO Customers VALUES (1, '00123', 'Ada'), (2, '042', NULL)",
                "CREATE TABLE Orders (Id integer, Amount float, Placed date)",
                "INSERT INTO Orders VALUES (1, 2.5, '2024-01-31')", "CREATE TABLE Products (Id integer, Label text)",
                "CREATE VIEW CustomerNames AS SELECT Name FROM Customers", "CREATE TABLE SysAudit (Id integer)"});
    return m_standard;
}

void Wizard::storeConnectingSettings(const QString& databasePath)
{
    settings.write(QStringLiteral("MSSQLServer"), QStringLiteral("localhost"));
    settings.write(QStringLiteral("MSSQLDatabase"), databasePath);
    settings.write(QStringLiteral("MSSQLUser"), QStringLiteral("demo"));
}

void Wizard::storeSettings(const ConnectionSettings& connection)
{
    settings.write(QStringLiteral("MSSQLServer"), connection.server);
    settings.write(QStringLiteral("MSSQLPort"), connection.port);
    settings.write(QStringLiteral("MSSQLDatabase"), connection.database);
    settings.write(QStringLiteral("MSSQLUser"), connection.user);
    settings.write(QStringLiteral("MSSQLPassword"), connection.password);
    settings.write(QStringLiteral("Local Connection"), connection.local ? QStringLiteral("1") : QStringLiteral("0"));
}

ConnectionWindow& Wizard::start()
{
    m_connectionWindow = std::make_unique<ConnectionWindow>();
    Settle();
    if (!m_connectionWindow->movedOn() && !ProgramEnd::ended())
        m_connectionWindow->show();
    return *m_connectionWindow;
}

QStringList Wizard::listTexts(const TableWindow& window)
{
    QStringList texts;
    for (int i = 0; i < window.tableList->count(); ++i)
        texts << window.tableList->item(i)->text();
    return texts;
}
