// "Finish": copies every ticked table into a worksheet of its own.

#include "export/TableExport.h"

#include "export/CellConversion.h"
#include "export/RowReader.h"
#include "export/SheetNames.h"
#include "export/TableSource.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"

#include <QFileInfo>
#include <QLocale>
#include <cmath>

namespace {

/**
 * The name the workbook file is given: the database's whole name, or, where
 * the database is a file (SQLite), that file's name without its folder and
 * extension. The workbook model replaces what a file name cannot hold.
 */
QString documentName(const ConnectionSettings& settings, bool fileDatabase)
{
    if (!fileDatabase)
        return settings.database;
    const QString base = QFileInfo(settings.database).completeBaseName();
    return base.isEmpty() ? settings.database : base;
}

/** A count as a reader expects it: 767,909. */
QString counted(long long n)
{
    return QLocale(QLocale::English).toString(n);
}

/**
 * What became of one table. However many of its steps or cells fail, the
 * table gets one report, made from this when its copy is over. What became
 * of its values (cut, or written as text) is no failure: it goes into the
 * notice shown before "Done.".
 */
struct TableOutcome {
    QString name; // as listed
    long long rowTotal = -1; // -1: the count could not be taken
    long long rowsCopied = 0;
    long long cut = 0; // values cut to what a cell holds
    long long asText = 0; // values that went in as plain text
    bool notCopied = false; // the table could not be opened
    bool stoppedEarly = false; // reading ended before the last row
    bool connectionLost = false;
    int failedLine = 0; // the first step that failed, and its words
    QString failure;

    void failed(int line, const QString& words)
    {
        if (failure.isEmpty()) {
            failedLine = line;
            failure = words;
        }
    }
    /**
     * Runs one step of the table's copy; a failure is kept for the table's
     * report. The workbook's storage failing is no table's fault: it goes on
     * to end the export.
     */
    template <class F>
    bool attempt(int line, F&& work)
    {
        try {
            work();
            return true;
        } catch (const xl::StorageError&) {
            throw;
        } catch (const ProgramEnded&) {
            throw;
        } catch (...) {
            failed(line, ErrorTrap::describe(std::current_exception()));
            return false;
        }
    }
    /** Reading ended before the last row. */
    void stop() { stoppedEarly = true; }
    /** Reading ended, early when `why` says so (or `always`), at `line`. */
    void stopIfFailed(int line, std::exception_ptr why, bool always = false)
    {
        if (why)
            failed(line, ErrorTrap::describe(why));
        stoppedEarly = stoppedEarly || always || why;
    }
    bool worthReporting() const { return !failure.isEmpty(); }
    int line() const { return failedLine ? failedLine : 202; }

    QString report() const
    {
        QStringList parts;
        // The driver gives up on a server that sends nothing for its time limit.
        const bool silent = failure.contains(QLatin1String("[HYT00]")) || failure.contains(QLatin1String("[HYT01]"));
        const QString lost = silent ? QStringLiteral("the server stopped answering")
            : connectionLost        ? QStringLiteral("the connection was lost")
                                    : QStringLiteral("reading it failed");
        if (notCopied) {
            parts << QStringLiteral("Table %1 was not copied; %2: %3").arg(name, lost, failure);
        } else if (stoppedEarly) {
            const QString of = rowTotal >= 0 ? QStringLiteral(" of ") + counted(rowTotal) : QString();
            parts << QStringLiteral("Table %1: %2%3 rows copied; %4: %5")
                         .arg(name, counted(rowsCopied), of, lost, failure);
        } else if (!failure.isEmpty()) {
            parts << QStringLiteral("Table %1: %2").arg(name, failure);
        }
        return parts.join(QStringLiteral("\n"));
    }

