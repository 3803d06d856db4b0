#include "Seams.h"

#include "shell/Settings.h"

#include <QFileInfo>
#include <QTest>
#include <sys/stat.h>

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void defaultsWhenAbsent()
    {
        TempSettings store;
        QCOMPARE(Settings::read(Settings::Key::Server), QString());
        QCOMPARE(Settings::read(Settings::Key::Port), QStringLiteral("1433"));
        QCOMPARE(Settings::read(Settings::Key::LocalConnection), QStringLiteral("0"));
        QVERIFY(!QFileInfo::exists(store.filePath()));
    }

    void valuesRoundTripExactly_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("spaces and punctuation") << QStringLiteral("  p@ss; w=rd,\"'{}[]%20#!  ");
        QTest::newRow("non-ASCII letters") << QStringLiteral("Ünïcødé密码пароль");
        QTest::newRow("backslash and named instance") << QStringLiteral("localhost\\SQLEXPRESS");
        QTest::newRow("empty, not the default") << QString();
    }

    void valuesRoundTripExactly()
    {
        QFETCH(QString, value);
        TempSettings store;
        Settings::save(Settings::Key::Password, value);
        QCOMPARE(Settings::read(Settings::Key::Password), value);
        Settings::save(Settings::Key::Port, value);
        QCOMPARE(Settings::read(Settings::Key::Port), value);
    }

    void fileIsPrivateToItsOwner()
    {
        TempSettings store;
        const mode_t previous = ::umask(022);
        Settings::save(Settings::Key::Password, "secret");
        Settings::save(Settings::Key::User, "sa");
        ::umask(previous);
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(store.filePath()).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 0777), 0600);
        QCOMPARE(store.stored("MSSQLPassword"), std::optional<QString>("secret"));
    }

    void unwritableStoreDoesNotStopTheProgram()
    {
        TempSettings store;
        // The settings folder's place is taken by a file: nothing can be written.
        QFile blocker(QFileInfo(store.filePath()).absolutePath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        Settings::save(Settings::Key::Server, "srv");
        QCOMPARE(Settings::read(Settings::Key::Server), QString());
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
