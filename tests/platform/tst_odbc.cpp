#include "platform/odbc/Odbc.h"
#include "support/TestOdbc.h"

#include <QtTest>

using odbc::FieldValue;

namespace {

/** 16,382 letters put a four-byte character across the reader's first chunk boundary. */
QString longText()
{
    return QString(16382, QLatin1Char('a')) + QString::fromUtf8("\xF0\x9F\x98\x80") + QString(23616, QLatin1Char('b'));
}

} // namespace

class TestOdbcLayer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestOdbc> m_odbc;
    QString m_db;

    std::unique_ptr<odbc::Connection> connect()
    {
        auto c = std::make_unique<odbc::Connection>();
        c->open(TestOdbc::sqliteConnectionString(m_db));
        return c;
    }

private slots:
    void initTestCase()
    {
        m_odbc = std::make_unique<TestOdbc>();
        m_db = m_odbc->createDatabase(QStringLiteral("layer.db"),
            {
                QStringLiteral("CREATE TABLE kinds (i integer, big bigint, d float, s text, b blob, lb longvarbinary, "
                               "vb varbinary(16), bt bit, dt date, ts datetime, dec decimal(10,2))"),
                QStringLiteral(
                    "INSERT INTO kinds VALUES (-42, 9007199254740993, 1.5, 'caf\u00e9', X'00FF10', X'0102', X'AB', 1, "
                    "'2021-08-31', '2021-08-31 12:34:56', '12.30')"),
                QStringLiteral(
                    "INSERT INTO kinds VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)"),
                QStringLiteral("CREATE TABLE empty (x integer)"),
                QStringLiteral("CREATE TABLE big (t text, bin blob, d date)"),
                // Built by SQL so that the statement itself stays short.
                QStringLiteral(
                    "INSERT INTO big VALUES (replace(hex(zeroblob(8191)), '0', 'a') || CAST(X'F09F9880' AS TEXT) || "
                    "replace(hex(zeroblob(11808)), '0', 'b'), zeroblob(100000), NULL)"),
                // The same text in a column the driver hands out as narrow text.
                QStringLiteral("UPDATE big SET d = t"),
                QStringLiteral("CREATE VIEW kindview AS SELECT i FROM kinds"),
            });
    }

    void errorsCarryDriverWordsAndNumber_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("expectedText");
        QTest::addColumn<long>("expectedNumber");
        QTest::newRow("missing table") << "open missing"
                                       << "[HY000] [SQLite]no such table: nowhere" << 1L;
        QTest::newRow("syntax error") << "execute bad"
                                      << "[HY000] [SQLite]near \"SELEKT\": syntax error" << 1L;
        QTest::newRow("database in missing folder") << "open missing folder"
                                                    << "[HY000] [SQLite]connect failed" << 14L;
        QTest::newRow("unregistered driver") << "open unregistered"
                                             << "[unixODBC][Driver Manager]Can't open lib 'No Such Driver'" << -1L;
    }

    void errorsCarryDriverWordsAndNumber()
    {
        QFETCH(QString, what);
        QFETCH(QString, expectedText);
        QFETCH(long, expectedNumber);
        try {
            if (what == QLatin1String("open missing")) {
                auto c = connect();
                odbc::Recordset r;
                r.open(QStringLiteral("SELECT * FROM [nowhere]"), *c);
            } else if (what == QLatin1String("execute bad")) {
                connect()->execute(QStringLiteral("SELEKT 1"));
            } else if (what == QLatin1String("open missing folder")) {
                odbc::Connection c;
                c.open(TestOdbc::sqliteConnectionString(m_odbc->folder() + QStringLiteral("/no/such/folder/x.db")));
            } else {
                odbc::Connection c;
                c.open(QStringLiteral("Driver={No Such Driver};Server=x;"));
            }
            QFAIL("no error raised");
        } catch (const quorvane::Error& e) {
            QVERIFY2(e.description().contains(expectedText), qPrintable(e.description()));
            QCOMPARE(e.number(), expectedNumber);
        }
    }

    void valuesByNameAndPositionInAnyOrder()
    {
        auto c = connect();
        odbc::Recordset r;
        r.open(QStringLiteral("SELECT i, big, d, s FROM kinds"), *c);
        QCOMPARE(r.value(3).toString(), QStringLiteral("caf\u00e9"));
        QCOMPARE(r.value(0).toLongLong(), -42LL);
        QCOMPARE(r.value(QStringLiteral("BIG")).toLongLong(), 9007199254740993LL);
        QCOMPARE(r.value(QStringLiteral("d")).toDouble(), 1.5);
        QCOMPARE(r.value(QStringLiteral("S")).toString(), QStringLiteral("caf\u00e9"));
        r.moveNext();
        QVERIFY(r.value(QStringLiteral("i")).isNull());
        QVERIFY(r.value(3).isNull());
        try {
            r.value(QStringLiteral("nosuchfield"));
            QFAIL("unknown field accepted");
        } catch (const quorvane::Error& e) {
            QCOMPARE(e.number(), 3265L);
        }
    }

    void readKinds_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<double>("number");
        QTest::addColumn<int>("utf16Length");
        QTest::newRow("integer as exact text") << "i" << int(FieldValue::Text) << QByteArray("-42") << 0.0 << 3;
        QTest::newRow("bigint beyond double precision")
            << "big" << int(FieldValue::Text) << QByteArray("9007199254740993") << 0.0 << 16;
        QTest::newRow("float") << "d" << int(FieldValue::Double) << QByteArray() << 1.5 << 0;
        QTest::newRow("text in UTF-8") << "s" << int(FieldValue::Text) << QByteArray("caf\xC3\xA9") << 0.0 << 4;
        QTest::newRow("blob") << "b" << int(FieldValue::Binary) << QByteArray("\x00\xFF\x10", 3) << 0.0 << 0;
        QTest::newRow("varbinary") << "vb" << int(FieldValue::Binary) << QByteArray("\xAB") << 0.0 << 0;
        QTest::newRow("bit") << "bt" << int(FieldValue::Text) << QByteArray("1") << 0.0 << 1;
        QTest::newRow("date") << "dt" << int(FieldValue::Text) << QByteArray("2021-08-31") << 0.0 << 10;
        QTest::newRow("timestamp") << "ts" << int(FieldValue::Text) << QByteArray("2021-08-31 12:34:56") << 0.0 << 19;
    }

    void readKinds()
    {
        QFETCH(QString, column);
        QFETCH(int, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(double, number);
        QFETCH(int, utf16Length);
        auto c = connect();
        odbc::Recordset r;
        r.open(QStringLiteral("SELECT ") + column + QStringLiteral(" FROM kinds"), *c);
        FieldValue v;
        r.read(0, v);
        QCOMPARE(int(v.kind), kind);
        if (kind == FieldValue::Double)
            QCOMPARE(v.number, number);
        else
            QCOMPARE(QByteArray::fromStdString(v.bytes), bytes);
        if (kind == FieldValue::Text)
            QCOMPARE(int(v.utf16Length), utf16Length);
        r.moveNext();
        r.read(0, v);
        QCOMPARE(int(v.kind), int(FieldValue::Null));
        QVERIFY(v.bytes.empty());
    }

    void longValuesAreKeptUpToWhatACellHolds_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("kept");
        QTest::addColumn<bool>("longer");
        QTest::addColumn<int>("wholeSize"); // as value() answers it: characters or bytes
        const QByteArray cutText = longText().left(int(odbc::MaxKeptUnits)).toUtf8();
        QTest::newRow("wide text across pieces") << "t" << int(FieldValue::Text) << cutText << true << 40000;
        QTest::newRow("wide text that just fits")
            << "substr(t, 1, 32766)" << int(FieldValue::Text) << cutText << false << 32767;
        QTest::newRow("narrow text") << "d" << int(FieldValue::Text) << cutText << true << 40000;
        QTest::newRow("binary") << "bin" << int(FieldValue::Binary) << QByteArray(int(odbc::MaxKeptBytes), '\0') << true
                                << 100000;
    }

    void longValuesAreKeptUpToWhatACellHolds()
    {
        QFETCH(QString, column);
        QFETCH(int, kind);
        QFETCH(QByteArray, kept);
        QFETCH(bool, longer);
        QFETCH(int, wholeSize);
        auto c = connect();
        const QString query = QStringLiteral("SELECT ") + column + QStringLiteral(", 7 FROM big");
        odbc::Recordset r;
        r.open(query, *c);
        FieldValue v;
        r.read(0, v);
        QCOMPARE(int(v.kind), kind);
        QVERIFY(QByteArray::fromStdString(v.bytes) == kept);
        QCOMPARE(v.longer, longer);
        if (kind == FieldValue::Text)
            QCOMPARE(v.utf16Length, odbc::MaxKeptUnits);
        // The rest of the value is left behind; the next column reads as usual.
        r.read(1, v);
        QCOMPARE(QByteArray::fromStdString(v.bytes), QByteArray("7"));
        // Taken by the bulk reader, so no longer available in this row.
        QVERIFY_THROWS_EXCEPTION(quorvane::Error, r.value(0));

        odbc::Recordset whole;
        whole.open(query, *c);
        const QVariant all = whole.value(0);
        QCOMPARE(kind == FieldValue::Text ? all.toString().size() : all.toByteArray().size(), qsizetype(wholeSize));
    }

    void charactersBeyondTheBasicPlaneRoundTrip()
    {
        auto c = connect();
        const QString text = QString::fromUtf8("x\xF0\x9F\x98\x80y\xF0\x90\x8D\x88");
        c->execute(QStringLiteral("CREATE TEMP TABLE astral (s text)"));
        c->execute(QStringLiteral("INSERT INTO astral VALUES ('") + text + QStringLiteral("')"));
        odbc::Recordset r;
        r.open(QStringLiteral("SELECT s FROM astral WHERE s = '") + text + QStringLiteral("'"), *c);
        QCOMPARE(r.recordCount(), 1LL);
        QCOMPARE(r.value(0).toString(), text);
    }

    void longBinaryTypeCode_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<int>("adoType");
        QTest::newRow("longvarbinary") << "lb" << int(odbc::adLongVarBinary);
        QTest::newRow("blob (unlimited)") << "b" << int(odbc::adLongVarBinary);
        QTest::newRow("varbinary(16)") << "vb" << 204;
        QTest::newRow("text is not binary") << "s" << 201;
    }

    void longBinaryTypeCode()
    {
        QFETCH(QString, column);
        QFETCH(int, adoType);
        auto c = connect();
        odbc::Recordset r;
        r.open(QStringLiteral("SELECT ") + column + QStringLiteral(" FROM kinds"), *c);
        QCOMPARE(r.fieldType(0), adoType);
        QCOMPARE(r.fieldName(0), column);
    }

    void recordCountAndEnd_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<long long>("count");
        QTest::newRow("two rows") << "kinds" << 2LL;
        QTest::newRow("empty") << "empty" << 0LL;
    }

    void recordCountAndEnd()
    {
        QFETCH(QString, table);
        QFETCH(long long, count);
        auto c = connect();
        odbc::Recordset r;
        r.open(QStringLiteral("SELECT * FROM [") + table + QStringLiteral("]"), *c, odbc::adOpenStatic,
            odbc::adLockReadOnly);
        QCOMPARE(r.state(), 1);
        QCOMPARE(r.recordCount(), count);
        long long seen = 0;
        while (!r.eof()) {
            ++seen;
            r.moveNext();
        }
        QCOMPARE(seen, count);
        QVERIFY_THROWS_EXCEPTION(quorvane::Error, r.moveNext());
        r.close();
        QCOMPARE(r.state(), 0);
        QVERIFY_THROWS_EXCEPTION(quorvane::Error, r.eof());
    }

    void schemaListsTablesAndViews()
    {
        auto c = connect();
        auto r = c->openSchema(odbc::adSchemaTables);
        QStringList names;
        for (int i = 0; i < r->fieldCount(); ++i)
            names << r->fieldName(i);
        QCOMPARE(names, (QStringList{"TABLE_CAT", "TABLE_SCHEM", "TABLE_NAME", "TABLE_TYPE", "REMARKS"}));
        QMap<QString, QString> types;
        for (; !r->eof(); r->moveNext())
            types.insert(
                r->value(QStringLiteral("table_name")).toString(), r->value(QStringLiteral("TABLE_TYPE")).toString());
        QCOMPARE(types.value(QStringLiteral("kinds")), QStringLiteral("TABLE"));
        QCOMPARE(types.value(QStringLiteral("kindview")), QStringLiteral("VIEW"));
    }

    void closedObjectsRaiseInsteadOfCrashing()
    {
        odbc::Connection closed;
        QCOMPARE(closed.state(), 0);
        try {
            closed.openSchema(odbc::adSchemaTables);
            QFAIL("schema of a closed connection");
        } catch (const quorvane::Error& e) {
            QCOMPARE(e.number(), 3704L);
        }
        odbc::Recordset never;
        QVERIFY_THROWS_EXCEPTION(quorvane::Error, never.eof());
        never.close(); // closing twice is harmless

        // A record set that outlives its connection.
        auto records = std::make_unique<odbc::Recordset>();
        {
            auto c = connect();
            records->open(QStringLiteral("SELECT * FROM kinds"), *c);
            auto schema = c->openSchema(odbc::adSchemaTables);
            c->close();
            QCOMPARE(records->state(), 0);
            QVERIFY_THROWS_EXCEPTION(quorvane::Error, schema->value(0));
        }
        QVERIFY_THROWS_EXCEPTION(quorvane::Error, records->moveNext());
        records.reset();

        auto c = connect();
        QVERIFY_THROWS_EXCEPTION(quorvane::Error, c->open(TestOdbc::sqliteConnectionString(m_db)));
        c->close();
        c->close();
        QCOMPARE(c->state(), 0);
    }
};

QTEST_GUILESS_MAIN(TestOdbcLayer)
#include "tst_odbc.moc"