    /** What became of the table's values, in one line; empty when all went in as they are. */
    QString notice() const
    {
        QStringList parts;
        if (cut > 0)
            parts << QStringLiteral("%1 value(s) were longer than the 32,767 characters a cell holds and were cut to "
                                    "their first 32,767 characters")
                         .arg(counted(cut));
        if (asText > 0)
            parts << QStringLiteral("%1 value(s) could not be written as their type and went in as text")
                         .arg(counted(asText));
        return parts.isEmpty() ? QString()
                               : QStringLiteral("Table %1: %2.").arg(name, parts.join(QStringLiteral("; ")));
    }
};

/**
 * Writes a converted value into its cell. A value the cell will not take as
 * converted still shows, as plain text, and is counted; it never ends the
 * table. `cell` may point into `scratch`, which the plain text then reuses.
 */
void writeValue(xl::Worksheet& sheet, long row, long column, const xl::CellValue& cell, const odbc::FieldValue& value,
    bool truncated, std::string& scratch, TableOutcome& outcome)
{
    try {
        sheet.write(row, column, cell);
        return;
    } catch (const xl::StorageError&) {
        throw;
    } catch (...) { }
    bool plainCut = false;
    if (outcome.attempt(202, [&] { sheet.write(row, column, PlainTextCell(value, scratch, plainCut)); })) {
        ++outcome.asText;
        if (plainCut && !truncated)
            ++outcome.cut;
    }
}

} // namespace

/**
 * One press of "Finish", step by step: open the connection and a workbook of
 * one sheet; for each ticked table open it, copy its rows (continued on
 * further sheets when a sheet is full), report its outcome once and open a
 * lost connection again once; then write and open the workbook and say
 * "Done.". The numbers beside the steps are the line labels the error report
 * names. Wherever it waits (the server, the disk, rows on their way, the
 * window's turn) the event loop goes on.
 */
class ExportRun {
public:
    ExportRun(std::vector<SqlServer::ListedTable> tables, ExportView& view, ErrorTrap& trap);
    ~ExportRun();
    ExportRun(const ExportRun&) = delete;
    ExportRun& operator=(const ExportRun&) = delete;

    /** 110-126: false when there is no connection or no workbook to copy into. */
    Async::Task<bool> open();
    /** 128-206 for every ticked table in list order; the workbook's storage failing ends them all. */
    Async::Task<> copyTickedTables();
    /** 212-214: the workbook is written completely, then opened. */
    Async::Task<> writeWorkbook();
    /** 216-228: the progress bar and the pointer as they were, the notice, "Done.". */
    Async::Task<> finish();

    const QString& written() const { return m_written; }

private:
    using Fields = std::vector<odbc::FieldInfo>;

    Async::Task<> openConnection();
    Async::Task<bool> reopenConnection(int i);
    Async::Task<bool> copyTable(int i);
    void showTable(int i);
    Async::Task<xl::Worksheet*> openTable(const SqlServer::ListedTable& table, TableOutcome& outcome);
    Async::Task<> copyRows(const SqlServer::ListedTable& table, xl::Worksheet* sheet, TableOutcome& outcome);
    Async::Task<xl::Worksheet*> continueOnNewSheet(
        const SqlServer::ListedTable& table, const Fields& fields, long long n, TableOutcome& outcome);
    Async::Task<> writeHeader(xl::Worksheet& sheet, const Fields& fields, TableOutcome& outcome);
    int writeFields(xl::Worksheet& sheet, long sheetRow, const Fields& fields, const RowReader::Row& row, int from,
        bool turnTaken, TableOutcome& outcome);
    void writeField(xl::Worksheet& sheet, long sheetRow, int f, const odbc::FieldInfo& field, const RowReader::Row& row,
        TableOutcome& outcome);
    bool turnDue();
    Async::Task<> roomToWrite();

    const std::vector<SqlServer::ListedTable> m_tables;
    ExportView& m_view;
    ErrorTrap& m_trap;
    std::unique_ptr<odbc::Connection> m_connection;
    std::unique_ptr<odbc::Recordset> m_recordset;
    ConnectionSettings m_settings;
    int m_openLine = 118;
    std::unique_ptr<xl::Application> m_excel;
    xl::Workbook* m_workbook = nullptr;
    /** The writer of the file took a buffer: one who waits for room may go on. */
    Async::Signal m_writerRoom;
    bool m_firstSheet = true; // 128
    QString m_currentName;
    std::string m_scratch;
    bool m_storageFailed = false;
    QStringList m_notices; // one line a table whose values did not all go in as they are
    QString m_written;
};

ExportRun::ExportRun(std::vector<SqlServer::ListedTable> tables, ExportView& view, ErrorTrap& trap)
    : m_tables(std::move(tables)), m_view(view), m_trap(trap)
{
    m_trap.step(100, [&] { m_connection = std::make_unique<odbc::Connection>(); });
    m_trap.step(102, [&] { m_recordset = std::make_unique<odbc::Recordset>(); });
    xl::Application::setRoomNotice([signal = m_writerRoom]() mutable { signal.notify(); });
}

