#include "platform/ui/MsgBox.h"
#include "sqlaccess/SqlServer.h"
#include "support/Seams.h"
#include "support/TestOdbc.h"

#include <QtTest>

// The driver manager keeps its reading of odbcinst.ini for the life of the
// process, so a registry without "SQL Server" gets a test program of its own.
class TestConnectionTestUnregistered : public QObject {
    Q_OBJECT

private slots:
    void unknownDriverNameFailsSilently()
    {
        TestOdbc odbc;
        odbc.writeRegistration(QStringLiteral("[SQLite3]\nDriver = %1\n").arg(QLatin1String(TestOdbc::SqliteDriver)));
        QList<MsgBox::Record> shown;
        MsgBox::setHandler([&shown](const MsgBox::Record& r) {
            shown << r;
            return int(MsgBox::Ok);
        });
        const QString path = odbc.folder() + QStringLiteral("/x.db");
        SqlServer::SetConnectionSettingsSource([path] { return TestOdbc::settingsFor(path); });
        QVERIFY(!Wait(SqlServer::TestConnection()));
        QVERIFY(shown.isEmpty());
        QVERIFY(!QFile::exists(path));
        SqlServer::SetConnectionSettingsSource(nullptr);
        MsgBox::resetHandler();
    }
};

QTEST_MAIN(TestConnectionTestUnregistered)
#include "tst_connectiontest_unregistered.moc"
