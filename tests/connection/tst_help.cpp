#include "Seams.h"

#include "connection/Help.h"

#include <QTest>

class TestHelp : public QObject {
    Q_OBJECT

private slots:
    void helpTextIsExact()
    {
        const QString brk = "\r\r";
        const QString expected
            = "If you cannot establish connection to your MS SQL Server database with this program, please go to: "
            + brk + QString::fromLatin1(Help::DownloadAddress) + brk
            + "Download and install the EMS SQL Manager 2005 Lite for SQL Server. Try to connect to "
              "the same database (with the same login information you are using here). This will determine if "
              "the login you are using is correct."
            + brk + "If you are using Microsoft SQL Server Express Edition and connecting locally, you may need to use"
            + brk + "localhost\\SQLEXPRESS" + brk + "for example, for Server.";
        QCOMPARE(Help::ConnectionHelpText(), expected);
        QVERIFY(!expected.contains('\n'));
    }

    void answeringNoStartsNothing()
    {
        TempAppFolder folder;
        DesktopStandIns desktop;
        BoxRecorder boxes;
        boxes.answers = {MsgBox::Ok, MsgBox::No};
        Help::ShowConnectionHelp();
        QCOMPARE(boxes.count(), 2);
        QCOMPARE(boxes.boxes[0].text, Help::ConnectionHelpText());
        QCOMPARE(boxes.boxes[0].style, 0);
        QCOMPARE(boxes.boxes[1].text, QStringLiteral("Would you like to see an image of how I connect locally?"));
        QCOMPARE(boxes.boxes[1].style, 4);
        QTest::qWait(200);
        QCOMPARE(desktop.openCalls().size(), 0);
    }

    void answeringYesOpensThePictureByItsFullPath_data()
    {
        QTest::addColumn<QString>("folderName");
        QTest::newRow("plain folder") << "app";
        QTest::newRow("folder with spaces") << "My Programs/Quorvane 1.0";
    }

    void answeringYesOpensThePictureByItsFullPath()
    {
        QFETCH(QString, folderName);
        TempAppFolder folder(folderName);
        DesktopStandIns desktop;
        BoxRecorder boxes;
        boxes.answers = {MsgBox::Ok, MsgBox::Yes};
        Help::ShowConnectionHelp();
        QVERIFY(desktop.waitForOpenCalls(1));
        QTest::qWait(200);
        QCOMPARE(desktop.openCalls(), QStringList({folder.path() + "/local-connection-example.jpg"}));
        QCOMPARE(boxes.count(), 2);
    }
};

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