ExportRun::~ExportRun()
{
    xl::Application::setRoomNotice(nullptr);
}

Async::Task<> ExportRun::openConnection()
{
    if (!m_connection)
        throw quorvane::Error(91, QStringLiteral("Object variable not set"));
    m_connection = co_await SqlServer::Connect(m_settings);
}

Async::Task<bool> ExportRun::open()
{
    m_trap.step(110, [&] { m_view.setBusyPointer(true); });
    // 114-118: a connection that cannot be opened leaves nothing to copy.
    m_settings = SqlServer::CurrentConnectionSettings();
    m_openLine = m_settings.local ? 116 : 118;
    const std::exception_ptr failed = co_await Async::failureOf(openConnection());
    if (!m_trap.passed(m_openLine, failed))
        co_return false;
    const bool created = m_trap.step(120, [&] {
        m_excel = std::make_unique<xl::Application>();
        m_excel->setDocumentName(documentName(m_settings, m_connection->isFileDatabase()));
    });
    if (!created || !m_trap.step(122, [&] { m_workbook = m_excel->addWorkbook(); }) || !m_workbook)
        co_return false;
    while (m_trap.loopTest(124, [&] { return m_workbook->count() > 1; }))
        if (!m_trap.step(126, [&] { m_workbook->deleteWorksheet(m_workbook->count()); }))
            break;
    co_return true;
}

Async::Task<> ExportRun::copyTickedTables()
{
    try {
        for (int i = 1; i <= int(m_tables.size()); ++i) { // 130
            if (!m_view.ticked(i)) // 132
                continue;
            const bool lost = co_await copyTable(i);
            if (!lost)
                continue;
            const bool reopened = co_await reopenConnection(i);
            if (!reopened)
                break;
        }
    } catch (const xl::StorageError& e) {
        // The disk or the folder: nothing of the workbook can be trusted now.
        m_storageFailed = true;
        m_trap.reportAt(
            202, e.description() + QStringLiteral("\nThe export stopped there and no workbook was opened."));
    }
}

/** Copies table `i` and tells what became of it; true when the connection was lost on the way. */
Async::Task<bool> ExportRun::copyTable(int i)
{
    const SqlServer::ListedTable& table = m_tables[std::size_t(i - 1)];
    m_currentName = table.name; // 134
    showTable(i);
    TableOutcome outcome;
    outcome.name = table.name;
    xl::Worksheet* sheet = co_await openTable(table, outcome);
    if (sheet)
        co_await copyRows(table, sheet, outcome);
    if (outcome.notCopied || outcome.stoppedEarly)
        outcome.connectionLost = m_connection->lost(outcome.failure);
    if (outcome.worthReporting())
        m_trap.reportAt(outcome.line(), outcome.report());
    if (!outcome.notice().isEmpty())
        m_notices << outcome.notice();
    co_return outcome.connectionLost;
}

void ExportRun::showTable(int i)
{
    m_trap.step(136, [&] { m_view.setProgress(int(std::nearbyint(double(i) / double(m_tables.size()) * 100.0))); });
    m_trap.step(138, [&] { m_view.setProgressText(QStringLiteral("Processing: ") + m_currentName); });
}

/** 140-152: the table's rows and the worksheet they go to; nothing when the table cannot be opened. */
Async::Task<xl::Worksheet*> ExportRun::openTable(const SqlServer::ListedTable& table, TableOutcome& outcome)
{
    outcome.attempt(140, [&] {
        if (m_recordset->state() != 0)
            m_recordset->close();
    });
    const QString source = TableSource::Query(m_currentName, table.schema.toString());
    const std::exception_ptr failed = co_await Async::failureOf(
        Async::wholly([&] { m_recordset->open(source, *m_connection, odbc::adOpenStatic, odbc::adLockReadOnly); }));
    if (!outcome.attempt(144, [&] { Async::rethrow(failed); })) {
        outcome.notCopied = true;
        co_return nullptr;
    }
    xl::Worksheet* sheet = nullptr;
    if (m_firstSheet) {
        m_trap.step(148, [&] { sheet = m_workbook->activeSheet(); });
        m_firstSheet = false; // 150
    } else {
        m_trap.step(152, [&] { sheet = m_workbook->addWorksheet(); });
    }
    if (sheet)
        SheetNames::NameWorksheet(m_trap, m_currentName, *m_workbook, *sheet);
    co_return sheet;
}

