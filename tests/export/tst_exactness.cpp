#include "Wizard.h"
#include "XlsxReader.h"

#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTest>

namespace {
TableWindow& exportAll(Wizard& wizard, const QString& database)
{
    wizard.storeConnectingSettings(database);
    wizard.start();
    TableWindow& tables = *wizard.tableWindow();
    QTest::mouseClick(tables.selectAllButton, Qt::LeftButton);
    Click(tables.finishButton);
    return tables;
}
} // namespace

/**
 * Every value of a table arrives as it is stored: read back with openpyxl, a
 * reader that shares nothing with the writer.
 */
class TestExactness : public QObject {
    Q_OBJECT

private:
    XlsxBook m_book;
    QStringList m_boxes;

private slots:
    void initTestCase()
    {
        Wizard wizard;
        const QString db = wizard.odbc.createDatabase("exact.sqlite",
            {"CREATE TABLE Exact (Id integer, Big bigint, Amount decimal(20,4), Ratio float, Born date, Stamp "
             "datetime, "
             "At time, Flag bit, Code varchar(40), Body text, Small varbinary(16), Picture longvarbinary, Raw blob)",
                "INSERT INTO Exact VALUES (1, 9007199254740992, 12.5, 0.1, '1899-12-31', '2024-01-02 03:04:05', "
                "'13:45:30', 1, "
                "'00123', 'plain', x'00FF10', x'0102', x'03')",
                "INSERT INTO Exact VALUES (2, 9007199254740993, 0.0001, 1e300, '1900-01-01', '1900-03-01 00:00:00', "
                "'00:00:01', 0, '=1+1', 'Clef 𝄞 and 😀', x'', NULL, NULL)",
                "INSERT INTO Exact VALUES (3, -42, NULL, -2.5, '2024-02-29', '9999-12-31 23:59:59', NULL, NULL, "
                "'12345678901234567890', 'a' || char(1) || 'b' || char(9) || 'c' || char(10) || 'd', NULL, NULL, NULL)",
                "INSERT INTO Exact VALUES (4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 'TRUE', printf('%.*c', 32767, "
                "'q'), "
                "NULL, NULL, NULL)",
                "INSERT INTO Exact VALUES (5, 0, NULL, NULL, NULL, NULL, NULL, NULL, '2024-01-01', NULL, NULL, NULL, "
                "NULL)",
                "INSERT INTO Exact VALUES (6, 1, NULL, NULL, NULL, NULL, NULL, NULL, '1E5', NULL, NULL, NULL, NULL)"});
        TableWindow& tables = exportAll(wizard, db);
        m_boxes = wizard.boxes.texts();
        m_book = ReadXlsx(tables.lastWorkbookPath());
    }

    void exportedWithoutComplaint()
    {
        QVERIFY2(m_book.error.isEmpty(), qPrintable(m_book.error));
        QCOMPARE(m_boxes, QStringList({"Done."}));
        QCOMPARE(m_book.names(), QStringList({"Exact"}));
    }

    void cells_data()
    {
        QTest::addColumn<QString>("cell");
        QTest::addColumn<QString>("type"); // "" for an empty cell
        QTest::addColumn<QString>("value"); // text, number as %.17g, date as ISO
        auto row = [](const char* cell, const char* type, const QString& value) {
            QTest::newRow(cell) << QString(cell) << QString(type) << value;
        };
        // Field names.
        row("A1", "text", "Id");
        row("M1", "text", "Raw");
        // Integers: exact numbers up to 2^53, exact digits beyond.
        row("B2", "number", "9007199254740992");
        row("B3", "text", "9007199254740993");
        row("B4", "number", "-42");
        row("B6", "number", "0");
        row("B5", "", "");
        // Decimals as the driver reports them (this driver calls them character data).
        row("C2", "text", "12.5");
        row("C3", "text", "0.0001");
        // Floating point survives exactly.
        row("D2", "number", "0.10000000000000001");
        row("D3", "number", "1.0000000000000001e+300");
        row("D4", "number", "-2.5");
        // Dates: before 1900-03-01 stays text; the others are dates.
        row("E2", "text", "1899-12-31");
        row("E3", "text", "1900-01-01");
        row("E4", "date", "2024-02-29T00:00:00");
        row("F2", "date", "2024-01-02T03:04:05");
        row("F3", "date", "1900-03-01T00:00:00");
        row("F4", "date", "9999-12-31T23:59:59");
        row("G2", "date", "13:45:30");
        row("G3", "date", "00:00:01");
        // Bit.
        row("H2", "boolean", "true");
        row("H3", "boolean", "false");
        // Codes and texts that look like something else stay text.
        row("I2", "text", "00123");
        row("I3", "text", "=1+1");
        row("I4", "text", "12345678901234567890");
        row("I5", "text", "TRUE");
        row("I6", "text", "2024-01-01");
        row("I7", "text", "1E5");
        row("J3", "text", QStringLiteral("Clef 𝄞 and 😀"));
        row("J4", "text", QStringLiteral("a\u0001b\tc\nd"));
        row("J5", "text", QString(32767, 'q'));
        // Binary: hex for a sized column, a marker for long binary that holds a value; null stays empty.
        row("K2", "text", "0x00FF10");
        row("K3", "text", "0x");
        row("K4", "", "");
        row("L2", "text", "{BINARY DATA}");
        row("L3", "", "");
        row("M2", "text", "{BINARY DATA}");
        row("M3", "", "");
    }

    void cells()
    {
        QFETCH(QString, cell);
        QFETCH(QString, type);
        QFETCH(QString, value);
        QVERIFY(!m_book.sheets.isEmpty());
        const auto& cells = m_book.sheets[0].cells;
        if (type.isEmpty()) {
            QVERIFY2(!cells.contains(cell), qPrintable(cells.value(cell).raw));
            return;
        }
        QVERIFY(cells.contains(cell));
        const XlsxCell& c = cells[cell];
        QCOMPARE(c.type, type);
        if (type == "text")
            QCOMPARE(c.text, value);
        else if (type == "number")
            QCOMPARE(QString::asprintf("%.17g", c.number), value);
        else if (type == "boolean")
            QCOMPARE(c.boolean ? QStringLiteral("true") : QStringLiteral("false"), value);
        else
            QVERIFY2(c.iso.endsWith(value), qPrintable(c.iso));
    }
};

QTEST_MAIN(TestExactness)
#include "tst_exactness.moc"
