#include "Wizard.h"
#include "XlsxReader.h"

#include "export/TableSource.h"
#include "platform/odbc/Odbc.h"
#include "platform/workbook/Workbook.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <sys/stat.h>

namespace {
/** Starts the wizard on a database and lands on the table window. */
TableWindow& openTables(Wizard& wizard, const QString& database)
{
    wizard.storeConnectingSettings(database);
    wizard.start();
    TableWindow* tables = wizard.tableWindow();
    if (!tables)
        qFatal("the table window did not open");
    return *tables;
}

void tick(TableWindow& tables, const QStringList& names)
{
    for (int i = 0; i < tables.tableList->count(); ++i) {
        QListWidgetItem* item = tables.tableList->item(i);
        item->setCheckState(names.contains(item->text()) ? Qt::Checked : Qt::Unchecked);
    }
}

QStringList filesIn(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

int modeOf(const QString& path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}
} // namespace

class TestExport : public QObject {
    Q_OBJECT

private slots:
    void emptyListDoesNothing()
    {
        Wizard wizard;
        TableWindow& tables
            = openTables(wizard, wizard.odbc.createDatabase("none.sqlite", {"CREATE VIEW V AS SELECT 1 AS A"}));
        int pointers = 0;
        tables.onYield = [&] { ++pointers; };
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.count(), 0);
        QCOMPARE(tables.pointer.mousePointer(), 0);
        QCOMPARE(tables.cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(pointers, 0);
        QVERIFY(tables.lastWorkbookPath().isEmpty());
        QTest::qWait(100);
        QCOMPARE(wizard.desktop.openCalls().size(), 0);
        QVERIFY(!tables.busy());
    }

    void noneTickedOpensOneEmptyWorksheet()
    {
        Wizard wizard;
        TableWindow& tables = openTables(wizard, wizard.standardDatabase());
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        QCOMPARE(wizard.boxes.boxes[0].style, 0);
        QCOMPARE(wizard.boxes.boxes[0].caption, QStringLiteral("Quorvane"));
        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        QVERIFY2(book.error.isEmpty(), qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 1);
        QVERIFY(book.sheets[0].cells.isEmpty());
        QVERIFY(wizard.desktop.waitForOpenCalls(1));
    }

    void workbookIsCompletePrivateAndOpenedOnce()
    {
        Wizard wizard;
        TableWindow& tables = openTables(wizard, wizard.standardDatabase());
        tick(tables, {"Customers"});
        Click(tables.finishButton);
        const QString path = tables.lastWorkbookPath();
        QVERIFY(path.endsWith(".xlsx"));
        QCOMPARE(QFileInfo(path).absolutePath(), wizard.workbookFolder());
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(modeOf(QFileInfo(path).absolutePath()), 0700);
        // Among the documents, and nothing in the runtime folder, which is gone at logout.
        QCOMPARE(filesIn(wizard.runtimeFolder()), QStringList());
        // The bar rests as before; its tooltip tells where the workbook is.
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        QCOMPARE(tables.progressBar->text(), QStringLiteral("Progress Bar"));
        QCOMPARE(tables.progressBar->toolTip(), QStringLiteral("Last workbook: ") + path);
        QVERIFY(wizard.desktop.waitForOpenCalls(1));
        QTest::qWait(200);
        QCOMPARE(wizard.desktop.openCalls(), QStringList({path}));
        QCOMPARE(filesIn(QFileInfo(path).absolutePath()), QStringList({path})); // nothing temporary left
        const XlsxBook book = ReadXlsx(path);
        QVERIFY2(book.error.isEmpty(), qPrintable(book.error));
        const XlsxSheet* sheet = book.sheet("Customers");
        QVERIFY(sheet);
        QCOMPARE(sheet->cells.value("A1").text, QStringLiteral("Id"));
        QCOMPARE(sheet->cells.value("B2").text, QStringLiteral("00123"));
        QCOMPARE(sheet->cells.value("B2").type, QStringLiteral("text"));
        QCOMPARE(sheet->cells.value("A3").number, 2.0);
        QVERIFY(!sheet->cells.contains("C3")); // null
    }

