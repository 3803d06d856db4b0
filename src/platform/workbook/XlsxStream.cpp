// The file written as cells arrive: each buffer of records goes into the cell
// store and into libxlsxwriter on the writer's thread, while the next ones are
// being read from the database.
//
// libxlsxwriter (1.1) keeps the rows of a constant-memory sheet in a file of
// its own, open until the workbook is packed, and takes tabs in the order
// sheets were added. Here a sheet's rows go into the cell store instead,
// through a stream that holds no descriptor (fopencookie), so a workbook of
// any number of sheets needs no descriptor beyond the store's own; and
// the tab order and names are put right in the writer's lists just before
// the workbook is packed.

#include "platform/workbook/WriterParts.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace xl {

namespace {

/** Buffers that may wait for the writer before the one who writes cells waits in turn. */
constexpr std::size_t WaitingBuffers = 4;

/** Where a sheet's row XML lies in the shared file: pieces in order. */
struct RowXml {
    std::vector<Worksheet::Impl::Chunk> pieces;
    std::uint64_t size = 0;
};

/** One stdio stream over a sheet's row XML: the writer appends through it, and reads it back when packing. */
struct XmlStream {
    TempStore* store;
    RowXml* rows;
    int* error; // the first failure of any stream, as an errno
    std::uint64_t position = 0;
    FILE* file = nullptr;
    bool open = true;

    /** Keeps the store's failure as an errno for the caller of the stdio function. */
    ssize_t failed(const quorvane::Error& e)
    {
        if (!*error)
            *error = e.number() > 0 && e.number() < 4096 ? int(e.number()) : EIO;
        errno = *error;
        return -1;
    }

    void append(const char* data, std::size_t size)
    {
        const std::uint64_t at = store->append(data, size);
        auto& pieces = rows->pieces;
        if (!pieces.empty() && pieces.back().offset + pieces.back().length == at)
            pieces.back().length += size;
        else
            pieces.push_back({at, size});
        rows->size += size;
    }

    /** Reads up to `size` bytes from `skip` bytes into the rows on; answers how many there were. */
    std::size_t readAt(std::uint64_t skip, char* into, std::size_t size) const
    {
        std::size_t done = 0;
        for (const auto& piece : rows->pieces) {
            if (done == size)
                break;
            if (skip >= piece.length) {
                skip -= piece.length;
                continue;
            }
            const std::size_t n = std::min<std::uint64_t>(piece.length - skip, size - done);
            store->read(piece.offset + skip, into + done, n);
            done += n;
            skip = 0;
        }
        return done;
    }

    static ssize_t write(void* cookie, const char* data, size_t size)
    {
        auto& s = *static_cast<XmlStream*>(cookie);
        try {
            s.append(data, size);
            return ssize_t(size);
        } catch (const quorvane::Error& e) {
            return s.failed(e);
        }
    }

    static ssize_t read(void* cookie, char* into, size_t size)
    {
        auto& s = *static_cast<XmlStream*>(cookie);
        try {
            const std::size_t done = s.readAt(s.position, into, size);
            s.position += done;
            return ssize_t(done);
        } catch (const quorvane::Error& e) {
            return s.failed(e);
        }
    }

    static int seek(void* cookie, off64_t* offset, int whence)
    {
        auto& s = *static_cast<XmlStream*>(cookie);
        const std::int64_t base = whence == SEEK_SET ? 0
            : whence == SEEK_CUR                     ? std::int64_t(s.position)
                                                     : std::int64_t(s.rows->size);
        if (base + *offset < 0)
            return -1;
        s.position = std::uint64_t(base + *offset);
        *offset = off64_t(s.position);
        return 0;
    }

    static int close(void* cookie)
    {
        static_cast<XmlStream*>(cookie)->open = false;
        return 0;
    }
};

/** A buffer of one sheet's records on its way to the writer. */
struct Job {
    std::uint32_t serial;
    std::unique_ptr<char[]> records;
    std::size_t size;
    std::uint64_t offset;
};

} // namespace

struct CellStream::Impl {
    /** The writer's side of one sheet of the model. */
    struct Sheet {
        lxw_worksheet* out = nullptr;
        RowXml rows;
        FILE* file = nullptr; // while the writer is at this sheet
        Cursor at; // decoding carries over from buffer to buffer
        bool any = false;
        std::uint32_t row = 0; // the last cell written
        std::uint16_t column = 0;
        bool rowClosed = false; // the writer left the sheet after that cell: its row has been written out
    };

