#include "export/SheetNames.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"
#include "support/Seams.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
const QString Thirty = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123"); // 30 characters
const QString Forty = Thirty + QStringLiteral("456789ABCD");

} // namespace

class TestSheetNaming : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_runtime;
    std::unique_ptr<PrivateHome> m_home;
    QByteArray m_previousRuntime;

    /**
     * A workbook of one sheet (Sheet1, the one to be named, last in the tabs) and further
     * sheets with the given names, as the export has it when it names a sheet.
     */
    static xl::Workbook* prepare(xl::Application& app, const QStringList& existing)
    {
        xl::Workbook* book = app.addWorkbook();
        while (book->count() > 1)
            book->deleteWorksheet(book->count());
        for (const QString& name : existing)
            book->addWorksheet()->setName(name);
        return book;
    }

    static xl::Worksheet* sheetToName(xl::Workbook* book) { return book->worksheet(book->count()); }

    static void cases()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QString>("current"); // as the progress texts show it afterwards

        // The steps as they stand, for every name the workbook accepts.
        QTest::newRow("Orders") << QStringList{} << "Orders"
                                << "Orders"
                                << "Orders";
        QTest::newRow("orders present") << QStringList{"orders"} << "Orders"
                                        << "Orders1"
                                        << "Orders1";
        QTest::newRow("orders and Orders1 present") << QStringList{"orders", "Orders1"} << "Orders"
                                                    << "Orders2"
                                                    << "Orders2";
        QTest::newRow("named like the sheet being named") << QStringList{} << "sheet1"
                                                          << "sheet11"
                                                          << "sheet11";
        QTest::newRow("like the sheet being named, Sheet11 present") << QStringList{"Sheet11"} << "Sheet1"
                                                                     << "Sheet12"
                                                                     << "Sheet12";
        QTest::newRow("40 characters") << QStringList{} << Forty << Thirty << Thirty;
        QTest::newRow("31 characters") << QStringList{} << Thirty + "x" << Thirty << Thirty + "x";
        QTest::newRow("a[b]") << QStringList{} << "a[b]"
                              << "ab"
                              << "a[b]";
        QTest::newRow("[x] with x1 present") << QStringList{"x1"} << "[x]"
                                             << "x"
                                             << "[x]";
        QTest::newRow("unicode") << QStringList{} << QString::fromUtf8("Bücher ") + Emoji
                                 << QString::fromUtf8("Bücher ") + Emoji << QString::fromUtf8("Bücher ") + Emoji;

        // Names the workbook would refuse: made valid and unique instead.
        QTest::newRow("colon") << QStringList{} << "a:b"
                               << "a_b"
                               << "a_b";
        QTest::newRow("every forbidden character") << QStringList{} << "a/b\\c?d*e:f"
                                                   << "a_b_c_d_e_f"
                                                   << "a_b_c_d_e_f";
        QTest::newRow("control character") << QStringList{} << "a\tb"
                                           << "a_b"
                                           << "a_b";
        QTest::newRow("apostrophes at the ends") << QStringList{} << "'quoted'"
                                                 << "_quoted_"
                                                 << "_quoted_";
        QTest::newRow("apostrophe inside stays") << QStringList{} << "o'clock"
                                                 << "o'clock"
                                                 << "o'clock";
        QTest::newRow("History") << QStringList{} << "History"
                                 << "History1"
                                 << "History1";
        QTest::newRow("history, History1 present") << QStringList{"History1"} << "history"
                                                   << "history2"
                                                   << "history2";
        QTest::newRow("only brackets") << QStringList{} << "[]"
                                       << "_"
                                       << "_";
        QTest::newRow("only brackets, _ present") << QStringList{"_"} << "[]"
                                                  << "_1"
                                                  << "_1";
        QTest::newRow("a[b] with ab present") << QStringList{"ab"} << "a[b]"
                                              << "ab1"
                                              << "ab1";
        QTest::newRow("31 characters, first 30 present")
            << QStringList{Thirty} << Thirty + "x" << Thirty + "x" << Thirty + "x";
        QTest::newRow("40 characters, first 30 present")
            << QStringList{Thirty} << Forty << Thirty + "1" << Thirty + "1";
        QStringList crowded{Thirty};
        for (int i = 1; i <= 9; ++i)
            crowded << Thirty + QString::number(i);
        QTest::newRow("40 characters, first 30 with 1 to 9 present")
            << crowded << Forty << Thirty.left(29) + "10" << Thirty.left(29) + "10";
        QTest::newRow("surrogate pair at the cut")
            << QStringList{} << "a" + Emoji.repeated(15) << "a" + Emoji.repeated(15) << "a" + Emoji.repeated(15);
    }

