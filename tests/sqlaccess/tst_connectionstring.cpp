#include "sqlaccess/MSSQL.h"

#include <QtTest>

class TestConnectionString : public QObject {
    Q_OBJECT

private slots:
    void forms_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("database");
        QTest::addColumn<bool>("local");
        QTest::addColumn<QString>("expected");

        QTest::newRow("with port") << "db1"
                                   << "1433"
                                   << "sa"
                                   << "pw"
                                   << "Sales" << false
                                   << "Driver={SQL Server};Server=db1,1433;Database=Sales;Uid=sa;Pwd=pw;";
        QTest::newRow("local ignores the port")
            << "localhost\\SQLEXPRESS"
            << "1433"
            << "sa"
            << "pw"
            << "Sales" << true << "Driver={SQL Server};Server=localhost\\SQLEXPRESS;Database=Sales;Uid=sa;Pwd=pw;";
        QTest::newRow("empty port keeps the comma")
            << "db1"
            << ""
            << "sa"
            << "pw"
            << "Sales" << false << "Driver={SQL Server};Server=db1,;Database=Sales;Uid=sa;Pwd=pw;";
        QTest::newRow("empty user and password")
            << "db1"
            << "1433"
            << ""
            << ""
            << "Sales" << false << "Driver={SQL Server};Server=db1,1433;Database=Sales;Uid=;Pwd=;";
        QTest::newRow("all empty, local") << ""
                                          << ""
                                          << ""
                                          << ""
                                          << "" << true << "Driver={SQL Server};Server=;Database=;Uid=;Pwd=;";
        QTest::newRow("blanks kept") << " db1 "
                                     << " 1433 "
                                     << " sa"
                                     << "pw "
                                     << " Sales " << false
                                     << "Driver={SQL Server};Server= db1 , 1433 ;Database= Sales ;Uid= sa;Pwd=pw ;";
        QTest::newRow("port with letters")
            << "db1"
            << "14x3"
            << "sa"
            << "pw"
            << "Sales" << false << "Driver={SQL Server};Server=db1,14x3;Database=Sales;Uid=sa;Pwd=pw;";
        QTest::newRow("closing brace alone stays")
            << "db1"
            << "1433"
            << "sa"
            << "p}w"
            << "Sales" << false << "Driver={SQL Server};Server=db1,1433;Database=Sales;Uid=sa;Pwd=p}w;";
        QTest::newRow("semicolon in password")
            << "db1"
            << "1433"
            << "sa"
            << "a;Database=master"
            << "Sales" << false << "Driver={SQL Server};Server=db1,1433;Database=Sales;Uid=sa;Pwd={a;Database=master};";
        QTest::newRow("semicolon and brace doubled")
            << "db1"
            << "1433"
            << "sa"
            << "x;}y}"
            << "Sales" << false << "Driver={SQL Server};Server=db1,1433;Database=Sales;Uid=sa;Pwd={x;}}y}}};";
        QTest::newRow("leading brace") << "db1"
                                       << "1433"
                                       << "{admin}"
                                       << "pw"
                                       << "Sales" << false
                                       << "Driver={SQL Server};Server=db1,1433;Database=Sales;Uid={{admin}}};Pwd=pw;";
        QTest::newRow("brace later stays")
            << "db1"
            << "1433"
            << "ad{min"
            << "pw"
            << "Sales" << false << "Driver={SQL Server};Server=db1,1433;Database=Sales;Uid=ad{min;Pwd=pw;";
        QTest::newRow("semicolon in database")
            << "db1"
            << "1433"
            << "sa"
            << "pw"
            << "My;Db" << false << "Driver={SQL Server};Server=db1,1433;Database={My;Db};Uid=sa;Pwd=pw;";
        QTest::newRow("semicolon in port quotes the composite server")
            << "db1"
            << "1;2"
            << "sa"
            << "pw"
            << "Sales" << false << "Driver={SQL Server};Server={db1,1;2};Database=Sales;Uid=sa;Pwd=pw;";
        QTest::newRow("leading brace in server, local")
            << "{srv"
            << "1433"
            << "sa"
            << "pw"
            << "Sales" << true << "Driver={SQL Server};Server={{srv};Database=Sales;Uid=sa;Pwd=pw;";
        QTest::newRow("semicolon in port ignored when local")
            << "db1"
            << "1;2"
            << "sa"
            << "pw"
            << "Sales" << true << "Driver={SQL Server};Server=db1;Database=Sales;Uid=sa;Pwd=pw;";
        QTest::newRow("non-Latin text as typed")
            << "сервер"
            << "1433"
            << "用户"
            << "pässwörd"
            << "Données" << false << "Driver={SQL Server};Server=сервер,1433;Database=Données;Uid=用户;Pwd=pässwörd;";
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
        ConnectionSettings s;
        s.server = server;
        s.port = port;
        s.user = user;
        s.password = password;
        s.database = database;
        s.local = local;
        QCOMPARE(MSSQL::ConnectionString(s), expected);
    }

    void defaultSettingsUseThePortDefault()
    {
        MSSQL::SetConnectionSettingsSource(nullptr);
        const ConnectionSettings s = MSSQL::CurrentConnectionSettings();
        QCOMPARE(s.port, QStringLiteral("1433"));
        QVERIFY(!s.local);
        QCOMPARE(MSSQL::ConnectionString(s), QStringLiteral("Driver={SQL Server};Server=,1433;Database=;Uid=;Pwd=;"));
    }

    void settingsAreReadAtTheMomentOfUse()
    {
        QString server = QStringLiteral("first");
        MSSQL::SetConnectionSettingsSource([&server] {
            ConnectionSettings s;
            s.server = server;
            return s;
        });
        QCOMPARE(MSSQL::CurrentConnectionSettings().server, QStringLiteral("first"));
        server = QStringLiteral("second");
        QCOMPARE(MSSQL::CurrentConnectionSettings().server, QStringLiteral("second"));
        MSSQL::SetConnectionSettingsSource(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestConnectionString)
#include "tst_connectionstring.moc"
