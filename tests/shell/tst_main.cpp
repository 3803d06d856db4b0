#include "shell/Main.h"
#include "support/Seams.h"

#include <QtTest>

class TestMain : public QObject {
    Q_OBJECT

private slots:
    void startUpRaisesTheOpenFileLimitToTheHardLimit_data()
    {
        rlimit limit;
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        QTest::addColumn<rlim_t>("soft");
        QTest::newRow("the usual 1024") << std::min<rlim_t>(1024, limit.rlim_max);
        QTest::newRow("already at the hard limit") << limit.rlim_max;
    }

    void startUpRaisesTheOpenFileLimitToTheHardLimit()
    {
        QFETCH(rlim_t, soft);
        rlimit before;
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &before), 0);
        OpenFileLimit lowered(soft);
        Main::RaiseOpenFileLimit();
        rlimit after;
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &after), 0);
        QCOMPARE(after.rlim_cur, before.rlim_max);
        QCOMPARE(after.rlim_max, before.rlim_max);
    }
};

QTEST_GUILESS_MAIN(TestMain)
#include "tst_main.moc"
