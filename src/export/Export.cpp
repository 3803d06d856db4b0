// "Finish": copies every ticked table into a worksheet of its own.

#include "export/CellConversion.h"
#include "export/Excel1.h"
#include "export/Form2.h"
#include "export/TableSource.h"
#include "platform/odbc/Odbc.h"
#include "platform/ui/MsgBox.h"
#include "platform/ui/ProgramEnd.h"
#include "platform/workbook/Workbook.h"
#include "shell/ErrorTrap.h"
#include "sqlaccess/MSSQL.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QListWidget>
#include <atomic>
#include <charconv>
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
 * A value as text, for a typed cell the workbook refused: the driver's own
 * text, cut to what a cell holds, or a floating-point number's shortest form.
 */
xl::CellValue plainText(const odbc::FieldValue& value, std::string& scratch, bool& truncated)
{
    if (value.kind == odbc::FieldValue::Double) {
        char digits[32];
        const auto printed = std::to_chars(digits, digits + sizeof digits, value.number);
        scratch.assign(digits, printed.ptr);
        return textCell(scratch);
    }
    odbc::FieldInfo text;
    text.sqlType = SQL_WVARCHAR;
    return ToCell(text, value, scratch, truncated);
}

/** The name the workbook file is given: the database file's name, or the database's. */
QString documentName(const ConnectionSettings& settings)
{
    const QFileInfo file(settings.database);
    const QString base = file.completeBaseName();
    return base.isEmpty() ? settings.database : base;
}

/** Leaves the export from a yield point once the program has ended meanwhile. */
struct ExportAbandoned { };

/**
 * Runs a long call that touches nothing of the windows (opening a connection
 * or a large query, writing the workbook file) on a worker thread while this
 * thread keeps processing window events, so the window never stops answering.
 * Failures arrive here as if the call had run in place.
 */