    TempStore& cells; // the records, and the rows' XML beside them
    QByteArray tmpdir;
    int xmlError = 0;

    // Shared with the thread that writes cells.
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Job> waiting;
    std::vector<std::unique_ptr<char[]>> spare;
    bool busy = false; // a job is being written
    bool stop = false;
    std::exception_ptr failure; // the storage failed: nothing more is written
    std::thread thread;

    // The writer's thread only, until it has been drained.
    lxw_workbook* book = nullptr;
    std::unique_ptr<Formats> formats;
    std::unordered_map<std::uint32_t, Sheet> sheets;
    Sheet* current = nullptr;
    bool broken = false; // the cells cannot all go straight into the writer
    std::deque<XmlStream> streams;
    std::vector<char> fileBuffer = std::vector<char>(std::size_t(64) << 10);
    std::vector<char*> replacedNames; // placeholders the writer's name index still points to

    Impl(TempStore& cells, const QString& scratch) : cells(cells), tmpdir(QFile::encodeName(scratch)) { }

    void run();
    std::exception_ptr keep(const Job& job);
    void write(const Job& job);
    bool startBook();
    bool startSheet(std::uint32_t serial, Sheet& sheet);
    void enter(Sheet& sheet);
    void leave(Sheet& sheet);
    FILE* openXml(RowXml& rows, const char* mode);
    void arrange(const Workbook::Impl& wb);
    void discard();
};

CellStream::CellStream(TempStore& cells, const QString& scratch) : d(std::make_unique<Impl>(cells, scratch))
{ }

CellStream::~CellStream()
{
    {
        const std::lock_guard<std::mutex> hold(d->lock);
        d->stop = true;
    }
    d->changed.notify_all();
    if (d->thread.joinable())
        d->thread.join();
    d->discard();
}

std::unique_ptr<char[]> CellStream::hand(
    std::uint32_t serial, std::unique_ptr<char[]> records, std::size_t size, std::uint64_t offset)
{
    std::unique_lock<std::mutex> hold(d->lock);
    if (!d->thread.joinable())
        d->thread = std::thread([this] { d->run(); });
    d->changed.wait(hold, [&] { return d->failure || d->waiting.size() < WaitingBuffers; });
    if (d->failure)
        std::rethrow_exception(d->failure);
    d->waiting.push_back({serial, std::move(records), size, offset});
    d->changed.notify_all();
    if (!d->spare.empty()) {
        auto buffer = std::move(d->spare.back());
        d->spare.pop_back();
        return buffer;
    }
    hold.unlock();
    return std::make_unique_for_overwrite<char[]>(RecordBufferSize);
}

void CellStream::drain()
{
    std::unique_lock<std::mutex> hold(d->lock);
    d->changed.wait(hold, [&] { return d->failure || (d->waiting.empty() && !d->busy); });
    if (d->failure)
        std::rethrow_exception(d->failure);
}

void CellStream::Impl::run()
{
    CLocaleScope cLocale;
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        changed.wait(hold, [&] { return stop || !waiting.empty(); });
        if (waiting.empty())
            return;
        Job job = std::move(waiting.front());
        waiting.pop_front();
        busy = true;
        const bool failed = bool(failure);
        hold.unlock();
        const std::exception_ptr met = failed ? nullptr : keep(job);
        hold.lock();
        busy = false;
        if (met && !failure)
            failure = met;
        spare.push_back(std::move(job.records));
        changed.notify_all();
    }
}

/** Keeps the job's records in the cell store and writes them as cells; answers a failure of the storage. */
std::exception_ptr CellStream::Impl::keep(const Job& job)
{
    try {
        cells.writeAt(job.offset, job.records.get(), job.size);
        write(job);
        if (xmlError)
            failSystem(xmlError, QStringLiteral("Cannot keep the rows in the temporary file"));
    } catch (const StorageError&) {
        return std::current_exception();
    } catch (...) {
        broken = true; // the file is made from the cell store, which tells what failed
    }
    return nullptr;
}