    void tabsStandInReverseOrderAndTheLastIsActiveAndFitted()
    {
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("abc.sqlite",
            {"CREATE TABLE A (X varchar(40))", "INSERT INTO A VALUES ('a rather long value in column A')",
                "CREATE TABLE B (X varchar(40))", "INSERT INTO B VALUES ('b')", "CREATE TABLE C (Wide varchar(60))",
                "INSERT INTO C VALUES ('a much longer value that needs a wide column to be seen')",
                "CREATE TABLE Empty (One integer, Two varchar(5))"});
        TableWindow& tables = openTables(wizard, db);
        tick(tables, {"A", "B", "C", "Empty"});
        tables.tableList->item(3)->setCheckState(Qt::Unchecked);
        Click(tables.finishButton);
        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        QVERIFY2(book.error.isEmpty(), qPrintable(book.error));
        QCOMPARE(book.names(), QStringList({"C", "B", "A"}));
        QCOMPARE(book.active, 0);
        QVERIFY(book.sheets[0].widths.value("A") > 30);
        QVERIFY(book.sheets[2].widths.isEmpty()); // only the active sheet is fitted
    }

    void tableWithoutRecordsHasOnlyItsFieldNames()
    {
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("e.sqlite", {"CREATE TABLE Empty (One integer, Two varchar(5))"});
        TableWindow& tables = openTables(wizard, db);
        tick(tables, {"Empty"});
        Click(tables.finishButton);
        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        QCOMPARE(book.names(), QStringList({"Empty"}));
        QCOMPARE(book.sheets[0].cells.keys(), QStringList({"A1", "B1"}));
    }

    void progressValuesCountListPositions()
    {
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("four.sqlite",
            {"CREATE TABLE T1 (X integer)", "CREATE TABLE T2 (X integer)", "INSERT INTO T2 VALUES (1)",
                "CREATE TABLE T3 (X integer)", "CREATE TABLE T4 (X integer)", "INSERT INTO T4 VALUES (1)"});
        TableWindow& tables = openTables(wizard, db);
        tick(tables, {"T2", "T4"});
        QList<int> values;
        int pointer = -1;
        tables.onYield = [&] {
            if (values.isEmpty() || values.last() != tables.progressBar->value())
                values << tables.progressBar->value();
            pointer = tables.pointer.mousePointer();
        };
        Click(tables.finishButton);
        QCOMPARE(values, QList<int>({50, 100}));
        QCOMPARE(pointer, 11);
        QCOMPARE(tables.progressBar->value(), 0);
        QCOMPARE(tables.progressBar->text(), QStringLiteral("Progress Bar"));
        QCOMPARE(tables.pointer.mousePointer(), 0);
        QVERIFY(!tables.busy());
    }

    void rowAndFieldTexts()
    {
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("orders.sqlite",
            {"CREATE TABLE Orders (A integer, B integer, C integer, D integer, E integer, F integer, G integer)",
                "INSERT INTO Orders WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 120) "
                "SELECT i, i, i, i, i, i, i FROM n"});
        TableWindow& tables = openTables(wizard, db);
        tick(tables, {"Orders"});
        QStringList texts;
        tables.onYield = [&] {
            const QString text = tables.progressBar->text();
            if (texts.isEmpty() || texts.last() != text)
                texts << text;
        };
        Click(tables.finishButton);
        QCOMPARE(texts.first(), QStringLiteral("Processing: Orders"));
        QVERIFY(texts.contains("Processing: Orders, row 3 from 120..."));
        const qsizetype rowText = texts.indexOf("Processing: Orders, row 3 from 120...");
        QCOMPARE(texts.value(rowText + 1), QStringLiteral("Processing: Orders, row 3 from 120, field 1 from 7..."));
        QCOMPARE(texts.value(rowText + 2), QStringLiteral("Processing: Orders, row 3 from 120, field 2 from 7..."));
        QCOMPARE(texts.last(), QStringLiteral("Processing: Orders, row 120 from 120, field 6 from 7..."));
    }

    void duringTheExport_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("second Finish") << "finish";
        QTest::newRow("minimised") << "minimise";
        QTest::newRow("ticks change") << "ticks";
        QTest::newRow("list refilled smaller") << "refill";
        QTest::newRow("back") << "back";
    }

