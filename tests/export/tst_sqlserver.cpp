#include "TdsServer.h"
#include "Wizard.h"
#include "XlsxReader.h"

#include "platform/odbc/Odbc.h"
#include "sqlaccess/MSSQL.h"

#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTest>

// The production path: FreeTDS registered as "SQL Server", talking TDS 7.4 to
// the project's SQL Server stand-in, driven through the real windows.

namespace {

/** "schema.name" of a list entry. */
QString qualified(const QListWidgetItem* item)
{
    return item->data(Qt::UserRole).toString() + QLatin1Char('.') + item->text();
}

} // namespace

class TestSqlServer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TdsServer> m_server;

    /** Starts the wizard on the fixture database; it lands on the table window. */
    Form2& openTables(Wizard& wizard)
    {
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        wizard.storeSettings(m_server->settings(QStringLiteral("Quorvane")));
        wizard.start();
        Form2::setYieldInterval(8); // as in use: thousands of cells, no need to repaint each
        Form2* tables = wizard.form2();
        if (!tables)
            qFatal("the table window did not open: %s", qPrintable(wizard.boxes.texts().join('|')));
        return *tables;
    }

    static void tick(Form2& tables, const QStringList& qualifiedNames)
    {
        for (int i = 0; i < tables.ListView1->count(); ++i) {
            QListWidgetItem* item = tables.ListView1->item(i);
            item->setCheckState(qualifiedNames.contains(qualified(item)) ? Qt::Checked : Qt::Unchecked);
        }
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(QString::fromLatin1(TestOdbc::FreeTdsDriver)))
            QSKIP("FreeTDS (Debian package tdsodbc) is not installed");
        m_server = std::make_unique<TdsServer>();
    }

    void cleanup()
    {
        // Whatever FreeTDS sent, the server understood.
        QCOMPARE(m_server->unexpected(), QStringList());
    }

    void cleanupTestCase() { m_server.reset(); }

    void listsUserTablesOfEverySchema()
    {
        Wizard wizard;
        Form2& tables = openTables(wizard);
        QStringList listed;
        for (int i = 0; i < tables.ListView1->count(); ++i)
            listed << qualified(tables.ListView1->item(i));
        // In the server's order; the view, the system table and the names with "sys" are left out.
        QCOMPARE(listed,
            QStringList({"archive.Orders", "dbo.Big", "dbo.Cents", "dbo.Customers", "dbo.Every Type", "dbo.Last Moment",
                "dbo.Odd]Name", "dbo.Variants", "sales.Orders"}));
    }

    /** Every fixture table but the big one, in one export: each sheet exactly as the type rules say. */
    void everyCellAsTheTypeRulesSay()
    {
        Wizard wizard;
        Form2& tables = openTables(wizard);
        const QList<std::pair<QString, QString>> sheets = {{"archive.Orders", "Orders"}, {"dbo.Cents", "Cents"},
            {"dbo.Customers", "Customers"}, {"dbo.Every Type", "Every Type"}, {"dbo.Last Moment", "Last Moment"},
            {"dbo.Odd]Name", "OddName"}, {"dbo.Variants", "Variants"}, {"sales.Orders", "Orders1"}};
        QStringList ticked;
        for (const auto& [table, sheet] : sheets)
            ticked << table;
        tick(tables, ticked);
        QTest::mouseClick(tables.PushButton5, Qt::LeftButton);

        // One report, about the one table with values longer than a cell, then "Done.".
        const QStringList boxes = wizard.boxes.texts();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(boxes[0].contains("Every Type") && boxes[0].contains("2 value(s)"), qPrintable(boxes[0]));
        QCOMPARE(boxes[1], QString("Done."));

        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        QVERIFY2(book.error.isEmpty(), qPrintable(book.error));
        QStringList names;
        for (auto it = sheets.crbegin(); it != sheets.crend(); ++it)
            names << it->second;
        QCOMPARE(book.names(), names);
        for (const auto& [table, sheet] : sheets) {
            const QStringList differences
                = SheetDifferences(*book.sheet(sheet), TdsServer::expectedCells("Quorvane", table));
            QVERIFY2(differences.isEmpty(), qPrintable(sheet + ":\n" + differences.mid(0, 20).join('\n')));
        }
    }

    /**
     * A table left after its first row (the count, a listing, a close in the
     * middle) is cancelled with an attention; the connection goes on working.
     */
    void tableLeftEarlyKeepsTheConnection()
    {
        TestOdbc odbc;
        odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        odbc::Connection connection;
        connection.open(MSSQL::ConnectionString(m_server->settings(QStringLiteral("Quorvane"))));
        for (int i = 0; i < 3; ++i) {
            odbc::Recordset records;
            records.open(QStringLiteral("SELECT * FROM [dbo].[Big]"), connection);
            QCOMPARE(records.recordCount(), 1048580);
            QCOMPARE(records.value(0).toInt(), 1);
        }
        QCOMPARE(m_server->log().count(QStringLiteral("attention in the middle of a reply")), 3);
    }

    /** More rows than a worksheet holds, streamed by the server: the rest goes on in a second sheet. */
    void tableLongerThanASheetContinues()
    {
        Wizard wizard;
        Form2& tables = openTables(wizard);
        tick(tables, {"dbo.Big"});
        QTest::mouseClick(tables.PushButton5, Qt::LeftButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        QCOMPARE(CountingSheets(tables.lastWorkbookPath(), "N"),
            QStringList({"Big1 6 1048576 1048580 True", "Big 1048576 1 1048575 True"}));
    }
};

QTEST_MAIN(TestSqlServer)
#include "tst_sqlserver.moc"
