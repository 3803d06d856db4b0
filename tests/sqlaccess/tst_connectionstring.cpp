#include "platform/odbc/DriverInfo.h"
#include "sqlaccess/SqlServer.h"
#include "support/TestOdbc.h"

#include <QtTest>

using SqlServer::BraceRule;
Q_DECLARE_METATYPE(BraceRule)

namespace {
const QString Same = QStringLiteral("<same>");
}

class TestConnectionString : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestOdbc> m_odbc;

    /** One row; `legacy` is the string by FreeTDS's older brace rule (<same>: as by ODBC's). */
    static void row(const char* name, const QString& server, const QString& port, const QString& user,
        const QString& password, const QString& database, bool local, const QString& expected,
        const QString& legacy = Same)
    {
        QTest::newRow(name) << server << port << user << password << database << local << expected
                            << (legacy == Same ? expected : legacy);
    }

private slots:
    void initTestCase() { m_odbc = std::make_unique<TestOdbc>(); }

    void forms_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("database");
        QTest::addColumn<bool>("local");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("legacy");

        row("with port", "db1", "1433", "sa", "pw", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD=pw;");
        row("local ignores the port", "localhost\\SQLEXPRESS", "1433", "sa", "pw", "Sales", true,
            "DRIVER={SQL Server};Server=localhost\\SQLEXPRESS;Database=Sales;UID=sa;PWD=pw;");
        row("empty port keeps the comma", "db1", "", "sa", "pw", "Sales", false,
            "DRIVER={SQL Server};Server=db1,;Database=Sales;UID=sa;PWD=pw;");
        row("empty user and password", "db1", "1433", "", "", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=;PWD=;");
        row("all empty, local", "", "", "", "", "", true, "DRIVER={SQL Server};Server=;Database=;UID=;PWD=;");
        row("blanks kept", " db1 ", " 1433 ", " sa", "pw ", " Sales ", false,
            "DRIVER={SQL Server};Server= db1 , 1433 ;Database= Sales ;UID= sa;PWD=pw ;");
        row("port with letters", "db1", "14x3", "sa", "pw", "Sales", false,
            "DRIVER={SQL Server};Server=db1,14x3;Database=Sales;UID=sa;PWD=pw;");
        row("closing brace alone stays", "db1", "1433", "sa", "p}w", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD=p}w;");
        row("semicolon in password", "db1", "1433", "sa", "a;Database=master", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD={a;Database=master};");
        row("semicolon and brace doubled", "db1", "1433", "sa", "x;}y}", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD={x;}}y}}};",
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD={x;}y}};");
        row("leading brace", "db1", "1433", "{admin}", "pw", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID={{admin}}};PWD=pw;",
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID={{admin}};PWD=pw;");
        row("brace and semicolon in password", "db1", "1433", "sa", "p}w;", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD={p}}w;};",
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD={p}w;};");
        // FreeTDS's older rule ends the value at "};" whatever follows, so such a value cannot be carried.
        row("brace-semicolon in password", "db1", "1433", "sa", "a};b", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD={a}};b};");
        row("brace later stays", "db1", "1433", "ad{min", "pw", "Sales", false,
            "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=ad{min;PWD=pw;");
        row("semicolon in database", "db1", "1433", "sa", "pw", "My;Db", false,
            "DRIVER={SQL Server};Server=db1,1433;Database={My;Db};UID=sa;PWD=pw;");
        row("semicolon in port quotes the composite server", "db1", "1;2", "sa", "pw", "Sales", false,
            "DRIVER={SQL Server};Server={db1,1;2};Database=Sales;UID=sa;PWD=pw;");
        row("leading brace in server, local", "{srv", "1433", "sa", "pw", "Sales", true,
            "DRIVER={SQL Server};Server={{srv};Database=Sales;UID=sa;PWD=pw;");
        row("semicolon in port ignored when local", "db1", "1;2", "sa", "pw", "Sales", true,
            "DRIVER={SQL Server};Server=db1;Database=Sales;UID=sa;PWD=pw;");
        row("non-Latin text as typed", "сервер", "1433", "用户", "pässwörd", "Données", false,
            "DRIVER={SQL Server};Server=сервер,1433;Database=Données;UID=用户;PWD=pässwörd;");
    }

    void forms()
    {
        QFETCH(QString, server);
        QFETCH(QString, port);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, database);
        QFETCH(bool, local);
        QFETCH(QString, expected);
        QFETCH(QString, legacy);
        ConnectionSettings s;
        s.server = server;
        s.port = port;
        s.user = user;
        s.password = password;
        s.database = database;
        s.local = local;
        QCOMPARE(SqlServer::ConnectionString(s, BraceRule::Odbc), expected);
        QCOMPARE(SqlServer::ConnectionString(s, BraceRule::FreeTdsLegacy), legacy);
    }

    /**
     * A value that the driver manager or the driver would read otherwise than
     * typed is named before anything is sent: with FreeTDS's older rule a
     * braced value cannot hold "}" where the driver manager would end it, or
     * "};" where the driver would. FreeTDS is also handed the host in a file
     * of its own, line by line.
     */
    void valuesThatCannotBeSentIntact_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("freeTds");
        QTest::addColumn<QString>("byOdbcRule"); // the field named, empty when it is sent intact
        QTest::addColumn<QString>("byLegacyRule");
        const auto row
            = [](const char* name, const char* field, const QString& value, bool freeTds, const char* odbc,
                  const char* legacy) { QTest::newRow(name) << field << value << freeTds << odbc << legacy; };
        row("plain", "Password", "secret", true, "", "");
        row("; { } that both read alike", "Password", "p;w{d}x", true, "", "");
        row("leading brace", "Username", "{a}b;c", true, "", "");
        row("a second DRIVER for the driver manager", "Password", "x} ;DRIVER=/tmp/e.so;", true, "", "Password");
        row("a DSN for the driver manager", "Database", "d} DSN=other;", false, "", "Database");
        row("}; ends it early for FreeTDS", "Password", "a};b", true, "", "Password");
        row("}; in the user, any driver", "Username", "a};b", false, "", "Username");
        row("host with a line break", "Server", "db1\nca file = /tmp/x.pem", true, "Server", "Server");
        row("host with a blank", "Server", "db 1", true, "Server", "Server");
        row("IPv6 address", "Server", "::1", true, "", "");
        row("instance", "Server", "db1\\SQLEXPRESS", true, "", "");
    }

    void valuesThatCannotBeSentIntact()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(bool, freeTds);
        QFETCH(QString, byOdbcRule);
        QFETCH(QString, byLegacyRule);
        ConnectionSettings s;
        s.server = QStringLiteral("db1");
        s.user = QStringLiteral("sa");
        s.password = QStringLiteral("pw");
        s.database = QStringLiteral("Sales");
        (field == "Server"            ? s.server
                : field == "Username" ? s.user
                : field == "Database" ? s.database
                                      : s.password)
            = value;
        QCOMPARE(SqlServer::UnsafeField(s, SqlServer::Driver(BraceRule::Odbc, freeTds)), byOdbcRule);
        QCOMPARE(SqlServer::UnsafeField(s, SqlServer::Driver(BraceRule::FreeTdsLegacy, freeTds)), byLegacyRule);
    }

    void braceRuleOfTheDriverLibrary_data()
    {
        QTest::addColumn<QByteArray>("libraryText");
        QTest::addColumn<BraceRule>("rule");
        // As the Debian 12 library has it, amid its other strings.
        QTest::newRow("1.3.17") << QByteArrayLiteral("intent\0freetds v1.3.17\0/etc/freetds")
                                << BraceRule::FreeTdsLegacy;
        QTest::newRow("1.2.21") << QByteArray("freetds v1.2.21") << BraceRule::FreeTdsLegacy;
        QTest::newRow("1.3.20") << QByteArray("freetds v1.3.20") << BraceRule::FreeTdsLegacy;
        QTest::newRow("1.3.21") << QByteArray("freetds v1.3.21") << BraceRule::Odbc;
        QTest::newRow("1.4.0") << QByteArray("freetds v1.4.0") << BraceRule::FreeTdsLegacy;
        QTest::newRow("1.4 snapshot") << QByteArray("freetds v1.4.dev.20231106") << BraceRule::FreeTdsLegacy;
        QTest::newRow("1.4.1") << QByteArray("freetds v1.4.1") << BraceRule::Odbc;
        QTest::newRow("1.10.0") << QByteArray("freetds v1.10.0") << BraceRule::Odbc;
        QTest::newRow("marker without a version, then one")
            << QByteArrayLiteral("freetds v.\0freetds v1.3.17") << BraceRule::FreeTdsLegacy;
        QTest::newRow("no version text") << QByteArray("SQLite ODBC Driver 0.9998") << BraceRule::Odbc;
    }

    void braceRuleOfTheDriverLibrary()
    {
        QFETCH(QByteArray, libraryText);
        QFETCH(BraceRule, rule);
        QCOMPARE(SqlServer::BraceRuleForFreeTds(odbc::FreeTdsVersionIn(libraryText)), rule);
    }

    void registeredDriverChoosesTheForm_data()
    {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("local");
        QTest::addColumn<QString>("expected");
        const QString tail = "Database=Sales;UID=sa;PWD={x;}y};TDS_Version=7.4;Encryption=require;";
        QTest::newRow("FreeTDS 1.3") << TestOdbc::FreeTdsDriver << "db1"
                                     << "1433" << false << "DRIVER={SQL Server};Server=db1,1433;" + tail;
        QTest::newRow("FreeTDS, instance with a port: the port wins")
            << TestOdbc::FreeTdsDriver << "db1\\SQLEXPRESS"
            << "1434" << false << "DRIVER={SQL Server};Server=db1;Port=1434;" + tail;
        QTest::newRow("FreeTDS, instance without a port: the Browser")
            << TestOdbc::FreeTdsDriver << "db1\\SQLEXPRESS"
            << "" << false << "DRIVER={SQL Server};Server=db1\\SQLEXPRESS;" + tail;
        QTest::newRow("FreeTDS, local instance: the Browser")
            << TestOdbc::FreeTdsDriver << "db1\\SQLEXPRESS"
            << "1433" << true << "DRIVER={SQL Server};Server=db1\\SQLEXPRESS;" + tail;
        QTest::newRow("SQLite: its own default, instance and port as typed")
            << TestOdbc::SqliteDriver << "db1\\SQLEXPRESS"
            << "1433" << false << "DRIVER={SQL Server};Server=db1\\SQLEXPRESS,1433;Database=Sales;UID=sa;PWD={x;}}y};";
        QTest::newRow("library that cannot be read")
            << "/nonexistent/libtdsodbc.so"
            << "db1"
            << "1433" << false << "DRIVER={SQL Server};Server=db1,1433;Database=Sales;UID=sa;PWD={x;}}y};";
    }

    void registeredDriverChoosesTheForm()
    {
        QFETCH(QString, library);
        QFETCH(QString, server);
        QFETCH(QString, port);
        QFETCH(bool, local);
        QFETCH(QString, expected);
        if (library.startsWith(QLatin1String("/usr/")) && !QFileInfo::exists(library))
            QSKIP("this driver is not installed");
        m_odbc->registerSqlServer(library);
        ConnectionSettings s;
        s.server = server;
        s.port = port;
        s.local = local;
        s.user = QStringLiteral("sa");
        s.password = QStringLiteral("x;}y");
        s.database = QStringLiteral("Sales");
        QCOMPARE(SqlServer::ConnectionString(s), expected);
        m_odbc->registerSqlServer(TestOdbc::SqliteDriver);
    }

    void defaultSettingsUseThePortDefault()
    {
        SqlServer::SetConnectionSettingsSource(nullptr);
        const ConnectionSettings s = SqlServer::CurrentConnectionSettings();
        QCOMPARE(s.port, QStringLiteral("1433"));
        QVERIFY(!s.local);
        QCOMPARE(
            SqlServer::ConnectionString(s), QStringLiteral("DRIVER={SQL Server};Server=,1433;Database=;UID=;PWD=;"));
    }

    void settingsAreReadAtTheMomentOfUse()
    {
        QString server = QStringLiteral("first");
        SqlServer::SetConnectionSettingsSource([&server] {
            ConnectionSettings s;
            s.server = server;
            return s;
        });
        QCOMPARE(SqlServer::CurrentConnectionSettings().server, QStringLiteral("first"));
        server = QStringLiteral("second");
        QCOMPARE(SqlServer::CurrentConnectionSettings().server, QStringLiteral("second"));
        SqlServer::SetConnectionSettingsSource(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestConnectionString)
#include "tst_connectionstring.moc"
