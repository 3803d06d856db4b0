// "Finish": copies every ticked table into a worksheet of its own.

#include "export/CellConversion.h"
#include "export/Excel1.h"
#include "export/Form2.h"
#include "export/RowReader.h"
#include "export/TableSource.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"
#include "shell/Waiting.h"
#include "sqlaccess/MSSQL.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QListWidget>
#include <QLocale>
#include <atomic>
#include <cmath>
#include <thread>

namespace {

xl::CellValue textCell(std::string_view text)
{
    xl::CellValue cell;
    cell.type = xl::CellValue::Text;
    cell.text = text;
    cell.utf16Length = text.size();
    return cell;
}

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

void Form2::PushButton5_Click()
{
    ErrorTrap trap(Locations::Form2Finish);
    std::unique_ptr<odbc::Connection> connection;
    std::unique_ptr<odbc::Recordset> recordset;
    trap.step(100, [&] { connection = std::make_unique<odbc::Connection>(); });
    trap.step(102, [&] { recordset = std::make_unique<odbc::Recordset>(); });
    if (m_busy) // 104
        return;
    m_busy = true; // 106
    m_lastWorkbook.clear();
    if (ListView1->count() == 0) { // 108: an empty list does nothing at all
        m_busy = false; // 232
        return;
    }

    // The entries as they stand. Ticks are read live as the copy reaches each
    // entry; if "< Back" and "Next >" refill the list meanwhile, the export
    // goes on with the entries it had, ticked as they were at that moment:
    // the user asked for those tables, and a refilled list says nothing else.
    std::vector<ListEntry> entries;
    bool refilled = false;
    const auto keepTicks = [&] {
        if (refilled)
            return;
        for (std::size_t j = 0; j < entries.size() && int(j) < ListView1->count(); ++j)
            entries[j].ticked = ListView1->item(int(j))->checkState() == Qt::Checked;
        refilled = true;
    };
    QAbstractItemModel* model = ListView1->model();
    const QMetaObject::Connection onReset = connect(model, &QAbstractItemModel::modelAboutToBeReset, this, keepTicks);
    const QMetaObject::Connection onRemove = connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, keepTicks);
    struct Disconnect {
        QMetaObject::Connection a, b;
        ~Disconnect()
        {
            QObject::disconnect(a);
            QObject::disconnect(b);
        }
    } disconnectGuard{onReset, onRemove};

