#include "export/CellConversion.h"

#include <QtTest>
#include <cmath>

using xl::CellValue;
using Kind = odbc::FieldValue::Kind;

Q_DECLARE_METATYPE(CellValue::Type)
Q_DECLARE_METATYPE(odbc::FieldValue::Kind)

namespace {
const QString Same = QStringLiteral("<same>");
}

class TestCellConversion : public QObject {
    Q_OBJECT

private:
    /** One row: a field of `sqlType` whose value arrives as text. */
    static void textRow(const char* name, int sqlType, const QByteArray& input, CellValue::Type type, double number = 0,
        const QString& text = Same)
    {
        QTest::newRow(name) << sqlType << Kind::Text << input << 0.0 << type << number << text;
    }
    static void doubleRow(const char* name, int sqlType, double input, CellValue::Type type, double number = 0,
        const QString& text = QString())
    {
        QTest::newRow(name) << sqlType << Kind::Double << QByteArray() << input << type << number << text;
    }

private slots:
    void conversion_data()
    {
        QTest::addColumn<int>("sqlType");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<double>("inputNumber");
        QTest::addColumn<CellValue::Type>("type");
        QTest::addColumn<double>("number");
        QTest::addColumn<QString>("text"); // for Text cells; <same> = the input

        const auto N = CellValue::Number, T = CellValue::Text, B = CellValue::Boolean, D = CellValue::Date,
                   Tm = CellValue::Time, DT = CellValue::DateTime;

        // Integers: exact up to 2^53.
        textRow("int", SQL_INTEGER, "42", N, 42);
        textRow("negative int", SQL_INTEGER, "-2147483648", N, -2147483648.0);
        textRow("-0", SQL_SMALLINT, "-0", N, 0);
        textRow("tinyint 255", SQL_TINYINT, "255", N, 255);
        textRow("2^53", SQL_BIGINT, "9007199254740992", N, 9007199254740992.0);
        textRow("-2^53", SQL_BIGINT, "-9007199254740992", N, -9007199254740992.0);
        textRow("2^53 + 1", SQL_BIGINT, "9007199254740993", T);
        textRow("2^54, exact in a double all the same", SQL_BIGINT, "18014398509481984", T);
        textRow("bigint max", SQL_BIGINT, "9223372036854775807", T);
        textRow("bigint min", SQL_BIGINT, "-9223372036854775808", T);

        // Decimals: a number when the file gives back the very digits.
        textRow("0.10", SQL_DECIMAL, "0.10", N, 0.1);
        textRow("-0.00", SQL_NUMERIC, "-0.00", N, 0);
        textRow("money", SQL_DECIMAL, "1234.5600", N, 1234.56);
        textRow("bare point", SQL_DECIMAL, ".5", N, 0.5);
        textRow("16 digits", SQL_DECIMAL, "1234567890.123456", N, 1234567890.123456);
        textRow("17 digits", SQL_DECIMAL, "12345678901.234567", T);
        // Up to 15 digits, even when the double prints longer (0.07000000000000001).
        textRow("0.07", SQL_DECIMAL, "0.07", N, 0.07);
        textRow("0.56", SQL_DECIMAL, "0.56", N, 0.56);
        textRow("8.45", SQL_NUMERIC, "8.45", N, 8.45);
        textRow("money 9.8000", SQL_DECIMAL, "9.8000", N, 9.8);
        textRow("money -98765.4321", SQL_DECIMAL, "-98765.4321", N, -98765.4321);
        textRow("15 digits", SQL_NUMERIC, "123456789012.345", N, 123456789012.345);
        textRow("16 digits, shortest form of its double", SQL_DECIMAL, "0.1000000000000001", N, 0.1000000000000001);
        textRow("16 digits, the double is ...98", SQL_DECIMAL, "99999999999999.99", T);
        textRow("2^53 + 1 as a decimal", SQL_NUMERIC, "9007199254740993", T);
        textRow("20 digits and a half", SQL_NUMERIC, "12345678901234567890.5", T);
        textRow("long decimal, bare point", SQL_NUMERIC, "-.12345678901234567", T, 0, "-0.12345678901234567");
        textRow("decimal(38,0) of 10^21", SQL_NUMERIC, "1000000000000000000000", N, 1e21);
        // The double's shortest form, but the file holds sixteen digits and would give back 0.3.
        textRow("0.1 + 0.2 spelled out", SQL_DECIMAL, "0.30000000000000004", T);
        textRow("not a number", SQL_DECIMAL, "12a", T);
        textRow("float as text", SQL_FLOAT, "1.5E+10", N, 1.5e10);

        // Floating point arrives as double.
        doubleRow("double 0.1", SQL_DOUBLE, 0.1, N, 0.1);
        doubleRow("double -0", SQL_DOUBLE, -0.0, N, 0);
        doubleRow("double 0.1 + 0.2", SQL_DOUBLE, 0.1 + 0.2, T, 0, "0.30000000000000004");
        doubleRow("double 1 + 2^-52", SQL_FLOAT, 1.0000000000000002, T, 0, "1.0000000000000002");
        doubleRow("NaN", SQL_DOUBLE, std::nan(""), T, 0, "NaN");
        doubleRow("infinity", SQL_DOUBLE, HUGE_VAL, T, 0, "Infinity");
        doubleRow("-infinity", SQL_DOUBLE, -HUGE_VAL, T, 0, "-Infinity");
        doubleRow("real 0.1 shows as 0.1", SQL_REAL, double(0.1f), N, 0.1);
        doubleRow("real 16777217 is 16777216", SQL_REAL, double(16777216.0f), N, 16777216);

        // Dates in the 1900 date system, with its 1900-02-29; the days before
        // it are text, as Excel and Calc would show their serials a day apart.
        textRow("1899-12-31", SQL_TYPE_DATE, "1899-12-31", T);
        textRow("1900-01-01", SQL_TYPE_DATE, "1900-01-01", T);
        textRow("1900-02-28", SQL_TYPE_DATE, "1900-02-28", T);
        textRow("1900-03-01", SQL_TYPE_DATE, "1900-03-01", D, 61);
        textRow("2000-02-29", SQL_DATE, "2000-02-29", D, 36585);
        textRow("9999-12-31", SQL_TYPE_DATE, "9999-12-31", D, 2958465);
        textRow("0001-01-01", SQL_TYPE_DATE, "0001-01-01", T);
        textRow("year 1 as FreeTDS writes it, in ISO form", SQL_TYPE_DATE, "1-01-01", T, 0, "0001-01-01");
        textRow("year 999 date-time, in ISO form", SQL_TYPE_TIMESTAMP, "999-12-31 23:59:59.0000000", T, 0,
            "0999-12-31 23:59:59.0000000");
        textRow("1900-02-29 never was", SQL_TYPE_DATE, "1900-02-29", T);
        textRow("2023-02-30", SQL_TYPE_DATE, "2023-02-30", T);
        textRow("date with junk", SQL_TYPE_DATE, "2023-01-01x", T);
        textRow("time", SQL_TYPE_TIME, "12:00:00", Tm, 0.5);
        textRow("time with fraction", SqlServerTime2, "06:00:00.5000000", Tm, (6 * 3600 + 0.5) / 86400);
        textRow("time 23:59:59", SQL_TIME, "23:59:59", Tm, 86399.0 / 86400);
        textRow("time 24:00:00", SQL_TYPE_TIME, "24:00:00", T);
        textRow("time without seconds", SQL_TYPE_TIME, "12:00", T);
        textRow("datetime", SQL_TYPE_TIMESTAMP, "2023-03-15 18:00:00", DT, 45000.75);
        textRow("datetime with ms", SQL_TYPE_TIMESTAMP, "1900-03-01 00:00:00.500", DT, 61 + 0.5 / 86400);
        textRow("datetime with T", SQL_TIMESTAMP, "2023-03-15T18:00:00", DT, 45000.75);
        textRow("datetime, date only", SQL_TYPE_TIMESTAMP, "2023-03-15", DT, 45000);
        textRow("datetime 1753", SQL_TYPE_TIMESTAMP, "1753-01-01 00:00:00", T);
        textRow(
            "datetime last instant", SQL_TYPE_TIMESTAMP, "9999-12-31 23:59:59.997", DT, 2958465 + (86399.997) / 86400);
        textRow("datetime2 last instant kept at .999", SQL_TYPE_TIMESTAMP, "9999-12-31 23:59:59.9999999", DT,
            2958465 + 86399.999 / 86400);
        textRow("datetime2 last millisecond", SQL_TYPE_TIMESTAMP, "9999-12-31 23:59:59.9990000", DT,
            2958465 + 86399.999 / 86400);
        textRow("datetime2 first date cell", SQL_TYPE_TIMESTAMP, "1900-03-01 00:00:00.0000000", DT, 61);
        textRow("datetime2 before it", SQL_TYPE_TIMESTAMP, "1900-02-28 23:59:59.9999999", T);
        textRow("datetime2 10000-01-01", SQL_TYPE_TIMESTAMP, "10000-01-01 00:00:00", T);
        textRow("time2 last instant", SqlServerTime2, "23:59:59.9999999", Tm, 86399.9999999 / 86400);

        // Bit.
        textRow("bit 1", SQL_BIT, "1", B, 1);
        textRow("bit 0", SQL_BIT, "0", B, 0);
        textRow("bit true", SQL_BIT, "True", B, 1);
        textRow("bit FALSE", SQL_BIT, "FALSE", B, 0);
        textRow("bit 2", SQL_BIT, "2", T);
        doubleRow("bit as double", SQL_BIT, 1, B, 1);

        // Text stays as stored.
        textRow("leading zeros", SQL_VARCHAR, "00123", T);
        textRow("formula-like", SQL_WVARCHAR, "=1+1", T);
        textRow("date-like", SQL_CHAR, "1/2/2003", T);
        textRow("guid", SQL_GUID, "6F9619FF-8B86-D011-B42D-00C04FC964FF", T);
        textRow("xml", -152, "<a b=\"1\"/>", T);
        textRow("non-BMP", SQL_WLONGVARCHAR, "\xF0\x9F\x98\x80", T);
        textRow("empty text", SQL_VARCHAR, "", T, 0, "");
    }

