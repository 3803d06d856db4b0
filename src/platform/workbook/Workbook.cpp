// Sheets, workbooks and the application as Excel has them (limits, tab
// order, what a cell takes), and the cell spool that keeps written cells in a
// temporary file until the workbook is written.

#include "platform/workbook/CellRecords.h"
#include "platform/workbook/CellStream.h"
#include "platform/workbook/CellText.h"
#include "platform/workbook/Failures.h"
#include "platform/workbook/Folders.h"
#include "platform/workbook/ModelState.h"
#include "platform/workbook/Opener.h"
#include "platform/workbook/TempStore.h"
#include "platform/workbook/WorkbookFile.h"

#include "platform/Utf8.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace xl {

namespace {

// Cells are gathered in a buffer of this size before they go to the temporary
// file and the writer; it is also the largest piece read back at once when
// the file is made again from the temporary file.
constexpr std::size_t BufferSize = RecordBufferSize;

// A column is never made wider than Excel allows.
constexpr unsigned MaxShownChars = 255;

QString cellName(long row, long column)
{
    return QStringLiteral("row %1, column %2").arg(row).arg(column);
}

// ---------------------------------------------------------------- widths

/**
 * Characters that the General format shows for a number, estimated cheaply:
 * the integer digits and sign, a point and two decimals for a fraction, and
 * never more than the 11 that General uses before it turns to exponents.
 */
unsigned numberWidth(double v)
{
    const double a = std::fabs(v);
    unsigned digits = 1;
    for (double t = 10; t <= a && digits < 12; t *= 10)
        ++digits;
    const unsigned shown = digits + (v < 0) + (a != std::floor(a) ? 3 : 0);
    return std::min(shown, 11u);
}

std::atomic<bool> g_cellsStreamed = true;

struct RoomNotice {
    std::mutex lock;
    std::function<void()> notice;
};

RoomNotice& roomNotice()
{
    static RoomNotice notice;
    return notice;
}

} // namespace

// ================================================================ free functions

void roomMade()
{
    RoomNotice& room = roomNotice();
    const std::lock_guard<std::mutex> hold(room.lock);
    if (room.notice)
        room.notice();
}

bool NumberSurvivesFile(double value)
{
    if (!std::isfinite(value))
        return false;
    char buffer[40];
    const auto printed = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 15);
    double back = 0;
    const auto parsed = std::from_chars(buffer, printed.ptr, back);
    return parsed.ec == std::errc() && back == value;
}

// ================================================================ Worksheet

int Workbook::Impl::indexOf(const Worksheet* sheet) const
{
    for (std::size_t i = 0; i < sheets.size(); ++i)
        if (sheets[i].get() == sheet)
            return int(i);
    return -1;
}

void Workbook::Impl::flush()
{
    if (used == 0)
        return;
    const std::uint64_t offset = store->reserve(used);
    // Pieces stay apart, each no larger than the buffer: they are read back one at a time.
    owner->chunks.push_back({offset, used});
    const std::size_t size = used;
    used = 0;
    if (stream)
        buffer = stream->hand(owner->serial, std::move(buffer), size, offset);
    else
        store->writeAt(offset, buffer.get(), size); // a write of the file failed before: the store alone
}

char* Workbook::Impl::reserve(Worksheet::Impl* sheet, std::size_t size)
{
    if (!store)
        fail(ApplicationDefinedError,
            QStringLiteral("The workbook has been handed to the spreadsheet application and can no longer be "
                           "changed."));
    if (owner != sheet || used + size > BufferSize) {
        flush();
        owner = sheet;
    }
    if (!buffer)
        buffer = std::make_unique_for_overwrite<char[]>(BufferSize);
    return buffer.get() + used;
}

Worksheet::Worksheet(Workbook* workbook, const QString& name) : d(std::make_unique<Impl>())
{
    d->workbook = workbook;
    d->serial = workbook->d->nextSerial++;
    d->name = name;
    workbook->d->named(this, name);
}

Worksheet::~Worksheet() = default;

QString Worksheet::name() const
{
    return d->name;
}

void Worksheet::setName(const QString& name)
{
    const QString problem = SheetNameProblem(name);
    if (!problem.isEmpty())
        fail(ApplicationDefinedError, problem);
    Workbook::Impl& book = *d->workbook->d;
    if (book.nameTaken(name, this))
        fail(ApplicationDefinedError,
            QStringLiteral("Cannot rename a sheet to \"%1\": that name is already taken. Try a different one.")
                .arg(name));
    book.unnamed(this, d->name);
    d->name = name;
    book.named(this, name);
}

