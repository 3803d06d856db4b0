#include "XlsxReader.h" // DebianPython()
#include "platform/ui/MsgBox.h"
#include "windows/ConnectionWindowLayout.h"
#include "windows/TableWindowLayout.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {
QRect twips(int l, int t, int w, int h)
{
    return QRect(l / 15, t / 15, w / 15, h / 15);
}

// From where the window puts the keyboard when it opens.
QStringList tabWalk(QWidget& window, int steps)
{
    window.show();
    QApplication::setActiveWindow(&window);
    if (!QTest::qWaitForWindowActive(&window))
        return {"window not active"};
    QStringList visited{QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString()};
    for (int i = 0; i < steps; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
    }
    return visited;
}
} // namespace

class TestLayout : public QObject {
    Q_OBJECT

private slots:
    void connectionWindowGeometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<QString>("caption");
        QTest::newRow("Frame2") << "Frame2" << twips(120, 120, 7800, 3210) << "MS SQL Server Login";
        QTest::newRow("Label7") << "Label7" << twips(240, 405, 1095, 255) << "Server:";
        QTest::newRow("Text6") << "Text6" << twips(1320, 360, 4575, 345) << "";
        QTest::newRow("Label10") << "Label10" << twips(6120, 405, 495, 255) << "Port:";
        QTest::newRow("Text10") << "Text10" << twips(6600, 360, 975, 345) << "";
        QTest::newRow("Label5") << "Label5" << twips(240, 885, 1095, 255) << "Username:";
        QTest::newRow("Text7") << "Text7" << twips(1320, 840, 6255, 345) << "";
        QTest::newRow("Label9") << "Label9" << twips(240, 1365, 1095, 255) << "Password:";
        QTest::newRow("Text8") << "Text8" << twips(1320, 1320, 6255, 345) << "";
        QTest::newRow("Label8") << "Label8" << twips(240, 1845, 975, 255) << "Database:";
        QTest::newRow("Text9") << "Text9" << twips(1320, 1800, 6255, 345) << "";
        QTest::newRow("Check6") << "Check6" << twips(1305, 2250, 1950, 255) << "Local Connection";
        QTest::newRow("PushButton1") << "PushButton1" << twips(240, 2640, 3600, 405) << "Test Connection";
        QTest::newRow("PushButton4") << "PushButton4" << twips(3960, 2640, 3600, 405) << "Help";
        QTest::newRow("PushButton2") << "PushButton2" << twips(120, 3460, 7800, 405) << "Next >";
    }

    void connectionWindowGeometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, rect);
        QFETCH(QString, caption);
        ConnectionWindowLayout window;
        QCOMPARE(window.size(), QSize(536, 265));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(window.windowTitle(), QStringLiteral("Setup Connections"));
        auto* widget = window.findChild<QWidget*>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), rect);
        const bool inFrame = name != "Frame2" && name != "PushButton2";
        QCOMPARE(
            widget->parentWidget(), inFrame ? static_cast<QWidget*>(window.loginBox) : static_cast<QWidget*>(&window));
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            QCOMPARE(label->text(), caption);
            QCOMPARE(label->buddy()->accessibleName() + ':', caption);
        }
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            QCOMPARE(button->text(), caption);
        if (auto* frame = qobject_cast<QGroupBox*>(widget))
            QCOMPARE(frame->title(), caption);
        if (auto* box = qobject_cast<QLineEdit*>(widget))
            QVERIFY(box->text().isEmpty());
    }

    void connectionWindowFontsAndColours()
    {
        ConnectionWindowLayout window;
        QCOMPARE(window.font().family(), QStringLiteral("Arial"));
        QCOMPARE(window.font().pointSizeF(), 9.0);
        QCOMPARE(window.font().weight(), QFont::Normal);
        for (QWidget* w : std::initializer_list<QWidget*>{window.loginBox, window.serverLabel, window.serverEdit,
                 window.localConnectionBox, window.passwordEdit}) {
            QCOMPARE(w->font().pointSizeF(), 9.0);
            QCOMPARE(w->font().weight(), QFont::Bold);
        }
        for (QPushButton* b : {window.testConnectionButton, window.nextButton, window.helpButton}) {
            QCOMPARE(b->font().pointSizeF(), 11.25);
            QCOMPARE(b->font().weight(), QFont::Bold);
            QVERIFY(!b->isDefault() && !b->autoDefault());
        }
        for (QWidget* w :
            std::initializer_list<QWidget*>{&window, window.loginBox, window.userLabel, window.localConnectionBox})
            QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::white));
        QCOMPARE(window.passwordEdit->echoMode(), QLineEdit::Password);
        QVERIFY(!window.localConnectionBox->isChecked());
        QTest::keyClicks(window.passwordEdit, "abc");
        QCOMPARE(window.passwordEdit->text(), QStringLiteral("abc"));
        QCOMPARE(window.passwordEdit->displayText(), QStringLiteral("***"));
    }

    void connectionWindowTabOrder()
    {
        ConnectionWindowLayout window;
        const QStringList visited = tabWalk(window, 9);
        QCOMPARE(visited,
            QStringList({"Text6", "Text10", "Text7", "Text8", "Text9", "Check6", "PushButton1", "PushButton4",
                "PushButton2", "Text6"}));
    }

    void tableWindowGeometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<QString>("caption");
        QTest::newRow("PushButton8") << "PushButton8" << twips(120, 120, 3840, 405) << "Select All";
        QTest::newRow("PushButton9") << "PushButton9" << twips(4080, 120, 3840, 405) << "Deselect All";
        QTest::newRow("ListView1") << "ListView1" << twips(120, 630, 7800, 2955) << "";
        QTest::newRow("PushButton2") << "PushButton2" << twips(120, 3680, 3840, 405) << "< Back";
        QTest::newRow("PushButton5") << "PushButton5" << twips(4080, 3680, 3840, 405) << "Finish";
        QTest::newRow("ProgressBar1") << "ProgressBar1" << twips(120, 4170, 7785, 405) << "Progress Bar";
    }

    void tableWindowGeometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, rect);
        QFETCH(QString, caption);
        TableWindowLayout window;
        QCOMPARE(window.size(), QSize(536, 313));
        QCOMPARE(window.windowTitle(), QStringLiteral("Form2"));
        QCOMPARE(window.font().weight(), QFont::Bold);
        auto* widget = window.findChild<QWidget*>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), rect);
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            QCOMPARE(button->text(), caption);
            QCOMPARE(button->font().pointSizeF(), 11.25);
        }
        if (name == "ProgressBar1") {
            QCOMPARE(window.progressBar->text(), caption);
            QCOMPARE(window.progressBar->minimum(), 0);
            QCOMPARE(window.progressBar->maximum(), 100);
        }
    }

    void tableWindowTabOrder()
    {
        TableWindowLayout window;
        const QStringList visited = tabWalk(window, 6);
        QCOMPARE(visited,
            QStringList({"ListView1", "ProgressBar1", "PushButton2", "PushButton5", "PushButton8", "PushButton9",
                "ListView1"}));
    }

    void enterPressesTheFocusedButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    }

    void enterPressesTheFocusedButton()
    {
        QFETCH(int, key);
        ConnectionWindowLayout connection;
        TableWindowLayout tables;
        for (QPushButton* button : {connection.nextButton, tables.finishButton}) {
            QSignalSpy clicks(button, &QPushButton::clicked);
            QTest::keyClick(button, Qt::Key(key));
            QCOMPARE(clicks.count(), 1);
        }
        // A message box's No, though Yes is its default; a box Enter left open answers Yes.
        QTimer::singleShot(0, [key] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QTest::keyClick(box->button(QMessageBox::No), Qt::Key(key));
            if (box->isVisible())
                box->button(QMessageBox::Yes)->click();
        });
        QCOMPARE(MsgBox::show(QStringLiteral("Go on?"), MsgBox::YesNo), int(MsgBox::No));
    }

    // Run by windows/layout_atspi, on an X display and with an accessibility bus of its own.
    void accessibleNamesOverAtSpi()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X display and an accessibility bus");
        ConnectionWindowLayout connection;
        TableWindowLayout tables;
        connection.show();
        tables.show();
        QProcess reader;
        reader.start(DebianPython(),
            {QUORVANE_SOURCE_DIR "/tests/support/atspi_names.py", QString::number(QCoreApplication::applicationPid())});
        QVERIFY(QTest::qWaitFor([&] { return reader.state() == QProcess::NotRunning; }, 30000));
        QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
        const QStringList controls
            = QString::fromUtf8(reader.readAllStandardOutput())
                  .split('\n')
                  .filter(QRegularExpression("^(text|check box|push button|list|progress bar)\t"));
        QCOMPARE(controls,
            QStringList({"text\tServer", "text\tPort", "text\tUsername", "text\tPassword", "text\tDatabase",
                "check box\tLocal Connection", "push button\tTest Connection", "push button\tHelp",
                "push button\tNext >", "push button\tSelect All", "push button\tDeselect All", "list\tTables",
                "push button\t< Back", "push button\tFinish", "progress bar\tProgress"}));
    }

    void longListScrollsAndEveryNameStaysReachable()
    {
        TableWindowLayout window;
        for (int i = 0; i < 200; ++i) {
            auto* item = new QListWidgetItem(QStringLiteral("Table%1").arg(i), window.tableList);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Unchecked);
        }
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.tableList->verticalScrollBar()->maximum() > 0);
        QListWidgetItem* last = window.tableList->item(199);
        window.tableList->scrollToItem(last);
        QVERIFY(window.tableList->viewport()->rect().intersects(window.tableList->visualItemRect(last)));
    }

    void progressTextsAreShownAsGiven()
    {
        TableWindowLayout window;
        window.progressBar->setText("Processing: 100% [a]");
        QCOMPARE(window.progressBar->text(), QStringLiteral("Processing: 100% [a]"));
        window.progressBar->setRowText("Orders", 3, 120);
        QCOMPARE(window.progressBar->text(), QStringLiteral("Processing: Orders, row 3 from 120..."));
        window.progressBar->setFieldText(2, 7);
        QCOMPARE(window.progressBar->text(), QStringLiteral("Processing: Orders, row 3 from 120, field 2 from 7..."));
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
