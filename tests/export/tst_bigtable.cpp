#include "Wizard.h"
#include "XlsxReader.h"

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
        TableWindow::setYieldInterval(8);
        const QString db = wizard.odbc.createDatabase("big.sqlite",
            {"CREATE TABLE Big (N integer)",
                "INSERT INTO Big WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1048580) "
                "SELECT i FROM n"});
        wizard.storeConnectingSettings(db);
        wizard.start();
        TableWindow& tables = *wizard.tableWindow();
        QTest::mouseClick(tables.selectAllButton, Qt::LeftButton);
        Click(tables.finishButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Done."}));

        // Each sheet: its name, its row count, and whether its values run on without a gap.
        QCOMPARE(CountingSheets(tables.lastWorkbookPath(), "N"),
            QStringList({"Big1 6 1048576 1048580 True", "Big 1048576 1 1048575 True"}));
    }
};

QTEST_MAIN(TestBigTable)
#include "tst_bigtable.moc"