    void duringTheExport()
    {
        QFETCH(QString, action);
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("during.sqlite",
            {"CREATE TABLE A (X integer)", "INSERT INTO A VALUES (1), (2)", "CREATE TABLE B (X integer)",
                "INSERT INTO B VALUES (1)", "CREATE TABLE C (X integer)", "INSERT INTO C VALUES (1)"});
        TableWindow& tables = openTables(wizard, db);
        tables.show();
        tick(tables, {"A", "B"});
        bool done = false;
        tables.onYield = [&] {
            if (done)
                return;
            done = true;
            if (action == "finish")
                tables.finishClicked();
            else if (action == "minimise")
                tables.showMinimized();
            else if (action == "ticks") {
                tables.tableList->item(1)->setCheckState(Qt::Unchecked);
                tables.tableList->item(2)->setCheckState(Qt::Checked);
            } else if (action == "refill")
                while (tables.tableList->count() > 1)
                    delete tables.tableList->takeItem(tables.tableList->count() - 1);
            else if (action == "back")
                tables.backClicked();
        };
        bool restoredBeforeDone = true;
        wizard.boxes.whileOpen = [&](const MsgBox::Record& box) {
            if (box.text == "Done.")
                restoredBeforeDone = !(tables.windowState() & Qt::WindowMinimized);
        };
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        QVERIFY(restoredBeforeDone);
        QVERIFY(wizard.desktop.waitForOpenCalls(1));
        QTest::qWait(200);
        QCOMPARE(wizard.desktop.openCalls().size(), 1);
        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        QVERIFY2(book.error.isEmpty(), qPrintable(book.error));
        // A list emptied under the export loses no ticked table: B is still copied.
        if (action == "ticks")
            QCOMPARE(book.names(), QStringList({"C", "A"}));
        else
            QCOMPARE(book.names(), QStringList({"B", "A"}));
        if (action == "back") {
            QVERIFY(!tables.isVisible());
            QVERIFY(wizard.connectionWindow()->isVisible());
        }
    }

    void closingDuringTheExportEndsItAndLeavesNothing()
    {
        Wizard wizard;
        TableWindow& tables = openTables(wizard, wizard.standardDatabase());
        tick(tables, {"Customers", "Orders"});
        int yields = 0;
        tables.onYield = [&] {
            if (++yields == 5)
                tables.close();
        };
        Click(tables.finishButton);
        QCOMPARE(wizard.end.count, 1);
        QCOMPARE(wizard.boxes.count(), 0); // no "Done." once the program has ended
        QCOMPARE(filesIn(wizard.runtimeFolder()), QStringList());
        QCOMPARE(filesIn(wizard.workbookFolder()), QStringList());
        QTest::qWait(100);
        QCOMPARE(wizard.desktop.openCalls().size(), 0);
    }