    void conversion()
    {
        QFETCH(int, sqlType);
        QFETCH(Kind, kind);
        QFETCH(QByteArray, input);
        QFETCH(double, inputNumber);
        QFETCH(CellValue::Type, type);
        QFETCH(double, number);
        QFETCH(QString, text);

        odbc::FieldInfo field;
        field.sqlType = SQLSMALLINT(sqlType);
        odbc::FieldValue value;
        value.kind = kind;
        value.bytes = input.toStdString();
        value.number = inputNumber;
        value.utf16Length = std::size_t(QString::fromUtf8(input).size());
        std::string scratch;
        bool truncated = false;
        const CellValue cell = ToCell(field, value, scratch, truncated);

        QCOMPARE(int(cell.type), int(type));
        QVERIFY(!truncated);
        switch (type) {
        case CellValue::Text: {
            const QString got = QString::fromUtf8(cell.text.data(), qsizetype(cell.text.size()));
            QCOMPARE(got, text == Same ? QString::fromUtf8(input) : text);
            QCOMPARE(cell.utf16Length, std::size_t(got.size()));
            break;
        }
        case CellValue::Boolean:
            QCOMPARE(cell.boolean, number == 1);
            break;
        default:
            QCOMPARE(cell.number, number);
            QVERIFY(!std::signbit(cell.number) || number < 0);
            if (type == CellValue::Number)
                QVERIFY(xl::NumberSurvivesFile(cell.number));
            // What the workbook takes: serials up to 9999-12-31, times below a whole day.
            if (type == CellValue::Time)
                QVERIFY(cell.number < 1);
            if (type == CellValue::Date || type == CellValue::DateTime)
                QVERIFY(cell.number < 2958466);
            break;
        }
    }