private slots:
    void init()
    {
        m_previousRuntime = qgetenv("XDG_RUNTIME_DIR");
        m_runtime = std::make_unique<QTemporaryDir>();
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_runtime->path() + "/cache"));
        m_home = std::make_unique<PrivateHome>();
    }

    void cleanup()
    {
        qputenv("XDG_RUNTIME_DIR", m_previousRuntime);
        qunsetenv("XDG_CACHE_HOME");
        m_runtime.reset();
        m_home.reset();
    }

    void cleanSheetName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("cleaned");
        QTest::newRow("plain") << "Orders"
                               << "Orders";
        QTest::newRow("brackets") << "[a]]b["
                                  << "ab";
        QTest::newRow("cut after removing") << "[" + Forty + "]" << Thirty;
        QTest::newRow("other characters kept") << "a:b'"
                                               << "a:b'";
        QTest::newRow("empty") << ""
                               << "";
    }

    void cleanSheetName()
    {
        QFETCH(QString, name);
        QFETCH(QString, cleaned);
        QCOMPARE(SheetNames::CleanSheetName(name), cleaned);
    }

    void sheetExists_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("exists");
        QTest::newRow("same") << "Orders" << true;
        QTest::newRow("other case") << "ORDERS" << true;
        QTest::newRow("default name of another sheet") << "sheet1" << true;
        QTest::newRow("with brackets") << "[Orders]" << false;
        QTest::newRow("absent") << "Order" << false;
    }

    void sheetExists()
    {
        QFETCH(QString, name);
        QFETCH(bool, exists);
        xl::Application app;
        xl::Workbook* book = prepare(app, {"Orders"});
        QCOMPARE(SheetNames::SheetExists(name, *book), exists);
        QCOMPARE(book->count(), 2);
    }

    void nameWorksheet_data() { cases(); }

    void nameWorksheet()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, table);
        QFETCH(QString, sheet);
        QFETCH(QString, current);
        BoxRecorder boxes;
        xl::Application app;
        xl::Workbook* book = prepare(app, existing);
        QString currentName = table;
        ErrorTrap trap(Locations::TableWindowFinish);
        xl::Worksheet* named = sheetToName(book);
        SheetNames::NameWorksheet(trap, currentName, *book, *named);
        const int line = trap.line();
        QCOMPARE(boxes.texts(), QStringList()); // no step failed
        QCOMPARE(line, 168);
        QCOMPARE(named->name(), sheet);
        QCOMPARE(currentName, current);
        QCOMPARE(xl::SheetNameProblem(sheet), QString());
    }

    void nameWorksheetUnderTrap_data() { cases(); }

    void nameWorksheetUnderTrap()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, table);
        QFETCH(QString, sheet);
        QFETCH(QString, current);
        BoxRecorder boxes;
        xl::Application app;
        xl::Workbook* book = prepare(app, existing);
        QString currentName = table;
        ErrorTrap trap(Locations::TableWindowFinish);
        xl::Worksheet* named = sheetToName(book);
        SheetNames::NameWorksheet(trap, currentName, *book, *named);
        QCOMPARE(boxes.texts(), QStringList());
        QCOMPARE(named->name(), sheet);
        QCOMPARE(currentName, current);
    }

    void tablesInTurn()
    {
        // Tables named alike, one after the other as the export adds their sheets.
        BoxRecorder boxes;
        ErrorTrap trap(Locations::TableWindowFinish);
        xl::Application app;
        xl::Workbook* book = prepare(app, {});
        QStringList names;
        const QStringList tables{"Orders", "ORDERS", "orders", "Orders1", Forty, Forty, "a:b", "a/b"};
        bool first = true;
        for (const QString& table : tables) {
            xl::Worksheet* sheet = first ? book->activeSheet() : book->addWorksheet();
            first = false;
            QString currentName = table;
            SheetNames::NameWorksheet(trap, currentName, *book, *sheet);
            names << sheet->name();
        }
        QCOMPARE(boxes.texts(), QStringList()); // no step failed
        QCOMPARE(names, (QStringList{"Orders", "ORDERS1", "orders2", "Orders11", Thirty, Thirty + "1", "a_b", "a_b1"}));
    }
};

QTEST_MAIN(TestSheetNaming)
#include "tst_sheetnaming.moc"
