#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "sqlaccess/SqlServer.h"
#include "support/Seams.h"
#include "support/TestOdbc.h"
#include "windows/TableWindow.h"

#include <QListWidget>
#include <QProcess>
#include <QtTest>

// Tables of the same name in two schemas, against a real PostgreSQL server
// reached through its ODBC driver registered as "SQL Server" (SQLite has no
// schemas). The connection is "local" (Server=127.0.0.1 without a port); the
// server's port reaches the driver through PGPORT, which libpq honours.
class TestTableListingPg : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestOdbc> m_odbc;
    QString m_serverDir;
    bool m_started = false;
    QList<MsgBox::Record> m_shown;

    static QString script() { return QStringLiteral(QUORVANE_SOURCE_DIR "/scripts/pg-test-server.sh"); }

    static ConnectionSettings settings(const QString& user, const QString& password, const QString& database)
    {
        ConnectionSettings s;
        s.server = QStringLiteral("127.0.0.1");
        s.port = QStringLiteral("ignored");
        s.user = user;
        s.password = password;
        s.database = database;
        s.local = true;
        return s;
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(QStringLiteral("/usr/lib/postgresql/15/bin/initdb")))
            QSKIP("PostgreSQL 15 is not installed (/usr/lib/postgresql/15/bin); the two-schema listing is not tested");
        QVERIFY2(QFile::exists(QString::fromLatin1(TestOdbc::PostgresDriver)),
            "the PostgreSQL ODBC driver (odbc-postgresql) is missing");
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_serverDir = m_dir->filePath(QStringLiteral("pg"));
        QProcess start;
        start.start(QStringLiteral("/bin/sh"), {script(), QStringLiteral("start"), m_serverDir});
        QVERIFY(start.waitForFinished(120000));
        QVERIFY2(start.exitCode() == 0, start.readAllStandardError().constData());
        const QByteArray port = start.readAllStandardOutput().trimmed();
        QVERIFY(!port.isEmpty());
        m_started = true;
        qputenv("PGPORT", port);

        m_odbc = std::make_unique<TestOdbc>();
        m_odbc->registerSqlServer(QString::fromLatin1(TestOdbc::PostgresDriver));
        odbc::Connection admin;
        admin.open(SqlServer::ConnectionString(
            settings(QStringLiteral("postgres"), QStringLiteral("postgres"), QStringLiteral("postgres"))));
        for (const char* sql : {
                 "CREATE DATABASE shop",
             })
            admin.execute(QString::fromLatin1(sql));
        admin.execute(QStringLiteral("CREATE ROLE odd LOGIN PASSWORD 'p;w}d{x'"));
        admin.close();
        odbc::Connection shop;
        shop.open(SqlServer::ConnectionString(
            settings(QStringLiteral("postgres"), QStringLiteral("postgres"), QStringLiteral("shop"))));
        for (const char* sql : {
                 "CREATE SCHEMA a",
                 "CREATE SCHEMA b",
                 "CREATE TABLE a.orders (id integer)",
                 "CREATE TABLE b.orders (id integer)",
                 "CREATE VIEW a.ordersview AS SELECT * FROM a.orders",
                 "CREATE TABLE public.syslog (id integer)",
             })
            shop.execute(QString::fromLatin1(sql));
    }

    void cleanupTestCase()
    {
        SqlServer::SetConnectionSettingsSource(nullptr);
        if (m_started)
            QProcess::execute(QStringLiteral("/bin/sh"), {script(), QStringLiteral("stop"), m_serverDir});
    }

    void init()
    {
        m_shown.clear();
        MsgBox::setHandler([this](const MsgBox::Record& r) {
            m_shown << r;
            return int(MsgBox::Ok);
        });
    }

    void cleanup() { MsgBox::resetHandler(); }

    void sameNamedTablesInTwoSchemas()
    {
        SqlServer::SetConnectionSettingsSource(
            [] { return settings(QStringLiteral("postgres"), QStringLiteral("postgres"), QStringLiteral("shop")); });
        QListWidget list;
        TableWindow::FillList(&list, Wait(SqlServer::ListTables()));
        QVERIFY2(m_shown.isEmpty(), m_shown.isEmpty() ? "" : qPrintable(m_shown.first().text));
        QStringList entries;
        for (int i = 0; i < list.count(); ++i) {
            entries << list.item(i)->text() + QLatin1Char('@') + list.item(i)->data(Qt::UserRole).toString();
            QCOMPARE(list.item(i)->checkState(), Qt::Unchecked);
        }
        QCOMPARE(entries, (QStringList{QStringLiteral("orders@a"), QStringLiteral("orders@b")}));
    }

    void passwordWithSemicolonAndBraceLogsIn_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right password") << "p;w}d{x" << true;
        QTest::newRow("its first part only") << "p" << false;
        QTest::newRow("wrong") << "p;w}d{y" << false;
    }

    void passwordWithSemicolonAndBraceLogsIn()
    {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        SqlServer::SetConnectionSettingsSource(
            [password] { return settings(QStringLiteral("odd"), password, QStringLiteral("shop")); });
        QCOMPARE(Wait(SqlServer::TestConnection()), accepted);
        QVERIFY(m_shown.isEmpty());
    }
};

QTEST_MAIN(TestTableListingPg)
#include "tst_tablelisting_pg.moc"
