#include "Wizard.h"

#include "connection/Help.h"
#include "platform/ui/ProgramEnd.h"
#include "shell/IsInstalled.h"
#include "shell/Settings.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

class TestConnectionWindow : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { Settings::setSaveObserver(nullptr); }

    void firstStartWithEmptyStore()
    {
        Wizard wizard;
        // What a run killed while it wrote a workbook left behind.
        QVERIFY(QDir().mkdir(wizard.workbookFolder()));
        QFile abandoned(wizard.workbookFolder() + "/.Sales 2024-01-01 12.00.00.xlsx.part");
        QVERIFY(abandoned.open(QIODevice::WriteOnly));
        abandoned.close();
        QStringList saved;
        Settings::setSaveObserver(
            [&](Settings::Key k, const QString& v) { saved << Settings::info(k).name + QStringLiteral("=") + v; });
        ConnectionWindow& form = wizard.start();
        for (QLineEdit* box : {form.serverEdit, form.userEdit, form.passwordEdit, form.databaseEdit})
            QVERIFY(box->text().isEmpty());
        QCOMPARE(form.portEdit->text(), QStringLiteral("1433"));
        QVERIFY(!form.localConnectionBox->isChecked());
        QVERIFY(!TableWindow::exists()); // no connection attempt, no table window
        QCOMPARE(saved, QStringList({"MSSQLPort=1433"}));
        QCOMPARE(wizard.settings.stored("MSSQLPort"), std::optional<QString>("1433"));
        QVERIFY(!wizard.settings.stored("MSSQLServer"));
        QCOMPARE(wizard.boxes.count(), 0);
        QVERIFY(form.isVisible());
        QCOMPARE(form.windowTitle(), QStringLiteral("Quorvane"));
        QVERIFY(!form.windowIcon().isNull());
        QCOMPARE(MsgBox::defaultCaption(), QStringLiteral("Quorvane"));
        // The availability check leaves no workbook behind, removes the abandoned one and opens nothing.
        QVERIFY(QDir(wizard.workbookFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QCOMPARE(wizard.desktop.openCalls().size(), 0);
    }

    void storedLocalConnectionFlag_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<QString>("afterStart");
        QTest::newRow("0") << "0" << false << "0";
        QTest::newRow("1") << "1" << true << "1";
        QTest::newRow("other text is rewritten as 1") << "yes" << true << "1";
        QTest::newRow("00 is not exactly 0") << "00" << true << "1";
    }

    void storedLocalConnectionFlag()
    {
        QFETCH(QString, stored);
        QFETCH(bool, ticked);
        QFETCH(QString, afterStart);
        Wizard wizard;
        wizard.settings.write("Local Connection", stored);
        ConnectionWindow& form = wizard.start();
        QCOMPARE(form.localConnectionBox->isChecked(), ticked);
        QCOMPARE(wizard.settings.stored("Local Connection"), std::optional<QString>(afterStart));
    }

    void storedValuesComeBackExactly()
    {
        Wizard wizard;
        wizard.settings.write("MSSQLPassword", QStringLiteral(" p;w }{ ü "));
        wizard.settings.write("MSSQLPort", QString());
        wizard.settings.write("MSSQLUser", QStringLiteral("sa"));
        ConnectionWindow& form = wizard.start();
        QCOMPARE(form.passwordEdit->text(), QStringLiteral(" p;w }{ ü "));
        QCOMPARE(form.portEdit->text(), QString()); // a cleared port stays cleared
        QCOMPARE(form.userEdit->text(), QStringLiteral("sa"));
        // Without a keyring the password stays where it was, which is nothing new to tell.
        QCOMPARE(wizard.boxes.count(), 0);
    }

    void storedSettingsThatDoNotConnect()
    {
        Wizard wizard;
        wizard.storeConnectingSettings(wizard.odbc.folder() + "/missing/none.sqlite");
        ConnectionWindow& form = wizard.start();
        QCOMPARE(wizard.boxes.count(), 0);
        QVERIFY(!form.movedOn());
        QVERIFY(form.isVisible());
        QCOMPARE(form.serverEdit->text(), QStringLiteral("localhost"));
        QVERIFY(!TableWindow::exists());
    }

    void storedSettingsThatConnectMoveStraightOn()
    {
        Wizard wizard;
        wizard.storeConnectingSettings(wizard.standardDatabase());
        ConnectionWindow& form = wizard.start();
        QCOMPARE(wizard.boxes.texts(), QStringList());
        QVERIFY(form.movedOn());
        QVERIFY(!form.isVisible());
        TableWindow* tables = wizard.tableWindow();
        QVERIFY(tables && tables->isVisible());
        // The load handler filled the list and "Next >" filled it again: each table once.
        QCOMPARE(Wizard::listTexts(*tables), QStringList({"Customers", "Orders", "Products"}));
        QTest::mouseClick(tables->backButton, Qt::LeftButton); // "< Back"
        QVERIFY(form.isVisible());
        QVERIFY(!tables->isVisible());
        QCOMPARE(form.serverEdit->text(), QStringLiteral("localhost"));
        QCOMPARE(form.databaseEdit->text(), wizard.standardDatabase());
    }

    void typingWritesThroughOncePerKeystroke()
    {
        Wizard wizard;
        ConnectionWindow& form = wizard.start();
        QStringList servers;
        Settings::setSaveObserver([&](Settings::Key k, const QString& v) {
            if (k == Settings::Key::Server)
                servers << v;
            // Written before the handler returns.
            QCOMPARE(Settings::read(k), v);
        });
        QTest::keyClicks(form.serverEdit, "srv01");
        QCOMPARE(servers, QStringList({"s", "sr", "srv", "srv0", "srv01"}));
        QTest::keyClick(form.serverEdit, Qt::Key_Backspace);
        QCOMPARE(servers.last(), QStringLiteral("srv0"));
        form.serverEdit->clear();
        QCOMPARE(wizard.settings.stored("MSSQLServer"), std::optional<QString>(QString()));
        QTest::keyClicks(form.passwordEdit, "a;b");
        QCOMPARE(wizard.settings.stored("MSSQLPassword"), std::optional<QString>("a;b"));
    }

    void localConnectionTickIsStored()
    {
        Wizard wizard;
        ConnectionWindow& form = wizard.start();
        QTest::mouseClick(form.localConnectionBox, Qt::LeftButton);
        QCOMPARE(wizard.settings.stored("Local Connection"), std::optional<QString>("1"));
        QTest::mouseClick(form.localConnectionBox, Qt::LeftButton);
        QCOMPARE(wizard.settings.stored("Local Connection"), std::optional<QString>("0"));
    }

    void testConnection_data()
    {
        QTest::addColumn<bool>("works");
        QTest::addColumn<QString>("message");
        QTest::newRow("success") << true << "Connection successful.";
        // A failure says what the driver said.
        QTest::newRow("failure") << false
                                 << "Could not connect. Please check with your administrator.\n\n"
                                    "[HY000] [SQLite]connect failed";
    }

    void testConnection()
    {
        QFETCH(bool, works);
        QFETCH(QString, message);
        Wizard wizard;
        ConnectionWindow& form = wizard.start();
        form.serverEdit->setText("localhost");
        form.databaseEdit->setText(works ? wizard.standardDatabase() : wizard.odbc.folder() + "/missing/x.sqlite");
        int pointerWhileOpen = -1;
        Qt::CursorShape shapeWhileOpen = Qt::ArrowCursor;
        wizard.boxes.whileOpen = [&](const MsgBox::Record&) {
            pointerWhileOpen = form.pointer.mousePointer();
            shapeWhileOpen = form.cursor().shape();
        };
        Click(form.testConnectionButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({message}));
        QCOMPARE(wizard.boxes.boxes[0].style, 0);
        QCOMPARE(wizard.boxes.boxes[0].caption, QStringLiteral("Quorvane"));
        if (works) {
            QCOMPARE(pointerWhileOpen, 11);
            QCOMPARE(shapeWhileOpen, Qt::WaitCursor);
        }
        QCOMPARE(form.pointer.mousePointer(), 0);
        QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
        QVERIFY(!TableWindow::exists());
    }

    void nextWithAWorkingConnection()
    {
        Wizard wizard;
        ConnectionWindow& form = wizard.start();
        form.serverEdit->setText("localhost");
        form.databaseEdit->setText(wizard.standardDatabase());
        Click(form.nextButton);
        QCOMPARE(wizard.boxes.count(), 0);
        TableWindow* tables = wizard.tableWindow();
        QVERIFY(tables && tables->isVisible());
        QVERIFY(!form.isVisible());
        QCOMPARE(Wizard::listTexts(*tables), QStringList({"Customers", "Orders", "Products"}));
        QCOMPARE(tables->windowTitle(), QStringLiteral("Quorvane"));

        // "< Back" then "Next >": filled anew, every tick gone.
        tables->tableList->item(0)->setCheckState(Qt::Checked);
        QTest::mouseClick(tables->backButton, Qt::LeftButton);
        QVERIFY(form.isVisible() && !tables->isVisible());
        QCOMPARE(tables->tableList->item(0)->checkState(), Qt::Checked); // kept while away
        Click(form.nextButton);
        QCOMPARE(Wizard::listTexts(*tables), QStringList({"Customers", "Orders", "Products"}));
        for (int i = 0; i < tables->tableList->count(); ++i)
            QCOMPARE(tables->tableList->item(i)->checkState(), Qt::Unchecked);
    }

    void nextWithAFailingConnection()
    {
        Wizard wizard;
        ConnectionWindow& form = wizard.start();
        form.serverEdit->setText("localhost");
        form.databaseEdit->setText(wizard.odbc.folder() + "/missing/x.sqlite");
        Click(form.nextButton);
        QCOMPARE(wizard.boxes.texts(), QStringList({"Could not connect.\n\n[HY000] [SQLite]connect failed"}));
        QCOMPARE(wizard.boxes.boxes[0].style, 0);
        QVERIFY(form.isVisible());
        QVERIFY(!TableWindow::exists());
    }

    void closingEitherWindowEndsTheProgram()
    {
        Wizard wizard;
        wizard.storeConnectingSettings(wizard.standardDatabase());
        ConnectionWindow& form = wizard.start();
        wizard.tableWindow()->close();
        QCOMPARE(wizard.end.count, 1);
        QVERIFY(!form.isVisible()); // the connection window does not come back
        form.close();
        QCOMPARE(wizard.end.count, 2);
    }

    void withoutAUsableWorkbookTheProgramEnds_data()
    {
        QTest::addColumn<bool>("connecting");
        QTest::addColumn<QString>("atFolder"); // what stands where the workbook folder goes; empty: nothing
        QTest::addColumn<QString>("reason"); // empty: the folder is fine, no spreadsheet application is there
        QTest::newRow("no spreadsheet application, on the connection window") << false << QString() << QString();
        QTest::newRow("no spreadsheet application, after moving on to the tables") << true << QString() << QString();
        QTest::newRow("folder of another user") << false << "foreign folder"
                                                << "it belongs to another user";
        QTest::newRow("symbolic link planted at the folder") << false << "link"
                                                             << "it is a symbolic link, not a folder";
        QTest::newRow("file at the folder, after moving on to the tables") << true << "file"
                                                                           << "it is a file, not a folder";
        QTest::newRow("disk too full for a trial workbook")
            << false << "full"
            << "a trial workbook cannot be written there (" + QString::fromLocal8Bit(strerror(EFBIG)) + ")";
        QTest::newRow("folder that cannot be written")
            << false << "read-only folder"
            << "it cannot be written to (" + QString::fromLocal8Bit(strerror(EACCES)).toLower() + ")";
    }

    void withoutAUsableWorkbookTheProgramEnds()
    {
        QFETCH(bool, connecting);
        QFETCH(QString, atFolder);
        QFETCH(QString, reason);
        Wizard wizard(/*spreadsheetApplication=*/!reason.isEmpty());
        const QString folder = wizard.workbookFolder();
        if (atFolder == "foreign folder") {
            if (::geteuid() != 0)
                QSKIP("giving a folder to another user needs root");
            QVERIFY(QDir().mkdir(folder));
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
        } else if (atFolder == "read-only folder") {
            if (::geteuid() == 0)
                QSKIP("root writes into any folder");
            QVERIFY(QDir().mkdir(folder));
            QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0500), 0);
        } else if (atFolder == "link") {
            QVERIFY(QDir().mkdir(wizard.home.path() + "/elsewhere"));
            QVERIFY(QFile::link(wizard.home.path() + "/elsewhere", folder));
        } else if (atFolder == "file") {
            QFile file(folder);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        std::optional<FileSizeLimit> full;
        if (atFolder == "full")
            full.emplace(1024);
        if (connecting)
            wizard.storeConnectingSettings(wizard.standardDatabase());
        wizard.start();
        QCOMPARE(wizard.boxes.count(), 1);
        if (reason.isEmpty()) {
            const QString crlf = "\r\n";
            QCOMPARE(wizard.boxes.boxes[0].text,
                "Error 842001. No spreadsheet application could be found to open the workbook." + crlf + crlf
                    + "1. Please make sure a spreadsheet application is installed: LibreOffice Calc, or another "
                      "application that opens .xlsx files."
                    + crlf + crlf
                    + "2. On Debian and Ubuntu, LibreOffice Calc is installed with the command: sudo apt install "
                      "libreoffice-calc"
                    + crlf + crlf
                    + "3. Please make sure it is the default application for .xlsx files, with the command: "
                      "xdg-mime default libreoffice-calc.desktop "
                      "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet (or in your file manager: "
                      "right-click an .xlsx file, \"Open With\", and choose it as the default)."
                    + crlf + crlf
                    + "4. Please make sure that when you double-click an .xlsx file, it opens in that application "
                      "without any interrupting messages.");
            QCOMPARE(wizard.boxes.boxes[0].style, 0);
            QCOMPARE(ProgramEnd::status(), ProgramEnd::Finished);
        } else {
            QCOMPARE(wizard.boxes.boxes[0].text,
                "Quorvane cannot use the folder " + folder + " for its workbooks: " + reason + ".");
            QCOMPARE(wizard.boxes.boxes[0].style, int(MsgBox::Exclamation));
            QCOMPARE(ProgramEnd::status(), ProgramEnd::CannotWork);
        }
        QCOMPARE(wizard.boxes.boxes[0].caption, QStringLiteral("Quorvane"));
        QCOMPARE(wizard.end.count, 1);
        QCOMPARE(wizard.desktop.openCalls().size(), 0);
    }
};

QTEST_MAIN(TestConnectionWindow)
#include "tst_connectionwindow.moc"