/** Writes the job's records as cells, as long as they come in the order the writer takes them. */
void CellStream::Impl::write(const Job& job)
{
    if (broken)
        return; // the file will be made from the cell store: nothing here is needed any more
    Sheet& sheet = sheets[job.serial];
    if (current != &sheet) {
        if (current)
            leave(*current);
        current = nullptr;
        if (!sheet.out && !startSheet(job.serial, sheet))
            broken = true;
        else
            enter(sheet);
    }
    forEachRecord(job.records.get(), job.records.get() + job.size, sheet.at, [&](const Record& r) {
        if (broken)
            return;
        const bool after
            = !sheet.any || r.row > sheet.row || (r.row == sheet.row && !sheet.rowClosed && r.column > sheet.column);
        // A cleared cell, or one the writer has passed: only the cell store can make this sheet.
        if (r.kind == KEmpty || !after) {
            broken = true;
            return;
        }
        emitRecord(sheet.out, r, *formats);
        sheet.any = true;
        sheet.row = r.row;
        sheet.column = r.column;
        sheet.rowClosed = false;
    });
}

bool CellStream::Impl::startBook()
{
    // Sheets are added without the writer's own file for their rows and
    // made constant-memory sheets here (startSheet), whose rows go to the
    // cell store instead.
    lxw_workbook_options options{};
    options.constant_memory = LXW_FALSE;
    options.tmpdir = tmpdir.data();
    // The file's real name is set when it is written; the writer opens nothing before.
    book = workbook_new_opt("unnamed.xlsx", &options);
    if (book)
        formats = std::make_unique<Formats>(book);
    return book != nullptr;
}

bool CellStream::Impl::startSheet(std::uint32_t serial, Sheet& sheet)
{
    if (!book && !startBook())
        return false;
    // A name no sheet of the model can have ("~" then the serial); the real one is given at the end.
    const QByteArray placeholder = "~" + QByteArray::number(serial);
    errno = 0;
    sheet.out = workbook_add_worksheet(book, placeholder.constData());
    if (!sheet.out)
        return false;
    // A constant-memory sheet is one with this flag, a row of cell places
    // and a file for its rows; the row and the stream come when the writer
    // is at the sheet (enter).
    sheet.out->optimize = LXW_TRUE;
    // Nor does a sheet need room for 128 column settings: the widths, where
    // there are any, are set when the file is written, and the writer makes
    // room for them then.
    std::free(sheet.out->col_options);
    sheet.out->col_options = nullptr;
    sheet.out->col_options_max = 0;
    std::free(sheet.out->col_formats);
    sheet.out->col_formats = nullptr;
    sheet.out->col_formats_max = 0;
    return true;
}

void CellStream::Impl::enter(Sheet& sheet)
{
    sheet.out->array = static_cast<lxw_cell**>(std::calloc(LXW_COL_MAX, sizeof(lxw_cell*)));
    sheet.file = openXml(sheet.rows, "w");
    if (!sheet.out->array || !sheet.file) {
        broken = true;
        return;
    }
    std::setvbuf(sheet.file, fileBuffer.data(), _IOFBF, fileBuffer.size());
    sheet.out->optimize_tmpfile = sheet.out->file = sheet.file;
    current = &sheet;
}

/**
 * The writer moves to another sheet: this one's last row is written out, and
 * its stream and the writer's row of 16,384 cell places are let go, so that a
 * sheet costs little once the writer has left it.
 */
void CellStream::Impl::leave(Sheet& sheet)
{
    lxw_worksheet_write_single_row(sheet.out);
    std::fclose(sheet.file);
    sheet.file = nullptr;
    sheet.out->optimize_tmpfile = sheet.out->file = nullptr;
    std::free(sheet.out->array);
    sheet.out->array = nullptr;
    sheet.rowClosed = true;
}

FILE* CellStream::Impl::openXml(RowXml& rows, const char* mode)
{
    XmlStream& stream = streams.emplace_back(XmlStream{&cells, &rows, &xmlError});
    stream.file = ::fopencookie(
        &stream, mode, cookie_io_functions_t{&XmlStream::read, &XmlStream::write, &XmlStream::seek, &XmlStream::close});
    stream.open = stream.file != nullptr;
    return stream.file;
}

bool CellStream::complete(const Workbook::Impl& wb) const
{
    if (d->broken || d->failure || !d->book || d->xmlError)
        return false;
    std::unordered_set<std::uint32_t> live;
    for (const auto& sheet : wb.sheets) {
        const Worksheet::Impl& s = ModelAccess::of(*sheet);
        if (s.needsSort)
            return false;
        live.insert(s.serial);
    }
    // A sheet deleted after it got cells would still be in the writer's lists.
    for (const auto& [serial, sheet] : d->sheets)
        if (sheet.out && !live.count(serial))
            return false;
    return true;
}