template <class F>
void whileResponsive(F&& work)
{
    std::atomic<bool> done = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
    });
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}
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

    std::unique_ptr<xl::Application> excel;
    xl::Workbook* workbook = nullptr;
    try {
        trap.step(110, [&] { pointer.setMousePointer(WindowPointer::Hourglass); });
        trap.step(112, [&] { connection->setMode(odbc::adModeReadWrite); });

        // 114-118: a connection that cannot be opened leaves nothing to copy.
        const ConnectionSettings settings = MSSQL::CurrentConnectionSettings();
        const bool connected = trap.step(settings.local ? 116 : 118, [&] {
            if (!connection)
                throw quorvane::Error(91, QStringLiteral("Object variable not set"));
            whileResponsive([&] { connection->open(MSSQL::ConnectionString(settings)); });
        });
        if (connected && trap.step(120, [&] {
                excel = std::make_unique<xl::Application>();
                excel->setDocumentName(documentName(settings));
            })) {
            trap.step(122, [&] { workbook = excel->addWorkbook(); });
        }
        if (workbook) {
            while (trap.loopTest(124, [&] { return workbook->count() > 1; }))
                if (!trap.step(126, [&] { workbook->deleteWorksheet(workbook->count()); }))
                    break;
            bool firstSheet = true; // 128
            QString currentName;
            odbc::FieldValue value;
            std::string scratch;

            const int entries = ListView1->count(); // 130
            for (int i = 1; i <= entries; ++i) {
                // Entries may go away meanwhile ("< Back" and "Next >" refill the list).
                if (i > ListView1->count())
                    break;
                QListWidgetItem* entry = ListView1->item(i - 1);
                if (entry->checkState() != Qt::Checked) // 132
                    continue;
                currentName = entry->text(); // 134
                const QString schema = entry->data(Qt::UserRole).toString();
                trap.step(136, [&] {
                    ProgressBar1->setValue(int(std::nearbyint(double(i) / double(ListView1->count()) * 100.0)));
                });
                trap.step(138, [&] { ProgressBar1->setText(QStringLiteral("Processing: ") + currentName); });
                trap.step(140, [&] {
                    if (recordset->state() != 0)
                        recordset->close();
                });
                trap.step(142, [&] { recordset->setCursorLocation(odbc::adUseClient); });
                // A table that cannot be read is reported once and skipped.
                if (!trap.step(144, [&] {
                        const QString source = Excel1::TableQuery(currentName, schema);
                        whileResponsive(
                            [&] { recordset->open(source, *connection, odbc::adOpenStatic, odbc::adLockReadOnly); });
                    }))
                    continue;

                const QString listedName = currentName;
                xl::Worksheet* sheet = nullptr;
                auto takeSheet = [&] {
                    sheet = nullptr;
                    if (firstSheet) {
                        trap.step(148, [&] { sheet = workbook->activeSheet(); });
                        firstSheet = false; // 150
                    } else {
                        trap.step(152, [&] { sheet = workbook->addWorksheet(); });
                    }
                    if (sheet)
                        Excel1::NameWorksheet(trap, currentName, *workbook, *sheet);
                };
                takeSheet();
                if (!sheet)
                    continue;

                long long rowTotal = 0;
                trap.step(176, [&] { rowTotal = recordset->recordCount(); });
                int fieldCount = 0;
                trap.step(178, [&] { fieldCount = recordset->fieldCount(); });
                auto writeHeader = [&] {
                    for (int f = 0; f < fieldCount; ++f) {
                        if (!yieldToEvents()) // 180
                            throw ExportAbandoned{};
                        trap.step(182, [&] { sheet->writeText(1, f + 1, recordset->fieldName(f)); });
                    }
                };
                writeHeader();

                long long cut = 0;
                long long asText = 0;
                long long n = 1;
                long sheetRow = 2;
                bool tableFailed = false;
                // 186: the rows themselves bound the loop; the row total is only the "from" figure.
                while (!tableFailed) {
                    bool atEnd = true;
                    if (!trap.step(186, [&] { atEnd = recordset->eof(); }) || atEnd)
                        break;
                    if (!yieldToEvents()) // 188
                        throw ExportAbandoned{};
                    ProgressBar1->setRowText(currentName, n, rowTotal); // 190
                    if (sheetRow > xl::MaxRows) {
                        // A worksheet is full: the table goes on in a further worksheet, named the same way.
                        currentName = listedName;
                        trap.step(152, [&] { sheet = workbook->addWorksheet(); });
                        if (!sheet)
                            break;
                        Excel1::NameWorksheet(trap, currentName, *workbook, *sheet);
                        ProgressBar1->setRowText(currentName, n, rowTotal);
                        writeHeader();
                        sheetRow = 2;
                    }
                    fieldCount = recordset->fieldCount(); // 192
                    for (int f = 0; f < fieldCount; ++f) {
                        if (!yieldToEvents()) // 194
                            throw ExportAbandoned{};
                        ProgressBar1->setFieldText(f + 1, fieldCount); // 196
                        const odbc::FieldInfo& field = recordset->field(f);
                        if (field.adoType == odbc::adLongVarBinary) { // 198
                            trap.step(200, [&] { sheet->write(sheetRow, f + 1, textCell(BinaryDataText)); });
                            continue;
                        }
                        // 202: a value the driver cannot deliver ends this table's copy with one report.
                        if (!trap.step(202, [&] {
                                recordset->read(f, value);
                                bool truncated = false;
                                const xl::CellValue cell = ToCell(field, value, scratch, truncated);
                                if (truncated)
                                    ++cut;
                                if (cell.type == xl::CellValue::Empty)
                                    return;
                                if (cell.type == xl::CellValue::Text) {
                                    sheet->write(sheetRow, f + 1, cell);
                                    return;
                                }
                                // A number, date or Boolean the workbook will not take still
                                // shows, as text, and is counted for the table's report.
                                try {
                                    sheet->write(sheetRow, f + 1, cell);
                                } catch (const quorvane::Error&) {
                                    bool textCut = false;
                                    sheet->write(sheetRow, f + 1, plainText(value, scratch, textCut));
                                    ++asText;
                                    if (textCut)
                                        ++cut;
                                }
                            })) {
                            tableFailed = true;
                            break;
                        }
                    }
                    if (tableFailed)
                        break;
                    if (!trap.step(206, [&] { recordset->moveNext(); }))
                        break;
                    ++n;
                    ++sheetRow;
                }
                // One report for the table, after its last row.
                if (cut > 0 || asText > 0) {
                    const QString longer = QStringLiteral("were longer than the 32,767 characters a cell holds and "
                                                          "were cut to their first 32,767 characters");
                    const QString typed = QStringLiteral("could not be written as their type and went in as text");
                    QString report = QStringLiteral("%1 value(s) of table %2 %3")
                                         .arg(cut > 0 ? cut : asText)
                                         .arg(listedName, cut > 0 ? longer : typed);
                    if (cut > 0 && asText > 0)
                        report += QStringLiteral("; %1 value(s) %2").arg(asText).arg(typed);
                    trap.reportAt(202, report + QLatin1Char('.'));
                }
            }

            trap.step(212, [&] { workbook->activeSheet()->autoFitColumns(); });
            // 214: the file is written completely before it is opened. Writing a
            // large workbook takes a while; the window keeps answering meanwhile.
            trap.step(214, [&] { whileResponsive([&] { m_lastWorkbook = excel->setVisible(); }); });
        }
    } catch (const ExportAbandoned&) {
        // The program has ended under us: nothing more is shown.
        m_busy = false;
        return;
    }

    trap.step(216, [&] { ProgressBar1->setValue(0); });
    trap.step(218, [&] { ProgressBar1->setText(QStringLiteral("Progress Bar")); });
    trap.step(220, [&] { pointer.setMousePointer(WindowPointer::Default); });
    trap.step(222, [&] {
        if (windowState() & Qt::WindowMinimized)
            setWindowState(windowState() & ~Qt::WindowMinimized);
    });
    trap.step(226, [] { MsgBox::show(QStringLiteral("Done."), MsgBox::OkOnly); });
    trap.step(228, [&] {
        if (connection && connection->state() != 0)
            connection->close();
    });
    m_busy = false; // 232
}
