#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "sqlaccess/MSSQL.h"
#include "support/TdsServer.h"
#include "support/TestOdbc.h"
#include "support/Wizard.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The driver manager keeps its reading of odbcinst.ini for the life of the
// process, so each registration of "SQL Server" gets a test program of its own.

namespace {

/** A local TCP port that nothing listens on (taken from the system, then let go). */
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool connectionWindowShown()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<Form1*>(window) && window->isVisible())
            return true;
    return false;
}

} // namespace

class TestConnectionTestFreeTds : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestOdbc> m_odbc;

private slots:
    void initTestCase()
    {
        if (!QFile::exists(QString::fromLatin1(TestOdbc::FreeTdsDriver)))
            QSKIP("FreeTDS (Debian package tdsodbc) is not installed");
        m_odbc = std::make_unique<TestOdbc>();
        m_odbc->registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
    }

    void serverThatDoesNotAnswerFailsSilently_data()
    {
        QTest::addColumn<bool>("local");
        QTest::newRow("port in the server field, local") << true;
        QTest::newRow("port field") << false;
    }

    void serverThatDoesNotAnswerFailsSilently()
    {
        QFETCH(bool, local);
        QList<MsgBox::Record> shown;
        MsgBox::setHandler([&shown](const MsgBox::Record& r) {
            shown << r;
            return int(MsgBox::Ok);
        });
        const QString port = QString::number(closedPort());
        ConnectionSettings s = TestOdbc::settingsFor(QStringLiteral("master"), local);
        s.server = local ? QStringLiteral("127.0.0.1,") + port : QStringLiteral("127.0.0.1");
        s.port = port;
        MSSQL::SetConnectionSettingsSource([s] { return s; });
        QVERIFY(!MSSQL::TestMSSQLConnection());
        QVERIFY(shown.isEmpty());
        // It was the driver that refused, not the driver manager failing to load it.
        try {
            odbc::Connection connection;
            connection.open(MSSQL::ConnectionString(s));
            QFAIL("a closed port accepted the connection");
        } catch (const quorvane::Error& e) {
            QVERIFY2(e.description().contains(QLatin1String("[FreeTDS]")), qPrintable(e.description()));
        }
        MSSQL::SetConnectionSettingsSource(nullptr);
        MsgBox::resetHandler();
    }

    /**
     * "Test Connection" and "Next >" against the SQL Server stand-in: a refused
     * login is told in the server's own words; passwords with the characters
     * the connection string treats specially log in.
     */
    void loginThroughTheWindows_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("driverSays"); // empty: the login works
        QTest::newRow("works") << "tester"
                               << "secret"
                               << "Quorvane"
                               << "";
        QTest::newRow("wrong password") << "tester"
                                        << "Secret"
                                        << "Quorvane"
                                        << "Login failed for user 'tester'.";
        QTest::newRow("unknown user") << "nobody"
                                      << "secret"
                                      << "Quorvane"
                                      << "Login failed for user 'nobody'.";
        QTest::newRow("unknown database") << "tester"
                                          << "secret"
                                          << "Nowhere"
                                          << "Cannot open database \"Nowhere\" requested by the login.";
        QTest::newRow("password with ; { }") << "braces"
                                             << "p;w{d}x"
                                             << "Quorvane"
                                             << "";
        QTest::newRow("password starting with {") << "brace-first"
                                                  << "{a}b;c"
                                                  << "Quorvane"
                                                  << "";
    }

    void loginThroughTheWindows()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, database);
        QFETCH(QString, driverSays);
        TdsServer server;
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        Form1& form = wizard.start();
        const ConnectionSettings s = server.settings(database, user, password);
        form.Text6->setText(s.server);
        form.Text10->setText(s.port);
        form.Text7->setText(user);
        form.Text8->setText(password);
        form.Text9->setText(database);

        QTest::mouseClick(form.PushButton1, Qt::LeftButton); // "Test Connection"
        QTest::mouseClick(form.PushButton2, Qt::LeftButton); // "Next >"
        const QStringList boxes = wizard.boxes.texts();
        if (driverSays.isEmpty()) {
            QCOMPARE(boxes, QStringList({"Connection successful."}));
            QVERIFY(wizard.form2() && wizard.form2()->isVisible());
        } else {
            QCOMPARE(boxes.size(), 2);
            QVERIFY2(boxes[0].startsWith("Could not connect. Please check with your administrator.\n"),
                qPrintable(boxes[0]));
            QVERIFY2(boxes[1].startsWith("Could not connect.\n"), qPrintable(boxes[1]));
            for (const QString& box : boxes)
                QVERIFY2(box.contains("[FreeTDS][SQL Server]" + driverSays), qPrintable(box));
            QVERIFY(!Form2::exists());
        }
        QCOMPARE(server.unexpected(), QStringList());
    }

    /**
     * A server that accepts and never answers: at start the window shows
     * within a second, and "Test Connection" and "Next >", each pressed twice,
     * try once and tell once. Each wait ends at the login time while the
     * window answers throughout.
     */
    void silentServerNeverHoldsTheWindow()
    {
        TdsServer server;
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        MSSQL::SetLoginTimeout(2);
        ConnectionSettings s = server.settings(QStringLiteral("Quorvane"));
        s.port = QString::number(server.silentPort());
        wizard.storeSettings(s);
        bool shownInASecond = false;
        QTimer::singleShot(1000, [&] { shownInASecond = connectionWindowShown(); });
        Heartbeat beat;
        QElapsedTimer clock;
        clock.start();
        Form1& form = wizard.start();
        QVERIFY(shownInASecond);
        for (QPushButton* button : {form.PushButton1, form.PushButton2}) {
            QTimer::singleShot(0, [button] { QTest::mouseClick(button, Qt::LeftButton); });
            QTest::mouseClick(button, Qt::LeftButton);
        }
        QVERIFY2(
            clock.elapsed() > 3 * 2000 && clock.elapsed() < 3 * 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(beat.longestGap() < 100, qPrintable(QString::number(beat.longestGap())));
        const QStringList boxes = wizard.boxes.texts();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(
            boxes[0].startsWith("Could not connect. Please check with your administrator.\n"), qPrintable(boxes[0]));
        QVERIFY2(boxes[1].startsWith("Could not connect.\n"), qPrintable(boxes[1]));
        QVERIFY(form.isVisible() && !Form2::exists());
        MSSQL::SetLoginTimeout(15);
    }

    /** The list stops coming after 100 of 5,000 tables at start: the window shows meanwhile; one report. */
    void listingThatStopsAtStart()
    {
        TdsServer server;
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        wizard.storeSettings(server.settings(QStringLiteral("Stalled List")));
        odbc::setQueryTimeout(1);
        bool shownInASecond = false;
        QTimer::singleShot(1000, [&] { shownInASecond = connectionWindowShown(); });
        Heartbeat beat;
        wizard.start();
        odbc::setQueryTimeout(30);
        QVERIFY(shownInASecond);
        QVERIFY2(beat.longestGap() < 100, qPrintable(QString::number(beat.longestGap())));
        QCOMPARE(wizard.boxes.count(), 1);
        QVERIFY2(wizard.boxes.texts()[0].contains("[HYT00]"), qPrintable(wizard.boxes.texts()[0]));
        QCOMPARE(Wizard::listTexts(*wizard.form2()).size(), 100);
    }

    /** "Next >" pressed again while the list of 10,000 tables is read: each table once, one listing asked for. */
    void nextPressedTwiceListsEachTableOnce()
    {
        TdsServer server;
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        Form1& form = wizard.start();
        const ConnectionSettings s = server.settings(QStringLiteral("Many"));
        form.Text6->setText(s.server);
        form.Text10->setText(s.port);
        form.Text7->setText(s.user);
        form.Text8->setText(s.password);
        form.Text9->setText(s.database);
        QTimer::singleShot(0, [&] { QTest::mouseClick(form.PushButton2, Qt::LeftButton); });
        QTest::mouseClick(form.PushButton2, Qt::LeftButton);
        QVERIFY(wizard.form2());
        const QStringList listed = Wizard::listTexts(*wizard.form2());
        QCOMPARE(listed.size(), 10000);
        QCOMPARE(QSet<QString>(listed.begin(), listed.end()).size(), 10000);
        QCOMPARE(server.log().count(QStringLiteral("rpc sp_tables")), 1);
    }
};

QTEST_MAIN(TestConnectionTestFreeTds)
#include "tst_connectiontest_freetds.moc"
