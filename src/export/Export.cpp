// "Finish": copies every ticked table into a worksheet of its own.

#include "export/CellConversion.h"
#include "export/RowReader.h"
#include "export/SheetNames.h"
#include "export/TableSource.h"
#include "export/TableWindow.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"
#include "shell/Waiting.h"
#include "sqlaccess/SqlServer.h"

#include <QFileInfo>
#include <QListWidget>
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

/** One ticked entry as the export found it. */
struct ListEntry {
    QString name;
    QString schema;
    bool ticked = false;
};

} // namespace

/**
 * One press of "Finish", step by step: open the connection and a workbook of
 * one sheet; for each ticked table open it, copy its rows (continued on
 * further sheets when a sheet is full), report its outcome once and open a
 * lost connection again once; then write and open the workbook and say
 * "Done.". The numbers in the comments are the lines the error report names.
 */
class ExportRun {
public:
    ExportRun(TableWindow& form, ErrorTrap& trap);
    ~ExportRun();
    ExportRun(const ExportRun&) = delete;
    ExportRun& operator=(const ExportRun&) = delete;

    /** 110-126: false when there is no connection or no workbook to copy into. */
    bool open();
    /** 128-206 for every ticked entry in list order; the workbook's storage failing ends them all. */
    void copyTickedTables();
    /** 212-214: the workbook is written completely, then opened. */
    void writeWorkbook();
    /** 216-228: the progress bar and the pointer as they were, the notice, "Done.". */
    void finish();

private:
    using Fields = std::vector<odbc::FieldInfo>;

    void watchForRefill();
    void readEntries();
    bool ticked(int i) const;
    void openConnection();
    bool reopenConnection(int i);
    bool copyTable(int i);
    void showTable(int i);
    xl::Worksheet* openTable(const ListEntry& entry, TableOutcome& outcome);
    void copyRows(const ListEntry& entry, xl::Worksheet* sheet, TableOutcome& outcome);
    xl::Worksheet* continueOnNewSheet(const ListEntry& entry, const Fields& fields, long long n, TableOutcome& outcome);
    void writeHeader(xl::Worksheet& sheet, const Fields& fields, TableOutcome& outcome);
    bool writeRow(
        xl::Worksheet& sheet, long sheetRow, const Fields& fields, const RowReader::Row& row, TableOutcome& outcome);
    void writeField(xl::Worksheet& sheet, long sheetRow, int f, const odbc::FieldInfo& field, const RowReader::Row& row,
        TableOutcome& outcome);
    void yield();

    TableWindow& m_form;
    ErrorTrap& m_trap;
    std::unique_ptr<odbc::Connection> m_connection;
    std::unique_ptr<odbc::Recordset> m_recordset;
    ConnectionSettings m_settings;
    int m_openLine = 118;
    std::unique_ptr<xl::Application> m_excel;
    xl::Workbook* m_workbook = nullptr;
    std::vector<ListEntry> m_entries;
    bool m_refilled = false;
    QMetaObject::Connection m_watch[2];
    bool m_firstSheet = true; // 128
    QString m_currentName;
    std::string m_scratch;
    bool m_storageFailed = false;
    QStringList m_notices; // one line a table whose values did not all go in as they are
};

ExportRun::ExportRun(TableWindow& form, ErrorTrap& trap) : m_form(form), m_trap(trap)
{
    m_trap.step(100, [&] { m_connection = std::make_unique<odbc::Connection>(); });
    m_trap.step(102, [&] { m_recordset = std::make_unique<odbc::Recordset>(); });
    // A cell that waits for the file's writer (a slow disk) lets the window answer meanwhile.
    xl::Application::setWhileWaiting([this] { yield(); });
}

ExportRun::~ExportRun()
{
    xl::Application::setWhileWaiting(nullptr);
    for (const QMetaObject::Connection& watch : m_watch)
        QObject::disconnect(watch);
}

/**
 * Ticks are read live as the copy reaches each entry; if "< Back" and "Next >"
 * refill the list meanwhile, the export goes on with the entries it had,
 * ticked as they were at that moment: the user asked for those tables, and a
 * refilled list says nothing else.
 */
