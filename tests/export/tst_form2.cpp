#include "Wizard.h"

#include <QListWidget>
#include <QPushButton>
#include <QTest>

class TestForm2 : public QObject {
    Q_OBJECT

private slots:
    void selectAllThenDeselectAll()
    {
        Wizard wizard;
        wizard.storeConnectingSettings(wizard.standardDatabase());
        wizard.start();
        Form2& tables = *wizard.form2();
        const QStringList before = Wizard::listTexts(tables);
        QTest::mouseClick(tables.PushButton8, Qt::LeftButton);
        for (int i = 0; i < tables.ListView1->count(); ++i)
            QCOMPARE(tables.ListView1->item(i)->checkState(), Qt::Checked);
        QTest::mouseClick(tables.PushButton9, Qt::LeftButton);
        for (int i = 0; i < tables.ListView1->count(); ++i)
            QCOMPARE(tables.ListView1->item(i)->checkState(), Qt::Unchecked);
        QCOMPARE(Wizard::listTexts(tables), before);
        QCOMPARE(tables.ProgressBar1->value(), 0);
        QCOMPARE(tables.ProgressBar1->text(), QStringLiteral("Progress Bar"));
        QCOMPARE(wizard.boxes.count(), 0);
    }

    void selectionHandlesListsBeyondSixteenBits()
    {
        Wizard wizard;
        wizard.storeConnectingSettings(wizard.standardDatabase());
        wizard.start();
        Form2& tables = *wizard.form2();
        tables.ListView1->clear();
        for (int i = 0; i < 40000; ++i) {
            auto* item = new QListWidgetItem(QStringLiteral("T%1").arg(i), tables.ListView1);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Unchecked);
        }
        tables.PushButton8_Click();
        QCOMPARE(tables.ListView1->item(39999)->checkState(), Qt::Checked);
        QCOMPARE(tables.ListView1->item(32767)->checkState(), Qt::Checked);
        tables.PushButton9_Click();
        QCOMPARE(tables.ListView1->item(39999)->checkState(), Qt::Unchecked);
        QCOMPARE(wizard.boxes.count(), 0);
    }

    void emptyDatabaseGivesAnEmptyListAndButtonsDoNothing()
    {
        Wizard wizard;
        const QString empty = wizard.odbc.createDatabase("empty.sqlite", {"CREATE VIEW V AS SELECT 1 AS One"});
        wizard.storeConnectingSettings(empty);
        wizard.start();
        Form2& tables = *wizard.form2();
        QVERIFY(tables.isVisible());
        QCOMPARE(tables.ListView1->count(), 0);
        tables.PushButton8_Click();
        tables.PushButton9_Click();
        QCOMPARE(tables.ListView1->count(), 0);
        QCOMPARE(wizard.boxes.count(), 0);
    }
};

QTEST_MAIN(TestForm2)
#include "tst_form2.moc"
