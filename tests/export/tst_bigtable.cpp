#include "Wizard.h"

#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTest>

/** A table longer than a worksheet goes on in a further worksheet, and nothing is lost. */
class TestBigTable : public QObject {
    Q_OBJECT

private slots:
    void tableLongerThanAWorksheetIsSplit()
    {
        Wizard wizard;
        Form2::setYieldInterval(8);
        const QString db = wizard.odbc.createDatabase("big.sqlite",
            {"CREATE TABLE Big (N integer)",
                "INSERT INTO Big WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1048580) "
                "SELECT i FROM n"});
        wizard.storeConnectingSettings(db);
        wizard.start();
        Form2& tables = *wizard.form2();
        QTest::mouseClick(tables.PushButton8, Qt::LeftButton);
        QTest::mouseClick(tables.PushButton5, Qt::LeftButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));

        // Each sheet: its name, its row count, and whether its values run on without a gap.
        QProcess reader;
        reader.start("/usr/bin/python3",
            {"-c",
                "import sys, openpyxl\n"
                "wb = openpyxl.load_workbook(sys.argv[1], read_only=True)\n"
                "for ws in wb.worksheets:\n"
                "    rows = 0; first = None; last = None; ok = True\n"
                "    for r in ws.iter_rows(values_only=True):\n"
                "        rows += 1\n"
                "        if rows == 1:\n"
                "            ok = ok and r[0] == 'N'; continue\n"
                "        v = r[0]\n"
                "        if first is None: first = v\n"
                "        elif v != last + 1: ok = False\n"
                "        last = v\n"
                "    print(ws.title, rows, first, last, ok)\n",
                tables.lastWorkbookPath()});
        QVERIFY(reader.waitForFinished(600000));
        const QStringList lines = QString::fromUtf8(reader.readAllStandardOutput()).trimmed().split('\n');
        QCOMPARE(lines, QStringList({"Big1 6 1048576 1048580 True", "Big 1048576 1 1048575 True"}));
    }
};

QTEST_MAIN(TestBigTable)
#include "tst_bigtable.moc"
