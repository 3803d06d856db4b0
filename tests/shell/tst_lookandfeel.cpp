#include "Wizard.h"

#include "shell/LookAndFeel.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

namespace {
void moveOver(QWidget* widget)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)), Qt::NoButton, Qt::NoButton,
        Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}
} // namespace

class TestLookAndFeel : public QObject {
    Q_OBJECT

private slots:
    void withoutSkinFileTheConnectionWindowIsWhite()
    {
        Wizard wizard;
        ConnectionWindow& form = wizard.start();
        for (QWidget* w : std::initializer_list<QWidget*>{&form, form.loginBox, form.userLabel, form.serverLabel,
                 form.databaseLabel, form.passwordLabel, form.portLabel, form.localConnectionBox})
            QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::white));
        QVERIFY(form.SkinFramework1.calls().isEmpty());
        QVERIFY(form.styleSheet().isEmpty());
    }

    void withSkinFileTheConnectionWindowTakesTheButtonFace()
    {
        Wizard wizard;
        wizard.appFolder.addAsset("x/o.cjs");
        ConnectionWindow& form = wizard.start();
        const QColor face = LookAndFeel::ButtonFace();
        QVERIFY(face != QColor(Qt::white));
        for (QWidget* w : std::initializer_list<QWidget*>{&form, form.loginBox, form.userLabel, form.serverLabel,
                 form.databaseLabel, form.passwordLabel, form.portLabel, form.localConnectionBox})
            QCOMPARE(w->palette().color(QPalette::Window), face);
        for (QPushButton* b : {form.testConnectionButton, form.nextButton, form.helpButton})
            QCOMPARE(b->palette().color(QPalette::Button), QColor(Qt::white));
        QCOMPARE(form.serverEdit->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Base));
        const QStringList calls = form.SkinFramework1.calls();
        QCOMPARE(calls.size(), 6);
        QVERIFY(calls[0].startsWith("LoadSkin(") && calls[0].endsWith("/x/o.cjs,)"));
        QCOMPARE(calls.mid(1),
            QStringList({"Options", "SetOptions(1)", "SetApplyColors(1)", "SetApplyMetrics(1)", "ApplyWindow(Form1)"}));
        QVERIFY(!form.styleSheet().isEmpty());
    }

    void tableWindowIsButtonFaceEither_data()
    {
        QTest::addColumn<bool>("skin");
        QTest::newRow("no skin") << false;
        QTest::newRow("skin") << true;
    }

    void tableWindowIsButtonFaceEither()
    {
        QFETCH(bool, skin);
        Wizard wizard;
        if (skin)
            wizard.appFolder.addAsset("x/o.cjs");
        wizard.storeConnectingSettings(wizard.standardDatabase());
        wizard.start();
        QVERIFY(wizard.tableWindow());
        QCOMPARE(wizard.tableWindow()->palette().color(QPalette::Window), LookAndFeel::ButtonFace());
    }

    void handCursor()
    {
        {
            Wizard wizard;
            ConnectionWindow& form = wizard.start();
            QVERIFY(!form.pointer.hasMouseIcon());
            QCOMPARE(wizard.boxes.count(), 0);
        }
        {
            Wizard wizard;
            wizard.appFolder.addAsset("HAND-M.CUR");
            ConnectionWindow& form = wizard.start();
            QVERIFY(form.pointer.hasMouseIcon());
            QVERIFY(!form.pointer.mouseIcon()->pixmap().isNull());
            QCOMPARE(wizard.boxes.count(), 0);
        }
        {
            Wizard wizard;
            wizard.appFolder.writeFile("HAND-M.CUR", "not a cursor at all, just text");
            ConnectionWindow& form = wizard.start();
            QVERIFY(!form.pointer.hasMouseIcon());
            QCOMPARE(wizard.boxes.count(), 1);
            QVERIFY(wizard.boxes.boxes[0].text.contains("in Velmora2021/08/31.Form1.Form_Load at line 124\r\r"));
        }
    }

    void hoverRules()
    {
        Wizard wizard;
        wizard.appFolder.addAsset("HAND-M.CUR");
        wizard.storeConnectingSettings(wizard.standardDatabase());
        ConnectionWindow& form = wizard.start();
        TableWindow& tables = *wizard.tableWindow();
        struct Case {
            WindowPointer* pointer;
            QWidget* widget;
            int expected; // -1: unchanged
        };
        const QList<Case> cases = {
            {&form.pointer, form.testConnectionButton, 99},
            {&form.pointer, form.nextButton, 99},
            {&form.pointer, form.helpButton, 99},
            {&form.pointer, &form, 0},
            {&form.pointer, form.loginBox, 0},
            {&form.pointer, form.localConnectionBox, 0},
            {&form.pointer, form.serverEdit, 0},
            {&form.pointer, form.userEdit, 0},
            {&form.pointer, form.passwordEdit, 0},
            {&form.pointer, form.databaseEdit, 0},
            {&form.pointer, form.portEdit, 0},
            {&form.pointer, form.serverLabel, -1},
            {&form.pointer, form.portLabel, -1},
            {&tables.pointer, tables.backButton, 99},
            {&tables.pointer, tables.finishButton, 99},
            {&tables.pointer, tables.selectAllButton, 99},
            {&tables.pointer, tables.deselectAllButton, 99},
            {&tables.pointer, &tables, 0},
            {&tables.pointer, tables.tableList->viewport(), 0},
            {&tables.pointer, tables.progressBar, -1},
        };
        for (int start : {0, 99, 11}) {
            for (const Case& c : cases) {
                c.pointer->setMousePointer(start);
                moveOver(c.widget);
                const int expected = start == 11 || c.expected < 0 ? start : c.expected;
                QVERIFY2(c.pointer->mousePointer() == expected,
                    qPrintable(QStringLiteral("%1 from %2").arg(c.widget->objectName()).arg(start)));
            }
        }
        form.pointer.setMousePointer(99);
        QCOMPARE(form.testConnectionButton->cursor().pixmap().isNull(), false);
        form.pointer.setMousePointer(0);
    }

    void selectAllOnFocus()
    {
        Wizard wizard;
        ConnectionWindow& form = wizard.start();
        QApplication::setActiveWindow(&form);
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.serverEdit->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(form.serverEdit, Qt::Key_Tab); // into the port field, holding "1433"
        QCOMPARE(QApplication::focusWidget(), form.portEdit);
        QCOMPARE(form.portEdit->selectionStart(), 0);
        QCOMPARE(form.portEdit->selectedText(), QStringLiteral("1433"));
        QTest::keyClicks(form.portEdit, "5000");
        QCOMPARE(form.portEdit->text(), QStringLiteral("5000"));

        // By mouse as well; an empty field gets an empty selection at 0.
        form.userEdit->setText("sa");
        QTest::mouseClick(form.userEdit, Qt::LeftButton, Qt::NoModifier, QPoint(3, 5));
        QCOMPARE(form.userEdit->selectedText(), QStringLiteral("sa"));
        QTest::mouseClick(form.databaseEdit, Qt::LeftButton);
        QCOMPARE(form.databaseEdit->selectedText(), QString());
        QCOMPARE(form.databaseEdit->cursorPosition(), 0);
    }
};

QTEST_MAIN(TestLookAndFeel)
#include "tst_lookandfeel.moc"