    void failuresAreReportedOnceAndTheExportEnds_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("line");
        QTest::newRow("table gone") << "table" << 144;
        QTest::newRow("connection") << "connection" << 118;
        QTest::newRow("workbook cannot be made") << "disk" << 122;
        QTest::newRow("value cannot be read") << "value" << 202;
    }

    void failuresAreReportedOnceAndTheExportEnds()
    {
        QFETCH(QString, failure);
        QFETCH(int, line);
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("fail.sqlite",
            {"CREATE TABLE Gone (X integer)", "CREATE TABLE Kept (X integer)", "INSERT INTO Kept VALUES (7)"});
        TableWindow& tables = openTables(wizard, db);
        tick(tables, {"Gone", "Kept"});
        if (failure == "table") {
            odbc::Connection connection;
            connection.open(TestOdbc::sqliteConnectionString(db));
            connection.execute("DROP TABLE Gone");
        } else if (failure == "connection") {
            wizard.connectionWindow()->databaseEdit->setText(wizard.odbc.folder() + "/missing/fail.sqlite");
        } else if (failure == "value") { // the second value of the second row is hex the driver cannot decode
            odbc::Connection connection;
            connection.open(TestOdbc::sqliteConnectionString(db));
            connection.execute("ALTER TABLE Gone ADD COLUMN B varbinary(4)");
            connection.execute("INSERT INTO Gone VALUES (1, X'41'), (2, 'X''zz''')");
        } else {
            // The workbook folder's place is taken by a file: no workbook can be made there.
            QDir(wizard.workbookFolder()).removeRecursively();
            QFile blocker(wizard.workbookFolder());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.count(), 2);
        QVERIFY2(wizard.boxes.boxes[0].text.contains(
                     QStringLiteral("in Velmora2021/08/31.Form2.PushButton5_Click at line %1\r\r").arg(line)),
            qPrintable(wizard.boxes.boxes[0].text));
        QVERIFY(!wizard.boxes.boxes[0].text.startsWith("\r\n")); // the driver's or system's own words
        QCOMPARE(wizard.boxes.boxes[1].text, QStringLiteral("Done."));
        QCOMPARE(tables.pointer.mousePointer(), 0);
        QCOMPARE(tables.progressBar->text(), QStringLiteral("Progress Bar"));
        QVERIFY(!tables.busy());
        if (failure == "table") {
            const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
            QCOMPARE(book.names(), QStringList({"Kept"}));
        } else if (failure == "value") { // nothing of that row, in the sheet or the count
            QVERIFY(wizard.boxes.boxes[0].text.contains("Table Gone: 1 of 2 rows copied; reading it failed: "));
            const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
            QCOMPARE(book.sheet("Gone")->cells.keys(), QStringList({"A1", "A2", "B1", "B2"}));
        } else {
            QVERIFY(tables.lastWorkbookPath().isEmpty());
            QTest::qWait(200);
            QCOMPARE(wizard.desktop.openCalls().size(), 0);
        }
    }

    void tablesAreNamedExactly()
    {
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("names.sqlite",
            {"CREATE TABLE \"a[b\" (X integer)", "INSERT INTO \"a[b\" VALUES (1)",
                "CREATE TABLE [Order Details] (X integer)", "INSERT INTO [Order Details] VALUES (2)",
                "CREATE TABLE [Sheet1] (X integer)", "CREATE TABLE [Orders] (X integer)",
                "CREATE TABLE [orders:2024/Q1*] (X integer)"});
        TableWindow& tables = openTables(wizard, db);
        QTest::mouseClick(tables.selectAllButton, Qt::LeftButton);
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        QVERIFY2(book.error.isEmpty(), qPrintable(book.error));
        QCOMPARE(book.names(), QStringList({"orders_2024_Q1_", "Orders", "Sheet11", "Order Details", "ab"}));
        QCOMPARE(book.sheet("ab")->cells.value("A2").number, 1.0);
        QCOMPARE(book.sheet("Order Details")->cells.value("A2").number, 2.0);
    }

    void tableQueriesQuoteNamesAsTheServerDoes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("schema");
        QTest::addColumn<QString>("query");
        QTest::newRow("plain") << "Orders"
                               << ""
                               << "SELECT * FROM [Orders]";
        QTest::newRow("schema") << "Orders"
                                << "sales"
                                << "SELECT * FROM [sales].[Orders]";
        QTest::newRow("closing bracket doubled") << "a]b"
                                                 << "x]y"
                                                 << "SELECT * FROM [x]]y].[a]]b]";
        QTest::newRow("opening bracket kept") << "a[b"
                                              << ""
                                              << "SELECT * FROM [a[b]";
        QTest::newRow("blank") << "Order Details"
                               << ""
                               << "SELECT * FROM [Order Details]";
    }

    void tableQueriesQuoteNamesAsTheServerDoes()
    {
        QFETCH(QString, name);
        QFETCH(QString, schema);
        QFETCH(QString, query);
        QCOMPARE(TableSource::Query(name, schema), query);
    }

    void overlongValuesAreCutAndToldInANotice()
    {
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("long.sqlite",
            {"CREATE TABLE Notes (Body text)", "INSERT INTO Notes VALUES (printf('%.*c', 40000, 'x'))",
                "INSERT INTO Notes VALUES (printf('%.*c', 32767, 'y'))",
                "INSERT INTO Notes VALUES (printf('%.*c', 50000, 'z'))"});
        TableWindow& tables = openTables(wizard, db);
        tick(tables, {"Notes"});
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.count(), 2);
        // A notice, not a failure: the program's title, a warning icon, no place in the code.
        const MsgBox::Record& notice = wizard.boxes.boxes[0];
        QVERIFY2(notice.text.startsWith("Table Notes: 2 value(s) were longer") && !notice.text.contains("Velmora"),
            qPrintable(notice.text));
        QCOMPARE(notice.caption, QString("Quorvane"));
        QCOMPARE(notice.style, int(MsgBox::Exclamation));
        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        QCOMPARE(book.sheets[0].cells.value("A2").text, QString(32767, 'x'));
        QCOMPARE(book.sheets[0].cells.value("A3").text, QString(32767, 'y'));
        QCOMPARE(book.sheets[0].cells.value("A4").text, QString(32767, 'z'));
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
