#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "sqlaccess/SqlServer.h"
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
        if (qobject_cast<ConnectionWindow*>(window) && window->isVisible())
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
        SqlServer::SetConnectionSettingsSource([s] { return s; });
        QVERIFY(!Wait(SqlServer::TestConnection()));
        QVERIFY(shown.isEmpty());
        // It was the driver that refused, not the driver manager failing to load it.
        try {
            odbc::Connection connection;
            connection.open(SqlServer::ConnectionString(s));
            QFAIL("a closed port accepted the connection");
        } catch (const quorvane::Error& e) {
            QVERIFY2(e.description().contains(QLatin1String("[FreeTDS]")), qPrintable(e.description()));
        }
        SqlServer::SetConnectionSettingsSource(nullptr);
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
        // Restored from the saved settings, so that the password arrives as
        // saved (without a keyring here, typing it would add a notice); the
        // server, typed last, was not tried at start.
        ConnectionSettings s = server.settings(database, user, password);
        const QString host = s.server;
        s.server.clear();
        wizard.storeSettings(s);
        ConnectionWindow& form = wizard.start();
        form.serverEdit->setText(host);

        Click(form.testConnectionButton); // "Test Connection"
        Click(form.nextButton); // "Next >"
        const QStringList boxes = wizard.boxes.texts();
        if (driverSays.isEmpty()) {
            QCOMPARE(boxes, QStringList({"Connection successful."}));
            QVERIFY(wizard.tableWindow() && wizard.tableWindow()->isVisible());
        } else {
            QCOMPARE(boxes.size(), 2);
            QVERIFY2(boxes[0].startsWith("Could not connect. Please check with your administrator.\n"),
                qPrintable(boxes[0]));
            QVERIFY2(boxes[1].startsWith("Could not connect.\n"), qPrintable(boxes[1]));
            for (const QString& box : boxes)
                QVERIFY2(box.contains("[FreeTDS][SQL Server]" + driverSays), qPrintable(box));
            QVERIFY(!TableWindow::exists());
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
        SqlServer::SetLoginTimeout(2);
        ConnectionSettings s = server.settings(QStringLiteral("Quorvane"));
        s.port = QString::number(server.silentPort());
        wizard.storeSettings(s);
        bool shownInASecond = false;
        QTimer::singleShot(1000, [&] { shownInASecond = connectionWindowShown(); });
        Heartbeat beat;
        QElapsedTimer clock;
        clock.start();
        ConnectionWindow& form = wizard.start();
        QVERIFY(shownInASecond);
        for (QPushButton* button : {form.testConnectionButton, form.nextButton}) {
            QTimer::singleShot(0, [button] { QTest::mouseClick(button, Qt::LeftButton); });
            Click(button);
        }
        QVERIFY2(
            clock.elapsed() > 3 * 2000 && clock.elapsed() < 3 * 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(beat.longestGap() < 100, qPrintable(QString::number(beat.longestGap())));
        const QStringList boxes = wizard.boxes.texts();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(
            boxes[0].startsWith("Could not connect. Please check with your administrator.\n"), qPrintable(boxes[0]));
        QVERIFY2(boxes[1].startsWith("Could not connect.\n"), qPrintable(boxes[1]));
        QVERIFY(form.isVisible() && !TableWindow::exists());
        SqlServer::SetLoginTimeout(15);
    }

    /**
     * Who the server is, and a machine in the middle. The settings are saved
     * before start, which sends no login to a server not yet trusted; then
     * "Test Connection" is pressed until every box below has been answered.
     * No login and no query crosses in clear unless the user agreed to it.
     * In the texts, %S stands for the server as named, %A and %B for the
     * fingerprints of the two self-signed certificates.
     */
    void serverIdentity_data()
    {
        using C = TdsServer::Certificate;
        QTest::addColumn<QStringList>("options"); // of the server
        QTest::addColumn<bool>("throughRelay");
        QTest::addColumn<QStringList>("before"); // what an earlier run decided: trust, certificate
        QTest::addColumn<QStringList>("boxes"); // a text each box holds, in order
        QTest::addColumn<QList<int>>("answers"); // one a box
        QTest::addColumn<bool>("loginSent");
        QTest::addColumn<bool>("clearAgreed");
        QTest::addColumn<bool>("authorityUnknown"); // the system's trust store lacks the test authority
        const int ok = MsgBox::Ok, yes = MsgBox::Yes, no = MsgBox::No;
        const QString done = "Connection successful.";
        const QString intercepted = " The connection may be intercepted, so nothing was sent to it.";
        const QString cannot = "The server %S cannot encrypt the connection.\n\nIf you connect anyway, your password";
        const QString newOne = "signed itself, which no authority vouches for. Its SHA-256 fingerprint is:\n\n%A\n";
        const QString changed = "has changed, so the connection was stopped before anything was sent.\n\nTrusted until "
                                "now (SHA-256):\n%A\n\nShown now (SHA-256):\n%B\n\nThe common harmless cause";
        const auto row = [](const char* name, const QStringList& options, bool relay, const QStringList& before,
                             const QStringList& boxes, const QList<int>& answers, bool loginSent, bool clear = false,
                             bool authorityUnknown = false) {
            QTest::newRow(name) << options << relay << before << boxes << answers << loginSent << clear
                                << authorityUnknown;
        };
        row("authority, right name: no question", {}, false, {}, {done}, {ok}, true);
        row("authority, other name: refused", TdsServer::presenting(C::OtherName), false, {},
            {"The certificate of %S was issued for elsewhere.example, not for 127.0.0.1." + intercepted}, {ok}, false);
        row("authority the system does not trust: refused", {}, false, {},
            {"The certificate of %S, issued by CN=Quorvane Test Authority, is not accepted by this system: The "
             "certificate is NOT trusted. The certificate issuer is unknown."},
            {ok}, false, false, true);
        row("self-signed: asked once, then silent", TdsServer::presenting(C::SelfSignedA), false, {},
            {newOne, done, done}, {yes, ok, ok}, true);
        row("self-signed, not trusted", TdsServer::presenting(C::SelfSignedA), false, {},
            {newOne, "the certificate of %S was not trusted."}, {no, ok}, false);
        row("pinned and changed: refused with both, trusted on confirming", TdsServer::presenting(C::SelfSignedB),
            false, {"certificate", "A"},
            {changed, "has changed (trusted until now: %A; shown now: %B)." + intercepted, changed, done},
            {no, ok, yes, ok}, true);
        row("cannot encrypt: asked once, then silent", {"--encryption", "none"}, false, {}, {cannot, done, done},
            {yes, ok, ok}, true, true);
        row("relay says it cannot encrypt: asked, declined", {"--relay", "strip"}, true, {},
            {cannot, "connecting without encryption was declined."}, {no, ok}, false);
        row("relay says it cannot encrypt, reached encrypted before", {"--relay", "strip"}, true, {"authority", ""},
            {"The server %S was reached encrypted before, but now answers that it cannot encrypt." + intercepted}, {ok},
            false);
        row("relay breaks every handshake", {"--relay", "break"}, true, {},
            {"The encryption handshake with %S failed: "}, {ok}, false);
        row("relay breaks the handshakes of full encryption", {"--relay", "break-full"}, true, {},
            {"The encryption handshake with %S failed: "}, {ok}, false);
    }

    void serverIdentity()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, throughRelay);
        QFETCH(QStringList, before);
        QFETCH(QStringList, boxes);
        QFETCH(QList<int>, answers);
        QFETCH(bool, loginSent);
        QFETCH(bool, clearAgreed);
        QFETCH(bool, authorityUnknown);
        TdsServer server(options, true);
        if (authorityUnknown)
            qputenv(
                "SSL_CERT_FILE", QFile::encodeName(TdsServer::certificateFile(TdsServer::Certificate::SelfSignedA)));
        const auto trustTheAuthority
            = qScopeGuard([] { qputenv("SSL_CERT_FILE", QFile::encodeName(TdsServer::authorityFile())); });
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        ConnectionSettings s = server.settings(QStringLiteral("Quorvane"));
        if (throughRelay)
            s.port = QString::number(server.relayPort());
        const QString shown = s.server + ',' + s.port;
        const QString a = TdsServer::fingerprint(TdsServer::Certificate::SelfSignedA);
        const QString b = TdsServer::fingerprint(TdsServer::Certificate::SelfSignedB);
        if (!before.isEmpty())
            TdsServer::remember(shown, before[0], before[1] == "A" ? a : QString());
        wizard.storeSettings(s);
        ConnectionWindow& form = wizard.start();
        QCOMPARE(wizard.boxes.count(), 0);
        QCOMPARE(TableWindow::exists(), !throughRelay && options.isEmpty() && !authorityUnknown);
        wizard.boxes.answers = answers;
        for (int press = 0; press < boxes.size() && !wizard.boxes.answers.isEmpty(); ++press)
            Click(form.testConnectionButton); // "Test Connection"
        const QStringList texts = wizard.boxes.texts();
        QCOMPARE(texts.size(), boxes.size());
        for (int i = 0; i < boxes.size(); ++i) {
            const QString expected = QString(boxes[i]).replace("%S", shown).replace("%A", a).replace("%B", b);
            QVERIFY2(texts[i].contains(expected), qPrintable(texts[i] + "\n---- does not hold ----\n" + expected));
        }
        QCOMPARE(server.log().contains(QStringLiteral("login user=")), loginSent);
        QVERIFY2(!server.log().contains(QStringLiteral("relay: clear")), qPrintable(server.log()));
        const QByteArray user(reinterpret_cast<const char*>(u"tester"), 12);
        QCOMPARE(server.wire().contains(user), clearAgreed);
        QCOMPARE(server.unexpected(), QStringList());
    }

    /**
     * Nothing typed makes the driver manager load a library, and no password
     * lands in its trace. The planted library leaves a mark whenever anything
     * loads it, as it does when a connection string names it as the driver.
     */
    void typedValuesStayValues()
    {
        if (!QCoreApplication::arguments().contains(QStringLiteral("typedValuesStayValues")))
            QSKIP("the driver manager reads its trace setting once a process: run as the test of its own "
                  "sqlaccess/connectiontest_freetds_trace");
        TdsServer server;
        Wizard wizard;
        const QString trace = wizard.odbc.folder() + "/sql.log";
        wizard.odbc.writeRegistration(
            QStringLiteral("[ODBC]\nTrace = Yes\nTraceFile = %1\n\n[SQL Server]\nDriver = %2\n")
                .arg(trace, QLatin1String(TestOdbc::FreeTdsDriver)));
        const QString mark = wizard.odbc.folder() + "/planted.mark";
        qputenv("QUORVANE_PLANTED_MARK", QFile::encodeName(mark));
        wizard.storeSettings(
            server.settings(QStringLiteral("Quorvane"), QStringLiteral("tester"), QStringLiteral("secret")));
        ConnectionWindow& form = wizard.start();
        QVERIFY(TableWindow::exists());

        form.passwordEdit->setText(QStringLiteral("x} ;DRIVER=" QUORVANE_PLANTED_DRIVER ";"));
        Click(form.testConnectionButton); // "Test Connection"
        QVERIFY2(wizard.boxes.texts().last().contains("\n\nPassword: the value as typed cannot be sent safely"),
            qPrintable(wizard.boxes.texts().join('|')));
        QVERIFY(!QFile::exists(mark));
        try {
            odbc::Connection connection;
            connection.open(QStringLiteral("DRIVER=" QUORVANE_PLANTED_DRIVER ";"));
        } catch (const quorvane::Error&) { }
        QVERIFY(QFile::exists(mark));

        QFile log(trace);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray traced = log.readAll();
        QVERIFY(traced.contains("UID=tester"));
        QVERIFY(!traced.contains("secret"));
        qunsetenv("QUORVANE_PLANTED_MARK");
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
        QCOMPARE(Wizard::listTexts(*wizard.tableWindow()).size(), 100);
    }

    /** "Next >" pressed again while the list of 10,000 tables is read: each table once, one listing asked for. */
    void nextPressedTwiceListsEachTableOnce()
    {
        TdsServer server;
        Wizard wizard;
        wizard.odbc.registerSqlServer(QString::fromLatin1(TestOdbc::FreeTdsDriver));
        ConnectionWindow& form = wizard.start();
        const ConnectionSettings s = server.settings(QStringLiteral("Many"));
        form.serverEdit->setText(s.server);
        form.portEdit->setText(s.port);
        form.userEdit->setText(s.user);
        form.passwordEdit->setText(s.password);
        form.databaseEdit->setText(s.database);
        QTimer::singleShot(0, [&] { QTest::mouseClick(form.nextButton, Qt::LeftButton); });
        Click(form.nextButton);
        QVERIFY(wizard.tableWindow());
        const QStringList listed = Wizard::listTexts(*wizard.tableWindow());
        QCOMPARE(listed.size(), 10000);
        QCOMPARE(QSet<QString>(listed.begin(), listed.end()).size(), 10000);
        QCOMPARE(server.log().count(QStringLiteral("rpc sp_tables")), 1);
    }
};

QTEST_MAIN(TestConnectionTestFreeTds)
#include "tst_connectiontest_freetds.moc"
