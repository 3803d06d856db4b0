#include "TdsServer.h"
#include "Wizard.h"
#include "XlsxReader.h"

#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTest>

// Faults a desktop meets during an export, injected for real: odd values, a
// busy user, a full disk (the server going away is tested with the SQL Server
// stand-in, in tst_sqlserver). The user learns, once per table, what of it
// was lost; nothing hangs.

namespace {

TableWindow& openTables(Wizard& wizard)
{
    wizard.start();
    TableWindow::setYieldInterval(8);
    TableWindow* tables = wizard.tableWindow();
    if (!tables)
        qFatal("the table window did not open: %s", qPrintable(wizard.boxes.texts().join('|')));
    return *tables;
}

TableWindow& openSqlite(Wizard& wizard, const QString& name, const QStringList& statements)
{
    wizard.storeConnectingSettings(wizard.odbc.createDatabase(name, statements));
    return openTables(wizard);
}

void finish(TableWindow& tables)
{
    QTest::mouseClick(tables.selectAllButton, Qt::LeftButton); // "Select All"
    Click(tables.finishButton); // "Finish"
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    /**
     * Values a cell will not take as they come: bytes that are not UTF-8 in an
     * integer column, 40,000 characters in an integer and a date column, 100 MB
     * of text. Every row arrives; the export's one notice counts them.
     */
    void oddValuesNeverEndATable()
    {
        Wizard wizard;
        TableWindow& tables = openSqlite(wizard, "odd.sqlite",
            {"CREATE TABLE Odd (Id integer, N integer, D date, T text)",
                "INSERT INTO Odd VALUES (1, CAST(X'41FF42' AS TEXT), '2024-01-01', 'a')",
                "INSERT INTO Odd VALUES (2, printf('%.*c', 40000, 'x'), printf('%.*c', 40000, 'y'), 'b')",
                "INSERT INTO Odd VALUES (3, 5, '2024-01-03', printf('%.*c', 100000000, 'z'))",
                "INSERT INTO Odd VALUES (4, 6, '2024-01-04', 'd')"});
        finish(tables);
        const QStringList boxes = wizard.boxes.texts();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0],
            QString("Table Odd: 3 value(s) were longer than the 32,767 characters a cell holds and were cut to their "
                    "first 32,767 characters; 1 value(s) could not be written as their type and went in as text."));
        QCOMPARE(boxes[1], QString("Done."));
        const XlsxBook book = ReadXlsx(tables.lastWorkbookPath());
        const XlsxSheet& sheet = book.sheets.value(0);
        QCOMPARE(sheet.cells.value("B2").text,
            QString::fromUtf8("A\xEF\xBF\xBD"
                              "B"));
        QCOMPARE(sheet.cells.value("B3").text, QString(32767, 'x'));
        QCOMPARE(sheet.cells.value("C3").text, QString(32767, 'y'));
        QCOMPARE(sheet.cells.value("D4").text, QString(32767, 'z'));
        QCOMPARE(sheet.cells.value("A5").number, 4.0);
    }

    /**
     * "< Back" and "Next >" refill the list, unticked, in the middle of an
     * export: the export goes on with the tables that were ticked.
     */
    void listRefilledDuringAnExport()
    {
        Wizard wizard;
        QStringList statements;
        for (int t = 1; t <= 6; ++t)
            statements << QStringLiteral("CREATE TABLE T%1 (N integer)").arg(t)
                       << QStringLiteral("INSERT INTO T%1 WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                         "FROM n WHERE i < 50) SELECT i FROM n")
                              .arg(t);
        TableWindow& tables = openSqlite(wizard, "six.sqlite", statements);
        int yields = 0;
        tables.onYield = [&] {
            if (++yields == 20) {
                QTest::mouseClick(tables.backButton, Qt::LeftButton); // "< Back"
                QTest::mouseClick(wizard.connectionWindow()->nextButton, Qt::LeftButton); // "Next >"
            }
        };
        finish(tables);
        QVERIFY(yields > 20);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        QStringList sheets;
        for (int t = 6; t >= 1; --t)
            sheets << QStringLiteral("T%1 51 1 50 True").arg(t);
        QCOMPARE(CountingSheets(tables.lastWorkbookPath(), "N"), sheets);
        for (int i = 0; i < tables.tableList->count(); ++i) // the refilled list stays as "Next >" made it
            QCOMPARE(tables.tableList->item(i)->checkState(), Qt::Unchecked);
    }

    /** The disk fills up while cells wait for the file: one report, the export ends, nothing is opened. */
    void diskFullEndsTheExportOnce()
    {
        Wizard wizard;
        TableWindow& tables = openSqlite(wizard, "many.sqlite",
            {"CREATE TABLE A (N integer, Label text)", "CREATE TABLE B (N integer, Label text)",
                "INSERT INTO A WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
                "SELECT i, printf('%.*c', 200, 'x') FROM n",
                "INSERT INTO B SELECT * FROM A"});
        {
            FileSizeLimit full(256 * 1024);
            finish(tables);
        }
        const QStringList boxes = wizard.boxes.texts();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(
            boxes[0].contains("File too large") && boxes[0].contains("no workbook was opened"), qPrintable(boxes[0]));
        QCOMPARE(boxes[1], QString("Done."));
        QVERIFY(tables.lastWorkbookPath().isEmpty());
        QTest::qWait(200);
        QCOMPARE(wizard.desktop.openCalls(), QStringList());
    }

    /** The spreadsheet application fails to open the workbook: the user is told where the file is. */
    void failedOpenerNamesTheWorkbook()
    {
        Wizard wizard;
        TableWindow& tables
            = openSqlite(wizard, "one.sqlite", {"CREATE TABLE A (N integer)", "INSERT INTO A VALUES (1)"});
        wizard.desktop.setOpenerExitStatus(4);
        finish(tables);
        QTRY_COMPARE(wizard.boxes.count(), 2);
        QCOMPARE(wizard.boxes.texts(),
            QStringList({"Done.",
                "The workbook was written to " + tables.lastWorkbookPath()
                    + ", but the spreadsheet application could not open it: xdg-open ended with status 4 (the "
                      "action failed)."}));
        QCOMPARE(wizard.boxes.boxes[1].style, int(MsgBox::Exclamation));
        QVERIFY(QFile::exists(tables.lastWorkbookPath()));
    }

    /** 5,000 tables, each on a sheet of its own, under the usual limit of 1,024 open files. */
    void fiveThousandTablesUnderASmallFileLimit()
    {
        Wizard wizard;
        QStringList statements;
        for (int t = 1; t <= 5000; ++t)
            statements << QStringLiteral("CREATE TABLE T%1 (N integer)").arg(t)
                       << QStringLiteral("INSERT INTO T%1 VALUES (%1)").arg(t);
        TableWindow& tables = openSqlite(wizard, "crowded.sqlite", statements);
        QCOMPARE(tables.tableList->count(), 5000);
        const int before = OpenDescriptors();
        {
            OpenFileLimit usual(1024);
            finish(tables);
        }
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));
        // The opener of the workbook may still be running meanwhile.
        // None per sheet is left (the opener of the workbook may hold two a while longer).
        QVERIFY(OpenDescriptors() <= before + 4);
        QProcess reader;
        reader.start(DebianPython(),
            {"-c",
                "import sys, openpyxl\n"
                "wb = openpyxl.load_workbook(sys.argv[1], read_only=True)\n"
                "names = wb.sheetnames\n"
                "print(len(names), names[0], names[-1], wb['T1234']['A2'].value)\n",
                tables.lastWorkbookPath()});
        QVERIFY(reader.waitForFinished(300000));
        QCOMPARE(QString::fromUtf8(reader.readAllStandardOutput()).trimmed(), QString("5000 T5000 T1 1234"));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