    std::unique_ptr<xl::Application> excel;
    xl::Workbook* workbook = nullptr;
    bool storageFailed = false;
    QStringList notices; // one line a table whose values did not all go in as they are
    try {
        trap.step(110, [&] { pointer.setMousePointer(WindowPointer::Hourglass); });
        trap.step(112, [&] { connection->setMode(odbc::adModeReadWrite); });

        // 114-118: a connection that cannot be opened leaves nothing to copy.
        const ConnectionSettings settings = MSSQL::CurrentConnectionSettings();
        const int openLine = settings.local ? 116 : 118;
        const auto openConnection = [&] {
            if (!connection)
                throw quorvane::Error(91, QStringLiteral("Object variable not set"));
            connection = MSSQL::Connect(settings, odbc::adModeReadWrite);
        };
        const bool connected = trap.step(openLine, openConnection);
        if (connected && trap.step(120, [&] {
                excel = std::make_unique<xl::Application>();
                excel->setDocumentName(documentName(settings, connection->isFileDatabase()));
            })) {
            trap.step(122, [&] { workbook = excel->addWorkbook(); });
        }
        if (workbook) {
            while (trap.loopTest(124, [&] { return workbook->count() > 1; }))
                if (!trap.step(126, [&] { workbook->deleteWorksheet(workbook->count()); }))
                    break;
            bool firstSheet = true; // 128
            QString currentName;
            std::string scratch;

            for (int j = 0; j < ListView1->count(); ++j) // 130
                entries.push_back({ListView1->item(j)->text(), ListView1->item(j)->data(Qt::UserRole).toString(),
                    ListView1->item(j)->checkState() == Qt::Checked});
            const int count = int(entries.size());
            const auto ticked = [&](int i) {
                // Live while the list is the one the export started with.
                if (!refilled && i <= ListView1->count())
                    return ListView1->item(i - 1)->checkState() == Qt::Checked;
                return entries[std::size_t(i - 1)].ticked;
            };

            try {
                for (int i = 1; i <= count; ++i) {
                    if (!ticked(i)) // 132
                        continue;
                    const ListEntry& entry = entries[std::size_t(i - 1)];
                    currentName = entry.name; // 134
                    trap.step(136, [&] {
                        const int shown = refilled ? count : ListView1->count();
                        ProgressBar1->setValue(int(std::nearbyint(double(i) / double(shown) * 100.0)));
                    });
                    trap.step(138, [&] { ProgressBar1->setText(QStringLiteral("Processing: ") + currentName); });

                    TableOutcome outcome;
                    outcome.name = entry.name;
                    const auto attempt = [&outcome](int line, auto&& work) { return outcome.attempt(line, work); };
                    const auto noteLoss = [&] { outcome.connectionLost = connection->lost(outcome.failure); };
                    attempt(140, [&] {
                        if (recordset->state() != 0)
                            recordset->close();
                    });
                    attempt(142, [&] { recordset->setCursorLocation(odbc::adUseClient); });
                    const bool opened = attempt(144, [&] {
                        const QString source = Excel1::TableQuery(currentName, entry.schema);
                        Waiting::inPlace(
                            [&] { recordset->open(source, *connection, odbc::adOpenStatic, odbc::adLockReadOnly); });
                    });

                    xl::Worksheet* sheet = nullptr;
                    if (opened) {
                        if (firstSheet) {
                            trap.step(148, [&] { sheet = workbook->activeSheet(); });
                            firstSheet = false; // 150
                        } else {
                            trap.step(152, [&] { sheet = workbook->addWorksheet(); });
                        }
                        if (sheet)
                            Excel1::NameWorksheet(trap, currentName, *workbook, *sheet);
                    } else {
                        outcome.notCopied = true;
                        noteLoss();
                    }

                    if (sheet) {
                        attempt(176, [&] { outcome.rowTotal = recordset->recordCount(); });
                        int fieldCount = 0;
                        attempt(178, [&] { fieldCount = recordset->fieldCount(); });
                        const auto writeHeader = [&] {
                            for (int f = 0; f < fieldCount; ++f) {
                                if (!yieldToEvents()) // 180
                                    throw ProgramEnded{};
                                attempt(182, [&] { sheet->writeText(1, f + 1, recordset->fieldName(f)); });
                            }
                        };
                        writeHeader();

                        // The rows are read ahead on a thread of their own, so the window
                        // answers however long the server takes to send them.
                        std::vector<odbc::FieldInfo> fields;
                        std::vector<bool> unread;
                        for (int f = 0; f < fieldCount; ++f) {
                            fields.push_back(recordset->field(f));
                            unread.push_back(fields.back().adoType == odbc::adLongVarBinary);
                        }
                        RowReader rows(*recordset, unread);
                        long sheetRow = 2;
                        // 186: the rows themselves bound the loop; the row total is only the "from" figure.
                        for (long long n = 1;; ++n, ++sheetRow) {
                            const RowReader::Row* row = rows.next();
                            if (!row) {
                                if (rows.failure()) {
                                    outcome.failed(rows.failedLine(), ErrorTrap::describe(rows.failure()));
                                    outcome.stoppedEarly = true;
                                }
                                break;
                            }
                            if (!yieldToEvents()) // 188
                                throw ProgramEnded{};
                            ProgressBar1->setRowText(currentName, n, outcome.rowTotal); // 190
                            if (sheetRow > xl::MaxRows) {
                                // A worksheet is full: the table goes on in a further worksheet, named the same way.
                                currentName = entry.name;
                                sheet = nullptr;
                                trap.step(152, [&] { sheet = workbook->addWorksheet(); });
                                if (!sheet) {
                                    outcome.stoppedEarly = true;
                                    break;
                                }
                                Excel1::NameWorksheet(trap, currentName, *workbook, *sheet);
                                ProgressBar1->setRowText(currentName, n, outcome.rowTotal);
                                writeHeader();
                                sheetRow = 2;
                            }
                            int f = 0; // 192
                            for (; f < fieldCount; ++f) {
                                if (!yieldToEvents()) // 194
                                    throw ProgramEnded{};
                                ProgressBar1->setFieldText(f + 1, fieldCount); // 196
                                // 202: a value the driver could not deliver ends the table's copy.
                                if (f >= row->read)
                                    break;
                                const odbc::FieldInfo& field = fields[std::size_t(f)];
                                const odbc::FieldValue& value = row->values[std::size_t(f)];
                                if (field.adoType == odbc::adLongVarBinary) { // 198: a null leaves the cell empty
                                    if (value.kind != odbc::FieldValue::Null)
                                        attempt(200, [&] { sheet->write(sheetRow, f + 1, textCell(BinaryDataText)); });
                                    continue;
                                }
                                bool truncated = false;
                                const xl::CellValue cell = ToCell(field, value, scratch, truncated);
                                if (truncated)
                                    ++outcome.cut;
                                if (cell.type != xl::CellValue::Empty)
                                    writeValue(*sheet, sheetRow, f + 1, cell, value, truncated, scratch, outcome);
                            }
                            if (f < fieldCount) {
                                // The row is not whole: what of it was written goes again, so
                                // the sheet holds exactly the rows the report counts.
                                for (int g = 0; g < f; ++g)
                                    attempt(202, [&] { sheet->write(sheetRow, g + 1, xl::CellValue{}); });
                                outcome.failed(rows.failedLine(), ErrorTrap::describe(rows.failure()));
                                outcome.stoppedEarly = true;
                                break;
                            }
                            outcome.rowsCopied = n; // 206: the next row is read ahead
                        }
                    }
                    if (outcome.stoppedEarly)
                        noteLoss();
                    if (outcome.worthReporting())
                        trap.reportAt(outcome.line(), outcome.report());
                    if (!outcome.notice().isEmpty())
                        notices << outcome.notice();

                    // A lost connection is opened again once; when that fails the rest
                    // cannot be copied, and one report names what was left out.
                    if (outcome.connectionLost) {
                        attempt(140, [&] { recordset->close(); });
                        attempt(228, [&] { connection->close(); });
                        QString reason;
                        try {
                            openConnection();
                        } catch (const ProgramEnded&) {
                            throw;
                        } catch (...) {
                            reason = ErrorTrap::describe(std::current_exception());
                        }
                        if (!reason.isEmpty()) {
                            QStringList left;
                            for (int k = i + 1; k <= count; ++k)
                                if (ticked(k))
                                    left << entries[std::size_t(k - 1)].name;
                            if (!left.isEmpty())
                                trap.reportAt(openLine,
                                    QStringLiteral("The connection could not be opened again, so these tables were "
                                                   "not copied: %1.\n%2")
                                        .arg(left.join(QStringLiteral(", ")), reason));
                            break;
                        }
                    }
                }
            } catch (const xl::StorageError& e) {
                // The disk or the folder: nothing of the workbook can be trusted now.
                storageFailed = true;
                trap.reportAt(
                    202, e.description() + QStringLiteral("\nThe export stopped there and no workbook was opened."));
            }

            if (!storageFailed) {
                trap.step(212, [&] { workbook->activeSheet()->autoFitColumns(); });
                // 214: the file is written completely before it is opened. Writing a
                // large workbook takes a while; the window keeps answering meanwhile.
                trap.step(214, [&] { Waiting::inPlace([&] { m_lastWorkbook = excel->setVisible(); }); });
            }
        }
    } catch (const ProgramEnded&) {
        // The program has ended under us: nothing more is shown.
        m_busy = false;
        return;
    }

    trap.step(216, [&] { ProgressBar1->setValue(0); });
    trap.step(218, [&] {
        ProgressBar1->setText(QStringLiteral("Progress Bar"));
        // The workbook sits among the user's documents; once its window is
        // closed, this is where the user finds out which file it was.
        if (!m_lastWorkbook.isEmpty())
            ProgressBar1->setToolTip(QStringLiteral("Last workbook: ") + m_lastWorkbook);
    });
    trap.step(220, [&] { pointer.setMousePointer(WindowPointer::Default); });
    trap.step(222, [&] {
        if (windowState() & Qt::WindowMinimized)
            setWindowState(windowState() & ~Qt::WindowMinimized);
    });
    trap.step(224, [&] {
        if (!notices.isEmpty() && !storageFailed)
            MsgBox::show(notices.join(QLatin1Char('\n')), MsgBox::Exclamation);
    });
    trap.step(226, [] { MsgBox::show(QStringLiteral("Done."), MsgBox::OkOnly); });
    trap.step(228, [&] {
        if (connection && connection->state() != 0)
            connection->close();
    });
    m_busy = false; // 232
}
