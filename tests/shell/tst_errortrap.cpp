#include "Seams.h"

#include "platform/Error.h"
#include "shell/ErrorReport.h"
#include "shell/ErrorTrap.h"
#include "shell/Main.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

class TestErrorTrap : public QObject {
    Q_OBJECT

private slots:
    void reportTextIsExact_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("location");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("expected");
        QTest::newRow("driver text")
            << "[08001] Unable to connect" << Locations::ConnectionWindowLoad << 144
            << "[08001] Unable to connect\r\nin Velmora2021/08/31.Form1.Form_Load at line 144\r\r"
               "Please email screenshot of this message to support@quorvane.app";
        QTest::newRow("empty description") << "" << Locations::TableListing << 110
                                           << "\r\nin Velmora2021/08/31.MSSQL.AddTablesToMSSQLListbox at line 110\r\r"
                                              "Please email screenshot of this message to support@quorvane.app";
    }

    void reportTextIsExact()
    {
        QFETCH(QString, description);
        QFETCH(QString, location);
        QFETCH(int, line);
        QFETCH(QString, expected);
        BoxRecorder boxes;
        ErrorReport::show(description, location, line);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.boxes[0].text, expected);
        QCOMPARE(boxes.boxes[0].style, 48);
        QCOMPARE(boxes.boxes[0].caption, QStringLiteral("Application Error"));
    }

    /** A report carries a server's words and table names: the box shows their characters, never markup. */
    void reportShowsServerTextAsItIs()
    {
        const QString server = QStringLiteral("Table <b>Sales</b>: <a href=\"https://example.com\">sign in again</a>");
        QString shown;
        Qt::TextFormat format = Qt::AutoText;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            shown = box->text();
            format = box->textFormat();
            box->accept();
        });
        ErrorReport::show(server, Locations::ConnectionWindowLoad, 100);
        QCOMPARE(format, Qt::PlainText);
        QVERIFY2(shown.startsWith(server + "\n"), qPrintable(shown));
    }

    void failingStepsAreReportedInOrderAndTheOthersRun()
    {
        BoxRecorder boxes;
        ErrorTrap trap(Locations::TableWindowLoad);
        QStringList ran;
        trap.step(100, [&] { ran << "100"; });
        trap.step(102, [&] { throw quorvane::Error(5, "first"); });
        trap.step(104, [&] { ran << "104"; });
        trap.step(106, [&] { throw std::runtime_error("second"); });
        trap.step(108, [&] { ran << "108"; });
        QCOMPARE(ran, QStringList({"100", "104", "108"}));
        QCOMPARE(boxes.count(), 2);
        QVERIFY(boxes.boxes[0].text.startsWith("first\r\nin Velmora2021/08/31.Form2.Form_Load at line 102\r\r"));
        QVERIFY(boxes.boxes[1].text.startsWith("second\r\nin Velmora2021/08/31.Form2.Form_Load at line 106\r\r"));
    }

    void failingBranchTestRunsTheBody()
    {
        BoxRecorder boxes;
        ErrorTrap trap(Locations::ConnectionWindowLoad);
        bool bodyRan = false;
        if (trap.test(138, []() -> bool { throw quorvane::Error(91, "Object variable not set"); }))
            bodyRan = true;
        QVERIFY(bodyRan);
        QCOMPARE(boxes.count(), 1);
        QVERIFY(boxes.boxes[0].text.contains("at line 138"));
    }

    void failingLoopTestLeavesTheLoopAfterOneReport()
    {
        BoxRecorder boxes;
        ErrorTrap trap(Locations::TableListing);
        int passes = 0;
        while (trap.loopTest(
            114, []() -> bool { throw quorvane::Error(3704, "Operation is not allowed when the object is closed."); }))
            if (++passes > 3)
                break;
        QCOMPARE(passes, 0);
        QCOMPARE(boxes.count(), 1);
    }

    void untrappedRoutineIsReportedAtTheCallersLine()
    {
        BoxRecorder boxes;
        ErrorTrap trap(Locations::ConnectionWindowLoad);
        auto untrapped = [] { throw quorvane::Error(5, "Invalid procedure call or argument"); };
        trap.step(144, [&] { untrapped(); });
        QCOMPARE(boxes.count(), 1);
        QVERIFY(boxes.boxes[0].text.contains("in Velmora2021/08/31.Form1.Form_Load at line 144"));
    }

    void applicationTitleRule_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QTest::newRow("three words") << "Alpha Beta Gamma"
                                     << "Alpha Beta";
        QTest::newRow("58 characters") << "Copy Many Database Tables Into Separate Worksheets Quickly"
                                       << "Copy Many Database Tables Into Separate";
        QTest::newRow("one word keeps its text") << "Quorvane"
                                                 << "Quorvane";
        QTest::newRow("long word after a space") << "A " + QString(50, 'x') << "A";
    }

    void applicationTitleRule()
    {
        QFETCH(QString, name);
        QFETCH(QString, title);
        QCOMPARE(Main::ApplicationTitleFor(name), title);
    }

    void fileExistsNeverFails()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("present"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(Main::FileExists(dir.filePath("present")));
        QVERIFY(Main::FileExists(dir.path()));
        QVERIFY(!Main::FileExists(dir.filePath("absent")));
        QVERIFY(!Main::FileExists(QString()));
        QVERIFY(!Main::FileExists(dir.filePath("absent/below")));
        QVERIFY(!Main::FileExists(QString::fromLatin1("bad\0path", 8)));
    }

    void nullToDefault()
    {
        QCOMPARE(Main::NullToDefault(QVariant(), QString("")).toString(), QString(""));
        QCOMPARE(Main::NullToDefault(QVariant(0), QString("")).toInt(), 0);
        QCOMPARE(Main::NullToDefault(QVariant(QString("x")), QString("")).toString(), QString("x"));
    }
};

QTEST_MAIN(TestErrorTrap)
#include "tst_errortrap.moc"