namespace {

/** What a written value becomes in the cell store. */
struct PreparedCell {
    Kind kind = KEmpty;
    unsigned shown = 0; // characters the cell shows, for fitted widths
    std::string_view text; // as the file spells it
};

[[noreturn]] void refuseCell(long row, long column, const QString& why)
{
    fail(ApplicationDefinedError, QStringLiteral("Cannot write to the cell at %1: %2").arg(cellName(row, column), why));
}

PreparedCell prepareText(long row, long column, std::string_view value, std::string& escaped)
{
    if (value.empty())
        return {};
    const TextScan scan = scanText(value);
    if (!scan.valid)
        refuseCell(row, column, QStringLiteral("the text is not valid UTF-8."));
    if (scan.utf16 > MaxCellChars)
        refuseCell(
            row, column, QStringLiteral("the text has %1 characters, and a cell holds at most 32767.").arg(scan.utf16));
    PreparedCell cell{KText, unsigned(std::min<std::size_t>(scan.utf16, MaxShownChars)), value};
    if (scan.needsEscape) {
        escapeText(value, escaped);
        // Spelled out, the text must still fit a cell: a reader may measure it before it reads the escapes.
        if (quorvane::utf8::codePoints(escaped) > MaxCellChars)
            refuseCell(row, column,
                QStringLiteral("the text holds characters that the file must spell out, and spelled out it is "
                               "longer than the 32767 characters a cell holds."));
        cell.text = escaped;
    }
    return cell;
}

PreparedCell prepareCell(long row, long column, const CellValue& value, std::string& escaped)
{
    switch (value.type) {
    case CellValue::Empty:
        return {};
    case CellValue::Number:
        if (!std::isfinite(value.number))
            refuseCell(row, column, QStringLiteral("the value is not a finite number."));
        return {KNumber, numberWidth(value.number), {}};
    case CellValue::Boolean:
        return {value.boolean ? KTrue : KFalse, value.boolean ? 4u : 5u, {}}; // TRUE, FALSE
    case CellValue::Date:
    case CellValue::DateTime:
        // Serials of 1900-01-01 .. 9999-12-31 (0 is Excel's "1900-01-00").
        if (!(value.number >= 0 && value.number < 2958466))
            refuseCell(row, column, QStringLiteral("the date lies outside the years 1900 to 9999."));
        if (value.type == CellValue::Date)
            return {KDate, 10, {}}; // 12/31/9999
        return {KDateTime, 16, {}}; // 12/31/9999 23:59
    case CellValue::Time:
        if (!(value.number >= 0 && value.number < 1))
            refuseCell(row, column, QStringLiteral("a time of day lies between 00:00:00 and 23:59:59."));
        return {KTime, 8, {}}; // 23:59:59
    case CellValue::Text:
        return prepareText(row, column, value.text, escaped);
    }
    return {};
}

} // namespace

void Worksheet::write(long row, long column, const CellValue& value)
{
    if (row < 1 || row > MaxRows || column < 1 || column > MaxColumns)
        refuseCell(row, column, QStringLiteral("a worksheet has rows 1 to 1048576 and columns 1 to 16384."));
    const auto r = std::uint32_t(row - 1);
    const auto c = std::uint16_t(column - 1);
    Impl& s = *d;
    const bool inOrder = !s.last.any || r > s.last.row || (r == s.last.row && c > s.last.column);
    Workbook::Impl& wb = *d->workbook->d;
    const PreparedCell cell = prepareCell(row, column, value, wb.escaped);
    // A cell that was never written is already empty; only an earlier value needs a record to clear it.
    if (cell.kind == KEmpty && inOrder)
        return;

    char* const start = wb.reserve(d.get(), mostRecordBytes(cell.kind, cell.text.size()));
    wb.used += std::size_t(putRecord(start, s.last, r, c, cell.kind, value.number, cell.text) - start);

    if (!inOrder)
        s.needsSort = true;
    s.last = {true, r, c};
    if (cell.shown) {
        if (c >= s.shown.size())
            s.shown.resize(std::size_t(c) + 1);
        if (s.shown[c] < cell.shown)
            s.shown[c] = std::uint16_t(cell.shown);
    }
}

void Worksheet::writeText(long row, long column, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    CellValue value;
    value.type = CellValue::Text;
    value.text = std::string_view(utf8.constData(), std::size_t(utf8.size()));
    value.utf16Length = std::size_t(text.size());
    write(row, column, value);
}

void Worksheet::autoFitColumns()
{
    d->autoFit = true;
    d->fitted = d->shown;
}

// ================================================================ Workbook

Workbook::Workbook(int sheets) : d(std::make_unique<Impl>())
{
    for (int n = 1; n <= sheets; ++n)
        d->sheets.push_back(std::unique_ptr<Worksheet>(new Worksheet(this, defaultSheetName(n))));
    d->active = d->sheets.front().get();
}

Workbook::~Workbook() = default;

int Workbook::count() const
{
    return int(d->sheets.size());
}

Worksheet* Workbook::worksheet(int index)
{
    if (index < 1 || index > count())
        fail(SubscriptOutOfRange, QStringLiteral("Subscript out of range"));
    return d->sheets[std::size_t(index - 1)].get();
}

