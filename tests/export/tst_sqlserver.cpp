#include "TdsServer.h"
#include "Wizard.h"
#include "XlsxReader.h"

#include "export/RowReader.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/ProgramEnd.h"
#include "sqlaccess/SqlServer.h"

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
    std::unique_ptr<CalcReader> m_calc; // one LibreOffice Calc for every workbook of the test

    /** Starts the wizard on the fixture database; it lands on the table window. */
    TableWindow& openTables(Wizard& wizard, const QString& database = QStringLiteral("Quorvane"))
    {
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        wizard.storeSettings(m_server->settings(database));
        wizard.start();
        TableWindow::setYieldInterval(8); // as in use: thousands of cells, no need to repaint each
        TableWindow* tables = wizard.tableWindow();
        if (!tables)
            qFatal("the table window did not open: %s", qPrintable(wizard.boxes.texts().join('|')));
        return *tables;
    }

    static void tick(TableWindow& tables, const QStringList& qualifiedNames)
    {
        for (int i = 0; i < tables.tableList->count(); ++i) {
            QListWidgetItem* item = tables.tableList->item(i);
            item->setCheckState(qualifiedNames.contains(qualified(item)) ? Qt::Checked : Qt::Unchecked);
        }
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(QString::fromLatin1(TestOdbc::FreeTdsDriver)))
            QSKIP("FreeTDS (Debian package tdsodbc) is not installed");
        m_server = std::make_unique<TdsServer>();
        m_calc = std::make_unique<CalcReader>();
        QVERIFY2(m_calc->error().isEmpty(), qPrintable(m_calc->error()));
    }

    void cleanup()
    {
        // Whatever FreeTDS sent, the server understood.
        QCOMPARE(m_server->unexpected(), QStringList());
    }

    void cleanupTestCase()
    {
        m_calc.reset();
        m_server.reset();
    }

    void listsUserTablesOfEverySchema()
    {
        Wizard wizard;
        TableWindow& tables = openTables(wizard);
        QStringList listed;
        for (int i = 0; i < tables.tableList->count(); ++i)
            listed << qualified(tables.tableList->item(i));
        // In the server's order; the view, the system table and the names with "sys" are left out.
        QCOMPARE(listed,
            QStringList({"archive.Orders", "dbo.Big", "dbo.Cents", "dbo.Customers", "dbo.Every Type", "dbo.Last Moment",
                "dbo.Odd]Name", "dbo.Variants", "sales.Orders"}));
    }

    /** Every fixture table but the big one, in one export: each sheet exactly as the type rules say. */
    void everyCellAsTheTypeRulesSay()
    {
        Wizard wizard;
        TableWindow& tables = openTables(wizard);
        const QList<std::pair<QString, QString>> sheets = {{"archive.Orders", "Orders"}, {"dbo.Cents", "Cents"},
            {"dbo.Customers", "Customers"}, {"dbo.Every Type", "Every Type"}, {"dbo.Last Moment", "Last Moment"},
            {"dbo.Odd]Name", "OddName"}, {"dbo.Variants", "Variants"}, {"sales.Orders", "Orders1"}};
        QStringList ticked;
        for (const auto& [table, sheet] : sheets)
            ticked << table;
        tick(tables, ticked);
        Click(tables.finishButton);

        // One report, about the one table with values longer than a cell, then "Done.".
        const QStringList boxes = wizard.boxes.texts();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(boxes[0].contains("Every Type") && boxes[0].contains("2 value(s)"), qPrintable(boxes[0]));
        QCOMPARE(boxes[1], QString("Done."));

        QStringList names;
        for (auto it = sheets.crbegin(); it != sheets.crend(); ++it)
            names << it->second;
        // As LibreOffice Calc reads the workbook, and as openpyxl reads the file.
        const QString path = tables.lastWorkbookPath();
        for (const auto& [reader, book] : {std::pair(QStringLiteral("Calc"), m_calc->cells(path)),
                 std::pair(QStringLiteral("openpyxl"), ReadXlsx(path))}) {
            QVERIFY2(book.error.isEmpty(), qPrintable(reader + ": " + book.error));
            QCOMPARE(book.names(), names);
            for (const auto& [table, sheet] : sheets) {
                const QStringList differences
                    = SheetDifferences(*book.sheet(sheet), TdsServer::expectedCells("Quorvane", table));
                QVERIFY2(differences.isEmpty(),
                    qPrintable(reader + ", " + sheet + ":\n" + differences.mid(0, 20).join('\n')));
            }
        }
    }

    /**
     * The whole session is encrypted whenever the server can encrypt: no table
     * name or value crosses the loopback in clear. A server without encryption
     * is reached once the user has agreed to it; an instance with a port by
     * its port, one without through the Browser.
     */
    void reachedAsTheServerAllows_data()
    {
        QTest::addColumn<QStringList>("options"); // of the server
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("local");
        QTest::addColumn<QString>("session"); // as the server logs it
        QTest::addColumn<QString>("database");
        const auto row
            = [](const char* name, const QStringList& options, const QString& server = "127.0.0.1", bool local = false,
                  const QString& session = "encryption full", const QString& database = "Quorvane") {
                  QTest::newRow(name) << options << server << local << session << database;
              };
        const QString instance = "127.0.0.1\\SQLEXPRESS";
        row("offered", {"--encryption", "off"});
        row("forced, on", {"--encryption", "on"});
        row("forced, req", {"--encryption", "req"});
        row("none", {"--encryption", "none"}, "127.0.0.1", false, "encryption none");
        row("SQL Server 2005: TDS 7.2", {"--tds", "7.2"});
        row("SQL Server 2008: TDS 7.3", {"--tds", "7.3"});
        row("instance with a port", {}, instance);
        row("instance, Browser", {"--browser", "SQLEXPRESS"}, instance, true);
        // The whole name names the workbook, but for the "/" a file name cannot hold.
        row("database named with . and /", {}, "127.0.0.1", false, "encryption full", "Sales 2024.v2/EU");
    }

    void reachedAsTheServerAllows()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, server);
        QFETCH(bool, local);
        QFETCH(QString, session);
        QFETCH(QString, database);
        TdsServer tds(options, true);
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        ConnectionSettings s = tds.settings(database);
        s.server = server;
        s.local = local;
        if (session == QLatin1String("encryption none"))
            TdsServer::remember(s.server + ',' + s.port, QStringLiteral("unencrypted")); // agreed to in an earlier run
        wizard.storeSettings(s);
        wizard.start();
        QVERIFY2(wizard.tableWindow(), qPrintable(wizard.boxes.texts().join('|')));
        tick(*wizard.tableWindow(), {"dbo.Customers"});
        Click(wizard.tableWindow()->finishButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        QVERIFY(QFileInfo(wizard.tableWindow()->lastWorkbookPath())
                    .fileName()
                    .startsWith(QString(database).replace('/', '_') + ' '));
        const XlsxBook book = ReadXlsx(wizard.tableWindow()->lastWorkbookPath());
        QCOMPARE(SheetDifferences(*book.sheet("Customers"), TdsServer::expectedCells("Quorvane", "Customers")),
            QStringList());
        QVERIFY2(tds.log().contains(session), qPrintable(tds.log().left(2000)));
        const QByteArray wire = tds.wire();
        const bool clear = session == QLatin1String("encryption none");
        for (const QString secret : {"Customers", "00123", "Zoë"}) {
            const QByteArray utf16(reinterpret_cast<const char*>(secret.utf16()), secret.size() * 2);
            QCOMPARE(wire.contains(utf16) || wire.contains(secret.toUtf8()), clear);
        }
        QCOMPARE(tds.unexpected(), QStringList());
    }

    /**
     * A table left after its first row (the count, a listing, a close in the
     * middle) is cancelled with an attention; the connection goes on working.
     */
    void tableLeftEarlyKeepsTheConnection()
    {
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        odbc::Connection connection;
        connection.open(SqlServer::ConnectionString(m_server->settings(QStringLiteral("Quorvane"))));
        for (int i = 0; i < 3; ++i) {
            odbc::Recordset records;
            records.open(QStringLiteral("SELECT * FROM [dbo].[Big]"), connection);
            QCOMPARE(records.recordCount(), 1048580);
            QCOMPARE(records.value(0).toInt(), 1);
        }
        QCOMPARE(m_server->log().count(QStringLiteral("attention in the middle of a reply")), 3);
    }

    /**
     * A table left while the server is silent in the middle of it: the fetch
     * the reader waits in is cancelled, not first waited out, so leaving takes
     * one time-out (this server never acknowledges a cancel) rather than two.
     */
    void tableLeftWhileTheServerIsSilent()
    {
        Wizard wizard; // records the end of the program
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        odbc::setQueryTimeout(2);
        odbc::Connection connection;
        connection.open(SqlServer::ConnectionString(m_server->settings(QStringLiteral("Stalls"))));
        odbc::Recordset records;
        records.open(QStringLiteral("SELECT * FROM [dbo].[B Stalls]"), connection);
        QElapsedTimer left; // the program ends while the writer waits for rows
        QTimer::singleShot(200, [&] {
            left.start();
            ProgramEnd::now();
        });
        const auto readAll = [&]() -> Async::Task<> {
            RowReader reader(records, {records.field(0), records.field(1)});
            for (;;) {
                if (reader.next())
                    continue;
                if (!reader.pending())
                    break;
                co_await reader.arrival();
            }
        };
        try {
            Wait(readAll());
        } catch (const ProgramEnded&) { }
        const qint64 waited = left.isValid() ? left.elapsed() : -1;
        odbc::setQueryTimeout(30);
        QVERIFY2(waited >= 0 && waited < 3000, qPrintable(QString::number(waited)));
    }

    /** More rows than a worksheet holds, streamed by the server: the rest goes on in a second sheet. */
    void tableLongerThanASheetContinues()
    {
        Wizard wizard;
        TableWindow& tables = openTables(wizard);
        tick(tables, {"dbo.Big"});
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        const QStringList sheets({"Big1 6 1048576 1048580 True", "Big 1048576 1 1048575 True"});
        const QString path = tables.lastWorkbookPath();
        QCOMPARE(CountingSheets(path, "N"), sheets);
        QCOMPARE(m_calc->counting(path, "N"), sheets);
    }

    /**
     * The server goes away after 1,000 of 5,000 rows. The table's one report
     * says so in the driver's words; the export opens the connection again
     * and goes on, or, when the server stays away, names every table left.
     */
    void serverGoesAwayInTheMiddleOfATable_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QStringList>("sheets"); // as CountingSheets reads them
        QTest::addColumn<QString>("leftOut"); // the report about tables not copied, empty when none
        QTest::addColumn<QString>("report"); // how the cut table's report begins
        const QString lost = "Table B Cut: 1,000 of 5,000 rows copied; the connection was lost: ";
        QTest::newRow("comes back") << "Faults"
                                    << QStringList(
                                           {"C After 4 1 3 True", "B Cut 1001 1 1000 True", "A Before 3 1 2 True"})
                                    << "" << lost;
        QTest::newRow("stays away") << "Doomed" << QStringList({"B Cut 1001 1 1000 True"})
                                    << "The connection could not be opened again, so these tables were not copied: "
                                       "C After, D Later.\n"
                                    << lost;
        QTest::newRow("stops answering")
            << "Stalls" << QStringList({"C After 4 1 3 True", "B Stalls 1001 1 1000 True", "A Before 3 1 2 True"}) << ""
            << "Table B Stalls: 1,000 of 5,000 rows copied; the server stopped answering: ";
    }

    void serverGoesAwayInTheMiddleOfATable()
    {
        QFETCH(QString, database);
        QFETCH(QStringList, sheets);
        QFETCH(QString, leftOut);
        QFETCH(QString, report);
        Wizard wizard;
        TableWindow& tables = openTables(wizard, database);
        odbc::setQueryTimeout(1); // a silent server is given up after twice this
        QTest::mouseClick(tables.selectAllButton, Qt::LeftButton); // "Select All"
        Heartbeat beat;
        Click(tables.finishButton); // "Finish"
        odbc::setQueryTimeout(30);
        QVERIFY2(beat.longestGap() < 100, qPrintable(QString::number(beat.longestGap())));

        const QStringList boxes = wizard.boxes.texts();
        QCOMPARE(boxes.size(), leftOut.isEmpty() ? 2 : 3);
        QVERIFY2(boxes[0].startsWith(report) && boxes[0].contains("[FreeTDS][SQL Server]"), qPrintable(boxes[0]));
        if (!leftOut.isEmpty())
            QVERIFY2(boxes[1].startsWith(leftOut), qPrintable(boxes[1]));
        QCOMPARE(boxes.last(), QString("Done."));
        QCOMPARE(CountingSheets(tables.lastWorkbookPath(), "N"), sheets);
    }
};

QTEST_MAIN(TestSqlServer)
#include "tst_sqlserver.moc"