    void everyAmountOfCentsIsANumber()
    {
        odbc::FieldInfo field;
        field.sqlType = SQL_DECIMAL;
        odbc::FieldValue value;
        value.kind = Kind::Text;
        std::string scratch;
        bool truncated = false;
        for (int cents = 1; cents < 10000; ++cents) {
            value.bytes = std::to_string(cents / 100) + '.' + char('0' + cents / 10 % 10) + char('0' + cents % 10);
            const CellValue cell = ToCell(field, value, scratch, truncated);
            QVERIFY2(cell.type == CellValue::Number, value.bytes.c_str());
            QVERIFY2(cell.number == std::strtod(value.bytes.c_str(), nullptr), value.bytes.c_str());
        }
    }

    void nullIsEmpty()
    {
        odbc::FieldInfo field;
        field.sqlType = SQL_VARCHAR;
        odbc::FieldValue value; // Null
        std::string scratch;
        bool truncated = false;
        QCOMPARE(int(ToCell(field, value, scratch, truncated).type), int(CellValue::Empty));
    }

    void binary_data()
    {
        QTest::addColumn<int>("adoType");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("longer"); // the reader kept only the start
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("truncated");
        QTest::newRow("varbinary") << 204 << QByteArray::fromHex("00ff1a") << false << "0x00FF1A" << false;
        QTest::newRow("binary, empty") << 128 << QByteArray() << false << "0x" << false;
        QTest::newRow("long binary") << 205 << QByteArray::fromHex("0102") << false << "{BINARY DATA}" << false;
        QTest::newRow("start of a longer value")
            << 204 << QByteArray(int(odbc::MaxKeptBytes), '\xAB') << true
            << "0x" + QString("AB").repeated(int(odbc::MaxKeptBytes) - 1) + "A" << true;
        QTest::newRow("short start of a longer value") << 204 << QByteArray::fromHex("01") << true << "0x01" << true;
    }