void ExportRun::watchForRefill()
{
    const auto keepTicks = [this] {
        if (m_refilled)
            return;
        for (std::size_t j = 0; j < m_entries.size() && int(j) < m_form.tableList->count(); ++j)
            m_entries[j].ticked = m_form.tableList->item(int(j))->checkState() == Qt::Checked;
        m_refilled = true;
    };
    QAbstractItemModel* model = m_form.tableList->model();
    m_watch[0] = QObject::connect(model, &QAbstractItemModel::modelAboutToBeReset, &m_form, keepTicks);
    m_watch[1] = QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, &m_form, keepTicks);
}

void ExportRun::readEntries()
{
    const QListWidget* list = m_form.tableList;
    for (int j = 0; j < list->count(); ++j) // 130
        m_entries.push_back({list->item(j)->text(), list->item(j)->data(Qt::UserRole).toString(),
            list->item(j)->checkState() == Qt::Checked});
}

bool ExportRun::ticked(int i) const
{
    // Live while the list is the one the export started with.
    if (!m_refilled && i <= m_form.tableList->count())
        return m_form.tableList->item(i - 1)->checkState() == Qt::Checked;
    return m_entries[std::size_t(i - 1)].ticked;
}

void ExportRun::openConnection()
{
    if (!m_connection)
        throw quorvane::Error(91, QStringLiteral("Object variable not set"));
    m_connection = SqlServer::Connect(m_settings);
}

bool ExportRun::open()
{
    watchForRefill();
    m_trap.step(110, [&] { m_form.pointer.setMousePointer(WindowPointer::Hourglass); });
    // 114-118: a connection that cannot be opened leaves nothing to copy.
    m_settings = SqlServer::CurrentConnectionSettings();
    m_openLine = m_settings.local ? 116 : 118;
    if (!m_trap.step(m_openLine, [&] { openConnection(); }))
        return false;
    const bool created = m_trap.step(120, [&] {
        m_excel = std::make_unique<xl::Application>();
        m_excel->setDocumentName(documentName(m_settings, m_connection->isFileDatabase()));
    });
    if (!created || !m_trap.step(122, [&] { m_workbook = m_excel->addWorkbook(); }) || !m_workbook)
        return false;
    while (m_trap.loopTest(124, [&] { return m_workbook->count() > 1; }))
        if (!m_trap.step(126, [&] { m_workbook->deleteWorksheet(m_workbook->count()); }))
            break;
    return true;
}

void ExportRun::copyTickedTables()
{
    readEntries();
    try {
        for (int i = 1; i <= int(m_entries.size()); ++i) {
            if (!ticked(i)) // 132
                continue;
            if (copyTable(i) && !reopenConnection(i))
                break;
        }
    } catch (const xl::StorageError& e) {
        // The disk or the folder: nothing of the workbook can be trusted now.
        m_storageFailed = true;
        m_trap.reportAt(
            202, e.description() + QStringLiteral("\nThe export stopped there and no workbook was opened."));
    }
}

/** Copies entry `i` and tells what became of it; true when the connection was lost on the way. */
bool ExportRun::copyTable(int i)
{
    const ListEntry& entry = m_entries[std::size_t(i - 1)];
    m_currentName = entry.name; // 134
    showTable(i);
    TableOutcome outcome;
    outcome.name = entry.name;
    if (xl::Worksheet* sheet = openTable(entry, outcome))
        copyRows(entry, sheet, outcome);
    if (outcome.notCopied || outcome.stoppedEarly)
        outcome.connectionLost = m_connection->lost(outcome.failure);
    if (outcome.worthReporting())
        m_trap.reportAt(outcome.line(), outcome.report());
    if (!outcome.notice().isEmpty())
        m_notices << outcome.notice();
    return outcome.connectionLost;
}