namespace {
void setWidths(lxw_worksheet* out, const std::vector<std::uint16_t>& fitted)
{
    for (std::size_t c = 0; c < fitted.size(); ++c)
        if (fitted[c] != 0)
            worksheet_set_column(out, lxw_col_t(c), lxw_col_t(c), columnWidth(fitted[c]), nullptr);
}
} // namespace

/** The writer's lists in the model's tab order, with the model's names, widths and active sheet. */
void CellStream::Impl::arrange(const Workbook::Impl& wb)
{
    for (const auto& model : wb.sheets) {
        const Worksheet::Impl& s = ModelAccess::of(*model);
        if (!sheets[s.serial].out && !startSheet(s.serial, sheets[s.serial]))
            fail(ApplicationDefinedError, QStringLiteral("The workbook writer refused the sheet \"%1\".").arg(s.name));
    }
    std::unordered_map<lxw_worksheet*, lxw_sheet*> wrappers;
    lxw_sheet* wrapper = nullptr;
    STAILQ_FOREACH(wrapper, book->sheets, list_pointers)
    wrappers[wrapper->u.worksheet] = wrapper;
    STAILQ_INIT(book->sheets);
    STAILQ_INIT(book->worksheets);
    book->active_sheet = 0;
    book->first_sheet = 0;
    lxw_worksheet* active = nullptr;
    std::uint16_t index = 0;
    for (const auto& model : wb.sheets) {
        const Worksheet::Impl& s = ModelAccess::of(*model);
        Sheet& sheet = sheets[s.serial];
        lxw_worksheet* out = sheet.out;
        out->index = index++;
        out->selected = LXW_FALSE;
        out->active = LXW_FALSE;
        // The writer's name index keeps pointing at the placeholder, which lives until the writer is gone.
        const QByteArray name = s.name.toUtf8();
        replacedNames.push_back(out->name);
        std::free(out->quoted_name);
        out->name = lxw_strdup(name.constData());
        out->quoted_name = lxw_quote_sheetname(name.constData());
        STAILQ_INSERT_TAIL(book->sheets, wrappers.at(out), list_pointers);
        STAILQ_INSERT_TAIL(book->worksheets, out, list_pointers);
        if (s.autoFit)
            setWidths(out, s.fitted);
        if (model.get() == wb.active)
            active = out;
    }
    if (active)
        worksheet_activate(active);
    // The streams that read the rows back, opened last sheet first: the C
    // library finds a stream it closes by going through the open ones from
    // the newest, and the writer closes them first sheet first, so each is
    // found at once however many there are.
    for (auto model = wb.sheets.rbegin(); model != wb.sheets.rend(); ++model) {
        Sheet& sheet = sheets[ModelAccess::of(**model).serial];
        if (sheet.out->dim_rowmin != LXW_ROW_MAX)
            sheet.out->optimize_tmpfile = openXml(sheet.rows, "r");
    }
}

void CellStream::writeFile(const Workbook::Impl& wb, const QByteArray& path)
{
    CLocaleScope cLocale;
    if (d->current)
        d->leave(*d->current);
    d->current = nullptr;
    d->arrange(wb);
    std::free(d->book->filename);
    d->book->filename = lxw_strdup(path.constData());
    lxw_workbook* book = std::exchange(d->book, nullptr);
    errno = 0;
    const lxw_error e = [&] {
        const FastPacking fast;
        return workbook_close(book);
    }();
    const int systemError = errno;
    d->discard();
    if (e != LXW_NO_ERROR)
        failStorage(systemError ? long(systemError) : long(ApplicationDefinedError),
            QStringLiteral("The workbook could not be written to %1: %2")
                .arg(QFile::decodeName(path), writerWords(e, systemError)));
    if (d->xmlError)
        failSystem(d->xmlError, QStringLiteral("Cannot read the rows back from the temporary file"));
}

/** Lets go of what the writer still holds: streams it did not close, the workbook if it was not written. */
void CellStream::Impl::discard()
{
    for (XmlStream& stream : streams)
        if (stream.open && stream.file)
            std::fclose(stream.file);
    streams.clear();
    if (book) {
        lxw_workbook_free(book);
        book = nullptr;
    }
    for (char* name : replacedNames)
        std::free(name);
    replacedNames.clear();
    sheets.clear();
    current = nullptr;
}

} // namespace xl