/**
 * 176-206: the field names, then every row. The rows are read ahead on a
 * thread of their own, so the window answers however long the server takes.
 */
Async::Task<> ExportRun::copyRows(const SqlServer::ListedTable& table, xl::Worksheet* sheet, TableOutcome& outcome)
{
    outcome.attempt(176, [&] { outcome.rowTotal = m_recordset->recordCount(); });
    int fieldCount = 0;
    outcome.attempt(178, [&] { fieldCount = m_recordset->fieldCount(); });
    Fields fields;
    for (int f = 0; f < fieldCount; ++f)
        fields.push_back(m_recordset->field(f));
    co_await writeHeader(*sheet, fields, outcome);
    RowReader rows(*m_recordset, fields);
    long sheetRow = 2;
    // 186: the rows themselves bound the loop; the row total is only the "from" figure.
    for (long long n = 1;; ++n, ++sheetRow) {
        const RowReader::Row* row = rows.next();
        while (!row && rows.pending()) {
            co_await rows.arrival();
            row = rows.next();
        }
        if (!row)
            co_return outcome.stopIfFailed(rows.failedLine(), rows.failure());
        if (turnDue()) // 188
            co_await Async::nextTurn();
        m_view.setRowText(m_currentName, n, outcome.rowTotal); // 190
        if (sheetRow > xl::MaxRows) {
            sheet = co_await continueOnNewSheet(table, fields, n, outcome);
            if (!sheet)
                co_return outcome.stop();
            sheetRow = 2;
        }
        if (row->read < int(fields.size())) // 202: a field of it could not be read
            co_return outcome.stopIfFailed(rows.failedLine(), rows.failure(), true);
        // 192-204: the row's fields, the event loop's turns among them. Written
        // whole or not at all, so the sheet holds exactly the rows the report
        // counts, and its rows stay in order for the writer.
        for (int f = writeFields(*sheet, sheetRow, fields, *row, 0, false, outcome); f < int(fields.size());) {
            co_await Async::nextTurn();
            f = writeFields(*sheet, sheetRow, fields, *row, f, true, outcome);
        }
        outcome.rowsCopied = n; // 206: the next row is read ahead
        if (m_excel->writerBehind())
            co_await roomToWrite();
    }
}

/** A worksheet is full: the table goes on in a further worksheet, named the same way. */
Async::Task<xl::Worksheet*> ExportRun::continueOnNewSheet(
    const SqlServer::ListedTable& table, const Fields& fields, long long n, TableOutcome& outcome)
{
    m_currentName = table.name;
    xl::Worksheet* sheet = nullptr;
    m_trap.step(152, [&] { sheet = m_workbook->addWorksheet(); });
    if (!sheet)
        co_return nullptr;
    SheetNames::NameWorksheet(m_trap, m_currentName, *m_workbook, *sheet);
    m_view.setRowText(m_currentName, n, outcome.rowTotal);
    co_await writeHeader(*sheet, fields, outcome);
    co_return sheet;
}

Async::Task<> ExportRun::writeHeader(xl::Worksheet& sheet, const Fields& fields, TableOutcome& outcome)
{
    for (std::size_t f = 0; f < fields.size(); ++f) {
        if (turnDue()) // 180
            co_await Async::nextTurn();
        outcome.attempt(182, [&] { sheet.writeText(1, long(f) + 1, fields[f].name); });
    }
}

/**
 * 192-204: the row's fields from `from` on, until the window is due its turn
 * (`turnTaken`: the one due at `from` has just been taken). Answers the field
 * to go on from, the field count when the row is done.
 */
int ExportRun::writeFields(xl::Worksheet& sheet, long sheetRow, const Fields& fields, const RowReader::Row& row,
    int from, bool turnTaken, TableOutcome& outcome)
{
    const int fieldCount = int(fields.size());
    for (int f = from; f < fieldCount; ++f) { // 192
        if (!(turnTaken && f == from) && turnDue()) // 194
            return f;
        m_view.setFieldText(f + 1, fieldCount); // 196
        writeField(sheet, sheetRow, f, fields[std::size_t(f)], row, outcome);
    }
    return fieldCount;
}

