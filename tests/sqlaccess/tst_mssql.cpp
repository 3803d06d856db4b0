#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "shell/ErrorReport.h"
#include "shell/ErrorTrap.h"
#include "sqlaccess/SqlServer.h"
#include "support/Seams.h"
#include "support/TestOdbc.h"
#include "windows/TableWindow.h"

#include <QListWidget>
#include <QtTest>

namespace {

QStringList texts(const QListWidget& list)
{
    QStringList result;
    for (int i = 0; i < list.count(); ++i)
        result << list.item(i)->text();
    return result;
}

} // namespace

class TestMssql : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestOdbc> m_odbc;
    QString m_tables;
    QString m_noTables;
    ConnectionSettings m_settings;
    QList<MsgBox::Record> m_shown;

    void use(const ConnectionSettings& settings) { m_settings = settings; }

private slots:
    void initTestCase()
    {
        m_odbc = std::make_unique<TestOdbc>();
        // Created out of alphabetical order, so a sorted list would show.
        m_tables = m_odbc->createDatabase(QStringLiteral("tables.db"),
            {
                QStringLiteral("CREATE TABLE Zeta (id integer)"),
                QStringLiteral("CREATE TABLE SystemUsers (id integer)"),
                QStringLiteral("CREATE TABLE Customers (id integer, name text)"),
                QStringLiteral("CREATE TABLE sysdiagrams (id integer)"),
                QStringLiteral("CREATE TABLE Tsys (id integer)"),
                QStringLiteral("CREATE TABLE EasySync (id integer)"),
                QStringLiteral("CREATE TABLE ABC_SYS (id integer)"),
                QStringLiteral("CREATE TABLE [Order Details] (id integer)"),
                QStringLiteral("CREATE TABLE Alpha (id integer)"),
                QStringLiteral("CREATE VIEW CustomerView AS SELECT * FROM Customers"),
                QStringLiteral("CREATE VIEW Beta AS SELECT * FROM Alpha"),
            });
        m_noTables = m_odbc->createDatabase(QStringLiteral("notables.db"),
            {
                QStringLiteral("CREATE TABLE keep (id integer)"),
                QStringLiteral("CREATE VIEW OnlyView AS SELECT 1 AS x"),
                QStringLiteral("DROP TABLE keep"),
            });
        SqlServer::SetConnectionSettingsSource([this] { return m_settings; });
    }

    void init()
    {
        m_odbc->registerSqlServer(QString::fromLatin1(TestOdbc::SqliteDriver));
        m_shown.clear();
        MsgBox::setHandler([this](const MsgBox::Record& record) {
            m_shown << record;
            return int(MsgBox::Ok);
        });
        use(TestOdbc::settingsFor(m_tables));
    }

    void cleanup() { MsgBox::resetHandler(); }

    void cleanupTestCase() { SqlServer::SetConnectionSettingsSource(nullptr); }

    void connectionTestSucceedsOnAReachableDatabase_data()
    {
        QTest::addColumn<bool>("local");
        QTest::newRow("with port") << false;
        QTest::newRow("local") << true;
    }

    void connectionTestSucceedsOnAReachableDatabase()
    {
        QFETCH(bool, local);
        use(TestOdbc::settingsFor(m_tables, local));
        QVERIFY(Wait(SqlServer::TestConnection()));
        QVERIFY(m_shown.isEmpty());
    }

    void connectionTestFailsSilentlyOnAMissingDatabase()
    {
        // The SQLite driver creates a missing file, but not a missing folder.
        const QString path = m_odbc->folder() + QStringLiteral("/no/such/folder/x.db");
        use(TestOdbc::settingsFor(path));
        QVERIFY(!Wait(SqlServer::TestConnection()));
        QVERIFY(m_shown.isEmpty());
        QVERIFY(!QFile::exists(path));
    }

    void listsUserTablesInSchemaOrder()
    {
        QListWidget list;
        TableWindow::FillList(&list, Wait(SqlServer::ListTables()));
        QVERIFY2(m_shown.isEmpty(), m_shown.isEmpty() ? "" : qPrintable(m_shown.first().text));

        // What the schema query gives, filtered but not reordered.
        QStringList expected;
        odbc::Connection connection;
        connection.open(SqlServer::ConnectionString(m_settings));
        auto rows = connection.openSchema(odbc::adSchemaTables);
        for (; !rows->eof(); rows->moveNext()) {
            const QString name = rows->value(QStringLiteral("TABLE_NAME")).toString();
            if (rows->value(QStringLiteral("TABLE_TYPE")).toString() == QLatin1String("TABLE")
                && !name.toUpper().contains(QLatin1String("SYS")))
                expected << name;
        }
        QCOMPARE(texts(list), expected);
        QCOMPARE(QSet<QString>(expected.begin(), expected.end()),
            (QSet<QString>{"Zeta", "Customers", "Order Details", "Alpha"}));
        for (int i = 0; i < list.count(); ++i) {
            QListWidgetItem* item = list.item(i);
            QVERIFY(item->flags().testFlag(Qt::ItemIsUserCheckable));
            QCOMPARE(item->checkState(), Qt::Unchecked);
            QVERIFY(item->data(Qt::UserRole).isNull()); // SQLite has no schemas
        }
    }

    void leftOut_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("SystemUsers") << "SystemUsers";
        QTest::newRow("sysdiagrams") << "sysdiagrams";
        QTest::newRow("Tsys") << "Tsys";
        QTest::newRow("EasySync") << "EasySync";
        QTest::newRow("ABC_SYS") << "ABC_SYS";
        QTest::newRow("view") << "CustomerView";
        QTest::newRow("view without SYS") << "Beta";
        QTest::newRow("system catalogue") << "sqlite_master";
    }

    void leftOut()
    {
        QFETCH(QString, name);
        QListWidget list;
        TableWindow::FillList(&list, Wait(SqlServer::ListTables()));
        QVERIFY(!texts(list).contains(name));
        QVERIFY(texts(list).contains(QStringLiteral("Customers")));
    }

    void twiceIsTheSameAsOnce()
    {
        QListWidget list;
        TableWindow::FillList(&list, Wait(SqlServer::ListTables()));
        const QStringList once = texts(list);
        list.item(0)->setCheckState(Qt::Checked);
        TableWindow::FillList(&list, Wait(SqlServer::ListTables()));
        QCOMPARE(texts(list), once);
        QCOMPARE(list.item(0)->checkState(), Qt::Unchecked);
    }

    void databaseWithoutTablesClearsTheList()
    {
        QListWidget list;
        list.addItem(QStringLiteral("left over"));
        use(TestOdbc::settingsFor(m_noTables));
        TableWindow::FillList(&list, Wait(SqlServer::ListTables()));
        QCOMPARE(list.count(), 0);
        QVERIFY(m_shown.isEmpty());
    }

    void unopenableConnectionReportsTwiceThenEnds_data()
    {
        QTest::addColumn<bool>("local");
        QTest::addColumn<int>("openLine");
        QTest::newRow("with port") << false << 108;
        QTest::newRow("local") << true << 106;
    }

    void unopenableConnectionReportsTwiceThenEnds()
    {
        QFETCH(bool, local);
        QFETCH(int, openLine);
        QListWidget list;
        list.addItem(QStringLiteral("left over"));
        use(TestOdbc::settingsFor(QStringLiteral("/no/such/folder/x.db"), local));
        TableWindow::FillList(&list, Wait(SqlServer::ListTables()));
        QCOMPARE(m_shown.size(), 2);
        QCOMPARE(m_shown[0].text,
            ErrorReport::text(QStringLiteral("[HY000] [SQLite]connect failed"), Locations::TableListing, openLine));
        QCOMPARE(m_shown[1].text,
            ErrorReport::text(
                QStringLiteral("Operation is not allowed when the object is closed."), Locations::TableListing, 110));
        for (const MsgBox::Record& r : std::as_const(m_shown)) {
            QCOMPARE(r.style, int(MsgBox::Exclamation));
            QCOMPARE(r.caption, QStringLiteral("Application Error"));
        }
        QCOMPARE(list.count(), 0);
    }

    void missingListIsReported()
    {
        TableWindow::FillList(nullptr, Wait(SqlServer::ListTables()));
        QVERIFY(!m_shown.isEmpty());
        QVERIFY(m_shown.first().text.contains(QLatin1String("at line 112")));
    }
};

QTEST_MAIN(TestMssql)
#include "tst_mssql.moc"
