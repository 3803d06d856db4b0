// The .xlsx file made from the cell store: the kept records replayed into
// libxlsxwriter, for a workbook whose cells could not all stream to it.

#include "platform/workbook/WriterParts.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <limits>
#include <locale.h>
#include <numeric>
#include <sys/resource.h>
#include <sys/stat.h>

namespace xl {

QString writerWords(lxw_error error, int systemError)
{
    QString words = QString::fromUtf8(lxw_strerror(error));
    if (systemError != 0)
        words += QStringLiteral(" (") + systemWords(systemError) + QLatin1Char(')');
    return words;
}

double columnWidth(unsigned shownChars)
{
    return std::min(255.0, shownChars * 1.1 + 1.0);
}

Formats::Formats(lxw_workbook* book)
    : date(workbook_add_format(book))
    , time(workbook_add_format(book))
    , dateTime(workbook_add_format(book))
    , plain(workbook_add_format(book))
{
    // Built-in formats that follow the reader's regional settings: short date, time, date and time.
    format_set_num_format_index(date, 14);
    format_set_num_format_index(time, 21);
    format_set_num_format_index(dateTime, 22);
}

bool emitRecord(lxw_worksheet* sheet, const Record& r, const Formats& f)
{
    lxw_error e = LXW_NO_ERROR;
    switch (r.kind) {
    case KNumber:
        e = worksheet_write_number(sheet, r.row, r.column, r.number, nullptr);
        break;
    case KText:
        e = worksheet_write_string(sheet, r.row, r.column, r.text, nullptr);
        break;
    case KFalse:
    case KTrue:
        e = worksheet_write_boolean(sheet, r.row, r.column, r.kind == KTrue, nullptr);
        break;
    case KDate:
        e = worksheet_write_number(sheet, r.row, r.column, r.number, f.date);
        break;
    case KTime:
        e = worksheet_write_number(sheet, r.row, r.column, r.number, f.time);
        break;
    case KDateTime:
        e = worksheet_write_number(sheet, r.row, r.column, r.number, f.dateTime);
        break;
    case KEmpty:
        return false;
    }
    if (e != LXW_NO_ERROR)
        fail(ApplicationDefinedError,
            QStringLiteral("Cannot write the cell at row %1, column %2: %3")
                .arg(long(r.row) + 1)
                .arg(long(r.column) + 1)
                .arg(writerWords(e, 0)));
    return true;
}

namespace {

/**
 * Descriptors kept free for everything else while the file is written: the
 * writer's own files at the end (one sheet's XML at a time, the zip, shared
 * strings), the opener's process, and what the window opens meanwhile.
 */
constexpr long SpareDescriptors = 64;

/** How many more files this process may open now, under its soft limit. */
long descriptorsLeft()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<long>::max();
    long open = 0;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(fds))
            open += entry->d_name[0] != '.';
        ::closedir(fds);
        --open; // the listing's own
    }
    return long(limit.rlim_cur) - open;
}

/**
 * Which sheets the writer keeps in a temporary file (its constant-memory
 * mode) rather than in memory until the end. In that mode it holds one file
 * open per sheet until the whole workbook is written, so a workbook of more
 * sheets than the process may open files would fail. The files go to the
 * sheets with the most records, as far as the descriptors allow; memory then
 * holds only the smallest sheets.
 */
std::vector<bool> sheetsWithTemporaryFile(const Workbook::Impl& wb)
{
    const std::size_t count = wb.sheets.size();
    const long budget = std::max(0L, descriptorsLeft() - SpareDescriptors);
    std::vector<bool> chosen(count, false);
    if (std::size_t(budget) >= count) {
        chosen.assign(count, true);
        return chosen;
    }
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return ModelAccess::of(*wb.sheets[a]).records > ModelAccess::of(*wb.sheets[b]).records;
    });
    for (std::size_t i = 0; i < std::size_t(budget); ++i)
        chosen[order[i]] = true;
    return chosen;
}

/**
 * The temporary files libxlsxwriter (1.1) opened for sheets in constant-memory
 * mode. It closes one only when it assembles that sheet inside workbook_close;
 * lxw_workbook_free does not, and a workbook_close that fails part way leaves
 * those of the sheets it did not reach. Closed here after a failure, so that a
 * failed write does not keep hundreds of descriptors (and the window then
 * unable to open anything, down to the message that tells of the failure).
 */
class SheetFiles {
public:
    void add(lxw_worksheet* sheet)
    {
        if (!sheet->optimize || !sheet->optimize_tmpfile)
            return;
        Open file{sheet->optimize_tmpfile, ::fileno(sheet->optimize_tmpfile), 0, 0};
        struct stat st;
        if (file.fd < 0 || ::fstat(file.fd, &st) != 0)
            return;
        file.device = st.st_dev;
        file.inode = st.st_ino;
        m_files.push_back(file);
    }

    /** Only after a failed write: those the writer never reached. */
    void closeLeftovers()
    {
        for (const Open& file : m_files) {
            // The files have no name, so the system frees one when the writer
            // closes it; a descriptor that still leads to the same file is one
            // the writer never closed, and its FILE is still alive.
            struct stat st;
            if (::fstat(file.fd, &st) == 0 && st.st_dev == file.device && st.st_ino == file.inode)
                std::fclose(file.stream);
        }
        m_files.clear();
    }

private:
    struct Open {
        FILE* stream;
        int fd;
        dev_t device;
        ino_t inode;
    };
    std::vector<Open> m_files;
};

