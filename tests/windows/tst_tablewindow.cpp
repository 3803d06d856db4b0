#include "Wizard.h"

#include <QListWidget>
#include <QPushButton>
#include <QTest>

class TestTableWindow : public QObject {
    Q_OBJECT

private slots:
    void selectAllThenDeselectAll()
    {
        Wizard wizard;
        wizard.storeConnectingSettings(wizard.standardDatabase());
        wizard.start();
        TableWindow& tables = *wizard.tableWindow();
        const QStringList before = Wizard::listTexts(tables);
        QTest::mouseClick(tables.selectAllButton, Qt::LeftButton);
        for (int i = 0; i < tables.tableList->count(); ++i)
            QCOMPARE(tables.tableList->item(i)->checkState(), Qt::Checked);
        QTest::mouseClick(tables.deselectAllButton, Qt::LeftButton);
        for (int i = 0; i < tables.tableList->count(); ++i)
            QCOMPARE(tables.tableList->item(i)->checkState(), Qt::Unchecked);
        QCOMPARE(Wizard::listTexts(tables), before);
        QCOMPARE(tables.progressBar->value(), 0);
        QCOMPARE(tables.progressBar->text(), QStringLiteral("Progress Bar"));
        QCOMPARE(wizard.boxes.count(), 0);
    }

    void selectionHandlesListsBeyondSixteenBits()
    {
        Wizard wizard;
        wizard.storeConnectingSettings(wizard.standardDatabase());
        wizard.start();
        TableWindow& tables = *wizard.tableWindow();
        tables.tableList->clear();
        for (int i = 0; i < 40000; ++i) {
            auto* item = new QListWidgetItem(QStringLiteral("T%1").arg(i), tables.tableList);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Unchecked);
        }
        tables.selectAllClicked();
        QCOMPARE(tables.tableList->item(39999)->checkState(), Qt::Checked);
        QCOMPARE(tables.tableList->item(32767)->checkState(), Qt::Checked);
        tables.deselectAllClicked();
        QCOMPARE(tables.tableList->item(39999)->checkState(), Qt::Unchecked);
        QCOMPARE(wizard.boxes.count(), 0);
    }

    void emptyDatabaseGivesAnEmptyListAndButtonsDoNothing()
    {
        Wizard wizard;
        const QString empty = wizard.odbc.createDatabase("empty.sqlite", {"CREATE VIEW V AS SELECT 1 AS One"});
        wizard.storeConnectingSettings(empty);
        wizard.start();
        TableWindow& tables = *wizard.tableWindow();
        QVERIFY(tables.isVisible());
        QCOMPARE(tables.tableList->count(), 0);
        tables.selectAllClicked();
        tables.deselectAllClicked();
        QCOMPARE(tables.tableList->count(), 0);
        QCOMPARE(wizard.boxes.count(), 0);
    }
};

QTEST_MAIN(TestTableWindow)
#include "tst_tablewindow.moc"