void ExportRun::showTable(int i)
{
    m_trap.step(136, [&] {
        const int shown = m_refilled ? int(m_entries.size()) : m_form.tableList->count();
        m_form.progressBar->setValue(int(std::nearbyint(double(i) / double(shown) * 100.0)));
    });
    m_trap.step(138, [&] { m_form.progressBar->setText(QStringLiteral("Processing: ") + m_currentName); });
}

/** 140-152: the table's rows and the worksheet they go to; nothing when the table cannot be opened. */
xl::Worksheet* ExportRun::openTable(const ListEntry& entry, TableOutcome& outcome)
{
    outcome.attempt(140, [&] {
        if (m_recordset->state() != 0)
            m_recordset->close();
    });
    const bool opened = outcome.attempt(144, [&] {
        const QString source = SheetNames::TableQuery(m_currentName, entry.schema);
        Waiting::inPlace([&] { m_recordset->open(source, *m_connection, odbc::adOpenStatic, odbc::adLockReadOnly); });
    });
    if (!opened) {
        outcome.notCopied = true;
        return nullptr;
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
    return sheet;
}

/**
 * 176-206: the field names, then every row. The rows are read ahead on a
 * thread of their own, so the window answers however long the server takes.
 */
void ExportRun::copyRows(const ListEntry& entry, xl::Worksheet* sheet, TableOutcome& outcome)
{
    outcome.attempt(176, [&] { outcome.rowTotal = m_recordset->recordCount(); });
    int fieldCount = 0;
    outcome.attempt(178, [&] { fieldCount = m_recordset->fieldCount(); });
    Fields fields;
    for (int f = 0; f < fieldCount; ++f)
        fields.push_back(m_recordset->field(f));
    writeHeader(*sheet, fields, outcome);
    RowReader rows(*m_recordset, fields);
    long sheetRow = 2;
    // 186: the rows themselves bound the loop; the row total is only the "from" figure.
    for (long long n = 1;; ++n, ++sheetRow) {
        const RowReader::Row* row = rows.next();
        if (!row)
            return outcome.stopIfFailed(rows.failedLine(), rows.failure());
        yield(); // 188
        m_form.progressBar->setRowText(m_currentName, n, outcome.rowTotal); // 190
        if (sheetRow > xl::MaxRows) {
            if (!(sheet = continueOnNewSheet(entry, fields, n, outcome)))
                return outcome.stop();
            sheetRow = 2;
        }
        if (!writeRow(*sheet, sheetRow, fields, *row, outcome))
            return outcome.stopIfFailed(rows.failedLine(), rows.failure(), true);
        outcome.rowsCopied = n; // 206: the next row is read ahead
    }
}

/** A worksheet is full: the table goes on in a further worksheet, named the same way. */
xl::Worksheet* ExportRun::continueOnNewSheet(
    const ListEntry& entry, const Fields& fields, long long n, TableOutcome& outcome)
{
    m_currentName = entry.name;
    xl::Worksheet* sheet = nullptr;
    m_trap.step(152, [&] { sheet = m_workbook->addWorksheet(); });
    if (!sheet)
        return nullptr;
    SheetNames::NameWorksheet(m_trap, m_currentName, *m_workbook, *sheet);
    m_form.progressBar->setRowText(m_currentName, n, outcome.rowTotal);
    writeHeader(*sheet, fields, outcome);
    return sheet;
}

void ExportRun::writeHeader(xl::Worksheet& sheet, const Fields& fields, TableOutcome& outcome)
{
    for (std::size_t f = 0; f < fields.size(); ++f) {
        yield(); // 180
        outcome.attempt(182, [&] { sheet.writeText(1, long(f) + 1, fields[f].name); });
    }
}

/**
 * 192-204: one row's fields. False when a value could not be delivered: then
 * none of the row is written, so the sheet holds exactly the rows the report
 * counts, and its rows stay in order for the writer.
 */
bool ExportRun::writeRow(
    xl::Worksheet& sheet, long sheetRow, const Fields& fields, const RowReader::Row& row, TableOutcome& outcome)
{
    const int fieldCount = int(fields.size());
    if (row.read < fieldCount) // 202: a field of it could not be read
        return false;
    for (int f = 0; f < fieldCount; ++f) { // 192
        yield(); // 194
        m_form.progressBar->setFieldText(f + 1, fieldCount); // 196
        writeField(sheet, sheetRow, f, fields[std::size_t(f)], row, outcome);
    }
    return true;
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

/** Lets the window system catch up; leaves the export when the program has ended meanwhile. */
void ExportRun::yield()
{
    if (!m_form.yieldToEvents())
        throw ProgramEnded{};
}

/**
 * A lost connection is opened again once; when that fails the rest cannot be
 * copied, and one report names what was left out. False then.
 */
bool ExportRun::reopenConnection(int i)
{
    TableOutcome closing; // what fails here was told with the table
    closing.attempt(140, [&] { m_recordset->close(); });
    closing.attempt(228, [&] { m_connection->close(); });
    TableOutcome reopening;
    if (reopening.attempt(m_openLine, [&] { openConnection(); }))
        return true;
    const QString& reason = reopening.failure;
    QStringList left;
    for (int k = i + 1; k <= int(m_entries.size()); ++k)
        if (ticked(k))
            left << m_entries[std::size_t(k - 1)].name;
    if (!left.isEmpty())
        m_trap.reportAt(m_openLine,
            QStringLiteral("The connection could not be opened again, so these tables were not copied: %1.\n%2")
                .arg(left.join(QStringLiteral(", ")), reason));
    return false;
}

void ExportRun::writeWorkbook()
{
    if (m_storageFailed)
        return;
    m_trap.step(212, [&] { m_workbook->activeSheet()->autoFitColumns(); });
    // 214: the file is written completely before it is opened. Writing a large
    // workbook takes a while; the window keeps answering meanwhile.
    m_trap.step(214, [&] { Waiting::inPlace([&] { m_form.m_lastWorkbook = m_excel->setVisible(); }); });
}

void ExportRun::finish()
{
    TableWindow& form = m_form;
    // Letting go of a workbook of thousands of sheets takes a moment: the window answers meanwhile.
    Waiting::inPlace([&] {
        m_workbook = nullptr;
        m_excel.reset();
    });
    m_trap.step(216, [&] { form.progressBar->setValue(0); });
    m_trap.step(218, [&] {
        form.progressBar->setText(QStringLiteral("Progress Bar"));
        // The workbook sits among the user's documents; once its window is
        // closed, this is where the user finds out which file it was.
        if (!form.m_lastWorkbook.isEmpty())
            form.progressBar->setToolTip(QStringLiteral("Last workbook: ") + form.m_lastWorkbook);
    });
    m_trap.step(220, [&] { form.pointer.setMousePointer(WindowPointer::Default); });
    m_trap.step(222, [&] {
        if (form.windowState() & Qt::WindowMinimized)
            form.setWindowState(form.windowState() & ~Qt::WindowMinimized);
    });
    m_trap.step(224, [&] {
        if (!m_notices.isEmpty() && !m_storageFailed)
            MsgBox::show(m_notices.join(QLatin1Char('\n')), MsgBox::Exclamation);
    });
    m_trap.step(226, [] { MsgBox::show(QStringLiteral("Done."), MsgBox::OkOnly); });
    m_trap.step(228, [&] {
        if (m_connection && m_connection->state() != 0)
            Waiting::inPlace([&] { m_connection->close(); });
    });
}

void TableWindow::finishClicked()
{
    ErrorTrap trap(Locations::TableWindowFinish);
    ExportRun run(*this, trap); // 100, 102
    if (m_busy) // 104
        return;
    m_busy = true; // 106
    m_lastWorkbook.clear();
    if (tableList->count() == 0) { // 108: an empty list does nothing at all
        m_busy = false; // 232
        return;
    }
    try {
        if (run.open()) {
            run.copyTickedTables();
            run.writeWorkbook();
        }
        run.finish();
    } catch (const ProgramEnded&) {
        // The program has ended under us: nothing more is shown.
    }
    m_busy = false; // 232
}