/** Answers whether any cell went out. */
bool replaySheet(lxw_worksheet* sheet, const Worksheet::Impl& s, const TempStore& store, const Formats& f)
{
    bool any = false;
    if (!s.needsSort) {
        // In row order already: piece by piece, as it was written.
        std::size_t largest = 0;
        for (const auto& chunk : s.chunks)
            largest = std::max(largest, chunk.length);
        auto piece = std::make_unique_for_overwrite<char[]>(largest);
        Cursor at;
        for (const auto& chunk : s.chunks) {
            store.read(chunk.offset, piece.get(), chunk.length);
            forEachRecord(piece.get(), piece.get() + chunk.length, at,
                [&](const Record& r) { any = emitRecord(sheet, r, f) || any; });
        }
        return any;
    }
    // Written out of order: the writer needs rising rows, and a later write to a cell wins.
    std::size_t total = 0;
    for (const auto& chunk : s.chunks)
        total += chunk.length;
    std::vector<char> all(total);
    std::size_t filled = 0;
    for (const auto& chunk : s.chunks) {
        store.read(chunk.offset, all.data() + filled, chunk.length);
        filled += chunk.length;
    }
    std::vector<Record> records;
    Cursor at;
    forEachRecord(all.data(), all.data() + all.size(), at, [&](const Record& r) { records.push_back(r); });
    std::stable_sort(records.begin(), records.end(),
        [](const Record& a, const Record& b) { return a.row != b.row ? a.row < b.row : a.column < b.column; });
    for (std::size_t i = 0; i < records.size(); ++i) {
        const bool overwritten = i + 1 < records.size() && records[i + 1].row == records[i].row
            && records[i + 1].column == records[i].column;
        if (!overwritten)
            any = emitRecord(sheet, records[i], f) || any;
    }
    return any;
}

} // namespace

void writeXlsx(Workbook::Impl& wb, const QByteArray& path, const QByteArray& tmpdir)
{
    CLocaleScope cLocale;
    const std::vector<bool> withFile = sheetsWithTemporaryFile(wb);

    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = const_cast<char*>(tmpdir.constData());
    errno = 0;
    lxw_workbook* book = workbook_new_opt(path.constData(), &options);
    if (!book)
        failStorage(errno ? long(errno) : long(ApplicationDefinedError),
            QStringLiteral("The workbook writer could not start: %1")
                .arg(errno ? systemWords(errno) : QStringLiteral("out of memory")));
    SheetFiles sheetFiles;
    struct BookGuard {
        lxw_workbook* book;
        SheetFiles& files;
        ~BookGuard()
        {
            if (book) {
                files.closeLeftovers();
                lxw_workbook_free(book);
            }
        }
    } guard{book, sheetFiles};

    const Formats formats(book);

    lxw_worksheet* active = nullptr;
    for (std::size_t i = 0; i < wb.sheets.size(); ++i) {
        const Worksheet::Impl& s = ModelAccess::of(*wb.sheets[i]);
        const QByteArray name = s.name.toUtf8();
        // libxlsxwriter takes the mode of a sheet from the workbook's option
        // when the sheet is added, so the option is set sheet by sheet.
        book->options.constant_memory = withFile[i] ? LXW_TRUE : LXW_FALSE;
        errno = 0;
        lxw_worksheet* out = workbook_add_worksheet(book, name.constData());
        if (!out) {
            // The model has checked the name; what remains is the sheet's temporary file or memory.
            if (errno)
                failSystem(errno, QStringLiteral("The workbook writer could not add the sheet \"%1\"").arg(s.name));
            fail(ApplicationDefinedError, QStringLiteral("The workbook writer refused the sheet \"%1\".").arg(s.name));
        }
        sheetFiles.add(out);
        if (s.autoFit) {
            for (std::size_t c = 0; c < s.fitted.size(); ++c) {
                if (s.fitted[c] == 0)
                    continue;
                const lxw_error e
                    = worksheet_set_column(out, lxw_col_t(c), lxw_col_t(c), columnWidth(s.fitted[c]), nullptr);
                if (e != LXW_NO_ERROR)
                    fail(ApplicationDefinedError,
                        QStringLiteral("Cannot set the column widths of \"%1\": %2").arg(s.name, writerWords(e, 0)));
            }
        }
        // The writer (1.1.x) never closes the temporary file of a sheet
        // without cells in constant-memory mode; a blank cell without a style
        // keeps it in step. A sheet kept in memory has no such file.
        if (!replaySheet(out, s, *wb.store, formats) && withFile[i])
            worksheet_write_blank(out, 0, 0, formats.plain);
        if (wb.sheets[i].get() == wb.active)
            active = out;
    }
    if (active)
        worksheet_activate(active);

    guard.book = nullptr;
    errno = 0;
    const lxw_error e = [&] {
        const FastPacking fast;
        return workbook_close(book);
    }();
    const int systemError = errno;
    if (e != LXW_NO_ERROR) {
        sheetFiles.closeLeftovers();
        failStorage(systemError ? long(systemError) : long(ApplicationDefinedError),
            QStringLiteral("The workbook could not be written to %1: %2")
                .arg(QFile::decodeName(path), writerWords(e, systemError)));
    }
}

bool writerWorks(const QByteArray& path, const QByteArray& tmpdir)
{
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = const_cast<char*>(tmpdir.constData());
    CLocaleScope cLocale;
    lxw_workbook* book = workbook_new_opt(path.constData(), &options);
    if (!book)
        return false;
    SheetFiles sheetFiles;
    lxw_worksheet* sheet = workbook_add_worksheet(book, nullptr);
    if (sheet)
        sheetFiles.add(sheet);
    if (!sheet || worksheet_write_number(sheet, 0, 0, 1.5, nullptr) != LXW_NO_ERROR) {
        sheetFiles.closeLeftovers();
        lxw_workbook_free(book);
        return false;
    }
    if (workbook_close(book) != LXW_NO_ERROR) {
        sheetFiles.closeLeftovers();
        return false;
    }
    return true;
}

} // namespace xl