/** One value, made into its cell on the reader's thread, goes into the sheet. */
void ExportRun::writeField(xl::Worksheet& sheet, long sheetRow, int f, const odbc::FieldInfo& field,
    const RowReader::Row& row, TableOutcome& outcome)
{
    const auto i = std::size_t(f);
    const odbc::FieldValue& value = row.values[i];
    if (field.adoType == odbc::adLongVarBinary) { // 198: a null leaves the cell empty
        if (value.kind != odbc::FieldValue::Null)
            outcome.attempt(200, [&] { sheet.write(sheetRow, f + 1, AsciiTextCell(BinaryDataText)); });
        return;
    }
    const bool truncated = row.truncated[i];
    if (truncated)
        ++outcome.cut;
    if (row.cells[i].type != xl::CellValue::Empty)
        writeValue(sheet, sheetRow, f + 1, row.cells[i], value, truncated, m_scratch, outcome);
}

/** A yield point: true when the window is due its turn. Leaves the export once the program has ended. */
bool ExportRun::turnDue()
{
    const bool due = m_view.turnDue();
    if (ProgramEnd::ended())
        throw ProgramEnded{};
    return due;
}

/** The file's writer is behind (a slow disk): the export waits for it, the window answering meanwhile. */
Async::Task<> ExportRun::roomToWrite()
{
    while (m_excel->writerBehind())
        co_await m_writerRoom.next();
}

/**
 * A lost connection is opened again once; when that fails the rest cannot be
 * copied, and one report names what was left out. False then.
 */
Async::Task<bool> ExportRun::reopenConnection(int i)
{
    TableOutcome closing; // what fails here was told with the table
    closing.attempt(140, [&] { m_recordset->close(); });
    closing.attempt(228, [&] { m_connection->close(); });
    TableOutcome reopening;
    const std::exception_ptr failed = co_await Async::failureOf(openConnection());
    if (reopening.attempt(m_openLine, [&] { Async::rethrow(failed); }))
        co_return true;
    QStringList left;
    for (int k = i + 1; k <= int(m_tables.size()); ++k)
        if (m_view.ticked(k))
            left << m_tables[std::size_t(k - 1)].name;
    if (!left.isEmpty())
        m_trap.reportAt(m_openLine,
            QStringLiteral("The connection could not be opened again, so these tables were not copied: %1.\n%2")
                .arg(left.join(QStringLiteral(", ")), reopening.failure));
    co_return false;
}

Async::Task<> ExportRun::writeWorkbook()
{
    if (m_storageFailed)
        co_return;
    m_trap.step(212, [&] { m_workbook->activeSheet()->autoFitColumns(); });
    // 214: the file is written completely before it is opened. Writing a large
    // workbook takes a while; the window keeps answering meanwhile.
    const std::exception_ptr failed
        = co_await Async::failureOf(Async::wholly([&] { m_written = m_excel->writeAndOpen(); }));
    m_trap.passed(214, failed);
}

Async::Task<> ExportRun::finish()
{
    // Letting go of a workbook of thousands of sheets takes a moment: the window answers meanwhile.
    co_await Async::wholly([&] {
        m_workbook = nullptr;
        m_excel.reset();
    });
    m_trap.step(216, [&] { m_view.setProgress(0); });
    m_trap.step(218, [&] {
        m_view.setProgressText(QStringLiteral("Progress Bar"));
        m_view.showLastWorkbook(m_written);
    });
    m_trap.step(220, [&] { m_view.setBusyPointer(false); });
    m_trap.step(222, [&] { m_view.restoreIfMinimized(); });
    m_trap.step(224, [&] {
        if (!m_notices.isEmpty() && !m_storageFailed)
            MsgBox::show(m_notices.join(QLatin1Char('\n')), MsgBox::Exclamation);
    });
    m_trap.step(226, [] { MsgBox::show(QStringLiteral("Done."), MsgBox::OkOnly); });
    if (m_connection && m_connection->state() != 0) {
        const std::exception_ptr failed = co_await Async::failureOf(Async::wholly([&] { m_connection->close(); }));
        m_trap.passed(228, failed);
    }
}

Async::Task<QString> ExportTables(std::vector<SqlServer::ListedTable> tables, ExportView& view, ErrorTrap& trap)
{
    ExportRun run(std::move(tables), view, trap); // 100, 102
    const bool opened = co_await run.open();
    if (opened) {
        co_await run.copyTickedTables();
        co_await run.writeWorkbook();
    }
    co_await run.finish();
    co_return run.written();
}