    void binary()
    {
        QFETCH(int, adoType);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, longer);
        QFETCH(QString, expected);
        QFETCH(bool, truncated);
        odbc::FieldInfo field;
        field.sqlType = SQL_VARBINARY;
        field.adoType = adoType;
        odbc::FieldValue value;
        value.kind = odbc::FieldValue::Binary;
        value.bytes = bytes.toStdString();
        value.longer = longer;
        std::string scratch;
        bool cut = false;
        const CellValue cell = ToCell(field, value, scratch, cut);
        QCOMPARE(int(cell.type), int(CellValue::Text));
        QCOMPARE(QString::fromStdString(std::string(cell.text)), expected);
        QCOMPARE(cut, truncated);
    }

    void truncation_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("longer"); // the reader kept only the start
        QTest::addColumn<int>("expectedUnits");
        QTest::addColumn<bool>("truncated");
        const QString pair = QString::fromUtf8("\xF0\x9F\x98\x80");
        QTest::newRow("exactly 32767") << QString(32767, 'a') << false << 32767 << false;
        QTest::newRow("32768") << QString(32768, 'a') << false << 32767 << true;
        QTest::newRow("pair across the cut") << QString(32766, 'a') + pair + "b" << false << 32766 << true;
        QTest::newRow("pair just fits") << QString(32765, 'a') + pair + "b" << false << 32767 << true;
        QTest::newRow("three-byte characters") << QString(40000, QChar(0x4E2D)) << false << 32767 << true;
        QTest::newRow("pairs only, 32768 units") << pair.repeated(16384) << false << 32766 << true;
        QTest::newRow("start of a longer value") << QString(32767, 'a') << true << 32767 << true;
        QTest::newRow("start of a longer value, astral")
            << QString(10000, QChar(0x4E2D)) + pair << true << 10002 << true;
    }

    void truncation()
    {
        QFETCH(QString, input);
        QFETCH(bool, longer);
        QFETCH(int, expectedUnits);
        QFETCH(bool, truncated);
        odbc::FieldInfo field;
        field.sqlType = SQL_WLONGVARCHAR;
        odbc::FieldValue value;
        value.kind = odbc::FieldValue::Text;
        value.bytes = input.toStdString();
        value.utf16Length = std::size_t(input.size());
        value.longer = longer;
        std::string scratch;
        bool cut = false;
        const CellValue cell = ToCell(field, value, scratch, cut);
        const QString got = QString::fromUtf8(cell.text.data(), qsizetype(cell.text.size()));
        QCOMPARE(cut, truncated);
        QCOMPARE(got.size(), expectedUnits);
        QCOMPARE(cell.utf16Length, std::size_t(expectedUnits));
        QCOMPARE(got, input.left(expectedUnits));
        QVERIFY(!got.back().isHighSurrogate());
    }

    void longHexIsCut()
    {
        odbc::FieldInfo field;
        field.sqlType = SQL_VARBINARY;
        field.adoType = 204;
        odbc::FieldValue value;
        value.kind = odbc::FieldValue::Binary;
        value.bytes.assign(20000, '\xAB');
        std::string scratch;
        bool truncated = false;
        const CellValue cell = ToCell(field, value, scratch, truncated);
        QVERIFY(truncated);
        QCOMPARE(cell.text.size(), xl::MaxCellChars);
        QVERIFY(cell.text.starts_with("0xABAB"));
    }
};

QTEST_GUILESS_MAIN(TestCellConversion)
#include "tst_cellconversion.moc"