void Workbook::deleteWorksheet(int index)
{
    Worksheet* sheet = worksheet(index);
    if (count() == 1)
        fail(ApplicationDefinedError, QStringLiteral("A workbook must contain at least one visible worksheet."));
    if (d->owner == &ModelAccess::of(*sheet)) {
        d->used = 0;
        d->owner = nullptr;
    }
    const bool wasActive = d->active == sheet;
    d->unnamed(sheet, sheet->name());
    d->sheets.erase(d->sheets.begin() + (index - 1));
    if (wasActive)
        d->active = d->sheets[std::min<std::size_t>(std::size_t(index - 1), d->sheets.size() - 1)].get();
}

bool Workbook::hasSheetNamed(const QString& name, const Worksheet* except) const
{
    return d->nameTaken(name, except);
}

bool Workbook::hasSheetNamedLower(const QString& lowerName) const
{
    return d->lowerNames.contains(lowerName);
}

Worksheet* Workbook::activeSheet()
{
    return d->active;
}

Worksheet* Workbook::addWorksheet()
{
    const int at = std::max(0, d->indexOf(d->active));
    auto sheet = std::unique_ptr<Worksheet>(new Worksheet(this, d->freeDefaultName()));
    Worksheet* added = sheet.get();
    d->sheets.insert(d->sheets.begin() + at, std::move(sheet));
    d->active = added;
    return added;
}

QString Workbook::filePath() const
{
    return d->filePath;
}

// ================================================================ Application

struct Application::Impl {
    std::vector<std::unique_ptr<Workbook>> workbooks;
    QString documentName;
    /**
     * The workbooks' folder, found once when the first workbook is added:
     * finding it asks the desktop (xdg-user-dir), which is not done again
     * from whatever thread writes the file.
     */
    QString folder;
    bool visible = false;

    /** Writes one workbook completely under a free name; answers the path. */
    QString write(Workbook& book)
    {
        Workbook::Impl& wb = ModelAccess::of(book);
        try {
            wb.flush();
        } catch (const StorageError&) {
            if (!wb.stream)
                throw;
            // The records wait in the stream, which tries them again as the file is written.
        }
        if (folder.isEmpty())
            folder = workbookFolder();
        ensurePrivateFolder(folder, FolderUse::AsItIs);
        return writeWorkbookFile(wb, folder, documentName);
    }
};

void Application::setCellsStreamed(bool streamed)
{
    g_cellsStreamed = streamed;
}

void Application::setRoomNotice(std::function<void()> notice)
{
    RoomNotice& room = roomNotice();
    const std::lock_guard<std::mutex> hold(room.lock);
    room.notice = std::move(notice);
}

bool Application::writerBehind() const
{
    for (const std::unique_ptr<Workbook>& book : d->workbooks)
        if (const auto& stream = ModelAccess::of(*book).stream; stream && stream->behind())
            return true;
    return false;
}

Application::Application() : d(std::make_unique<Impl>())
{ }

Application::~Application() = default;

Workbook* Application::addWorkbook()
{
    if (d->folder.isEmpty())
        d->folder = workbookFolder();
    ensurePrivateFolder(d->folder, FolderUse::AsItIs);
    const QString scratch = scratchFolder();
    ensurePrivateFolder(scratch, FolderUse::MakePrivate);
    auto store = std::make_unique<TempStore>(scratch);
    auto stream = g_cellsStreamed ? std::make_unique<CellStream>(*store) : nullptr;
    auto book = std::unique_ptr<Workbook>(new Workbook(DefaultSheetCount));
    ModelAccess::of(*book).store = std::move(store);
    ModelAccess::of(*book).stream = std::move(stream);
    d->workbooks.push_back(std::move(book));
    return d->workbooks.back().get();
}

void Application::setDocumentName(const QString& name)
{
    d->documentName = name;
}

QString Application::writeAndOpen()
{
    std::vector<Workbook*> pending;
    for (const auto& book : d->workbooks)
        if (ModelAccess::of(*book).filePath.isEmpty())
            pending.push_back(book.get());

    QStringList written;
    try {
        for (Workbook* book : pending)
            written << d->write(*book);
    } catch (...) {
        for (const QString& path : written)
            ::unlink(QFile::encodeName(path).constData());
        throw;
    }
    for (std::size_t i = 0; i < pending.size(); ++i) {
        Workbook::Impl& wb = ModelAccess::of(*pending[i]);
        wb.filePath = written[qsizetype(i)];
        // Handed over: the cells now live in the file.
        wb.stream.reset();
        wb.store.reset();
        wb.buffer.reset();
        wb.used = 0;
        wb.owner = nullptr;
        for (auto& sheet : wb.sheets)
            std::vector<Worksheet::Impl::Chunk>().swap(ModelAccess::of(*sheet).chunks);
    }
    d->visible = true;

    for (const QString& path : written)
        openInDesktop(path);
    return written.isEmpty() ? QString() : written.back();
}

bool Application::opened() const
{
    return d->visible;
}

} // namespace xl
