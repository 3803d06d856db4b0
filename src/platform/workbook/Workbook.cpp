// The model's Excel rules (names, limits, tab order) and the cell spool that
// keeps written cells in a temporary file until the workbook is written.

#include "platform/workbook/ModelParts.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace xl {

void fail(long number, const QString& text)
{
    throw quorvane::Error(number, text);
}

void failStorage(long number, const QString& text)
{
    throw StorageError(number, text);
}

void failSystem(int error, const QString& what)
{
    failStorage(error, what + QStringLiteral(": ") + systemWords(error));
}

UniqueFd::~UniqueFd()
{
    reset();
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

// ---------------------------------------------------------------- temporary storage

TempStore::TempStore(const QString& folder)
{
    const QByteArray dir = QFile::encodeName(folder);
    m_fd = ::open(dir.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        // File systems without unnamed files: take a name and drop it at once.
        QByteArray name = dir + "/.quorvane-cells-XXXXXX";
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd < 0)
            failSystem(errno, QStringLiteral("Cannot create a temporary file in %1").arg(folder));
        ::unlink(name.constData());
    }
}

TempStore::~TempStore()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::uint64_t TempStore::append(const char* data, std::size_t size)
{
    const std::uint64_t start = reserve(size);
    writeAt(start, data, size);
    return start;
}

std::uint64_t TempStore::reserve(std::size_t size)
{
    return m_size.fetch_add(size);
}

void TempStore::writeAt(std::uint64_t offset, const char* data, std::size_t size) const
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, data + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failSystem(errno, QStringLiteral("Cannot keep the cells in the temporary file"));
        }
        done += std::size_t(n);
    }
}

void TempStore::read(std::uint64_t offset, char* into, std::size_t size) const
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(m_fd, into + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failSystem(n < 0 ? errno : EIO, QStringLiteral("Cannot read the cells back from the temporary file"));
        done += std::size_t(n);
    }
}

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

template <class T>
void put(char*& p, T value)
{
    std::memcpy(p, &value, sizeof value);
    p += sizeof value;
}

// ---------------------------------------------------------------- text

struct TextScan {
    bool valid = true;
    std::size_t utf16 = 0;
    /** Holds something the file must spell out as _xHHHH_ (see escapeText). */
    bool needsEscape = false;
};

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

/** "_xHHHH_" at i: the spreadsheet would read it as an escaped character. */
bool escapeLookalikeAt(std::string_view s, std::size_t i)
{
    return i + 7 <= s.size() && s[i] == '_' && s[i + 1] == 'x' && isHex(s[i + 2]) && isHex(s[i + 3]) && isHex(s[i + 4])
        && isHex(s[i + 5]) && s[i + 6] == '_';
}

/** Validates UTF-8 and counts UTF-16 units in one pass; plain ASCII goes eight bytes at a time. */
TextScan scanText(std::string_view s)
{
    TextScan scan;
    auto p = reinterpret_cast<const unsigned char*>(s.data());
    const auto end = p + s.size();
    std::size_t units = 0;
    while (p < end) {
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ull)
                break;
            p += 8;
            units += 8;
        }
        if (p >= end)
            break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            ++units;
            continue;
        }
        auto cont = [&](std::ptrdiff_t k) { return end - p > k && (p[k] & 0xC0) == 0x80; };
        if (c >= 0xC2 && c < 0xE0 && cont(1)) {
            p += 2;
            units += 1;
        } else if (c >= 0xE0 && c < 0xF0 && cont(1) && cont(2) && !(c == 0xE0 && p[1] < 0xA0)
            && !(c == 0xED && p[1] >= 0xA0)) {
            if (c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE)
                scan.needsEscape = true; // U+FFFE and U+FFFF are not allowed in XML
            p += 3;
            units += 1;
        } else if (c >= 0xF0 && c < 0xF5 && cont(1) && cont(2) && cont(3) && !(c == 0xF0 && p[1] < 0x90)
            && !(c == 0xF4 && p[1] >= 0x90)) {
            p += 4;
            units += 2;
        } else {
            scan.valid = false;
            return scan;
        }
    }
    scan.utf16 = units;
    if (!scan.needsEscape && std::memchr(s.data(), '\0', s.size()))
        scan.needsEscape = true;
    if (!scan.needsEscape) {
        for (const char* u = static_cast<const char*>(std::memchr(s.data(), '_', s.size())); u;) {
            const std::size_t i = std::size_t(u - s.data());
            if (escapeLookalikeAt(s, i)) {
                scan.needsEscape = true;
                break;
            }
            u = static_cast<const char*>(std::memchr(u + 1, '_', s.size() - i - 1));
        }
    }
    return scan;
}

/**
 * The spreadsheet reads "_xHHHH_" in a cell's text as the character HHHH;
 * that is how the file holds characters XML cannot. The writer spells out the
 * control characters itself, but not NUL (its strings end there), U+FFFE and
 * U+FFFF, nor text that merely looks like such an escape: without "_x005F_"
 * in front, "_x0041_" would come back as "A".
 */
void escapeText(std::string_view s, std::string& out)
{
    out.clear();
    out.reserve(s.size() + 32);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\0') {
            out += "_x0000_";
        } else if (c == '_' && escapeLookalikeAt(s, i)) {
            out += "_x005F_";
        } else if (c == '\xEF' && i + 2 < s.size() && s[i + 1] == '\xBF'
            && (s[i + 2] == '\xBE' || s[i + 2] == '\xBF')) {
            out += s[i + 2] == '\xBE' ? "_xFFFE_" : "_xFFFF_";
            i += 2;
        } else {
            out += c;
        }
    }
}

std::size_t codePoints(std::string_view s)
{
    std::size_t n = 0;
    for (const char c : s)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
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

// ---------------------------------------------------------------- names

const QString ForbiddenNameCharacters = QStringLiteral(":\\/?*[]");

QString defaultName(int n)
{
    return QStringLiteral("Sheet%1").arg(n);
}

/**
 * The database name as the first part of a file name. It is kept as it is,
 * but for what a file name cannot hold ("/" and NUL) and for leading dots,
 * which would hide the file. Cut short so that the whole name, with the time,
 * a number and the temporary name's dot and ".part", stays within the 255
 * bytes a file name may have.
 */
QString fileBaseName(const QString& documentName)
{
    QString base;
    qsizetype bytes = 0;
    for (const char32_t c : documentName.toUcs4()) {
        const QString character = c == U'/' || c == 0 ? QStringLiteral("_") : QString::fromUcs4(&c, 1);
        bytes += character.toUtf8().size();
        if (bytes > 200)
            break;
        base += character;
    }
    while (base.startsWith(QLatin1Char('.')))
        base.remove(0, 1);
    return base.trimmed().isEmpty() ? QStringLiteral("Workbook") : base;
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

/** A full disk or quota: a second attempt would only meet it again. */
bool isFull(long error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

const char* const XlsxMimeType = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";

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

QString SheetNameProblem(const QString& name)
{
    const QString quoted = QStringLiteral("\"%1\"").arg(name);
    if (name.isEmpty())
        return QStringLiteral("You typed an invalid name for a sheet: the name cannot be blank.");
    if (name.size() > MaxSheetNameChars)
        return QStringLiteral("You typed an invalid name for a sheet: %1 has %2 characters, and a sheet name cannot "
                              "exceed 31 characters.")
            .arg(quoted)
            .arg(name.size());
    for (const QChar c : name) {
        if (ForbiddenNameCharacters.contains(c))
            return QStringLiteral("You typed an invalid name for a sheet: %1 contains \"%2\". A sheet name cannot "
                                  "contain any of the following characters: : \\ / ? * [ or ]")
                .arg(quoted, c);
    }
    if (name.startsWith(QLatin1Char('\'')) || name.endsWith(QLatin1Char('\'')))
        return QStringLiteral("You typed an invalid name for a sheet: %1. A sheet name cannot begin or end with an "
                              "apostrophe.")
            .arg(quoted);
    if (name.compare(QLatin1String("History"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("You typed an invalid name for a sheet: \"History\" is a name reserved by Excel.");
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const bool pair = c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate();
        if (pair) {
            ++i;
            continue;
        }
        if (c.unicode() < 0x20 || c.unicode() == 0xFFFE || c.unicode() == 0xFFFF || c.isSurrogate())
            return QStringLiteral("You typed an invalid name for a sheet: %1 contains the character U+%2, which a "
                                  "sheet name cannot hold.")
                .arg(quoted)
                .arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return {};
}

// ================================================================ Worksheet

int Workbook::Impl::indexOf(const Worksheet* sheet) const
{
    for (std::size_t i = 0; i < sheets.size(); ++i)
        if (sheets[i].get() == sheet)
            return int(i);
    return -1;
}

namespace {
/** A sheet name folded code point by code point: Excel compares names without regard to letter case. */
QString foldedName(const QString& name)
{
    QString folded;
    folded.reserve(name.size());
    for (const char32_t c : name.toUcs4()) {
        const char32_t f = QChar::toCaseFolded(c);
        folded += QString::fromUcs4(&f, 1);
    }
    return folded;
}
} // namespace

bool Workbook::Impl::nameTaken(const QString& name, const Worksheet* except) const
{
    const auto found = byName.constFind(foldedName(name));
    return found != byName.constEnd() && found.value() != except;
}

void Workbook::Impl::named(const Worksheet* sheet, const QString& name)
{
    byName.insert(foldedName(name), sheet);
    ++lowerNames[name.toLower()];
}

void Workbook::Impl::unnamed(const Worksheet* sheet, const QString& name)
{
    const QString key = foldedName(name);
    if (byName.value(key) == sheet)
        byName.remove(key);
    const auto lower = lowerNames.find(name.toLower());
    if (lower != lowerNames.end() && --lower.value() == 0)
        lowerNames.erase(lower);
}

QString Workbook::Impl::freeDefaultName() const
{
    for (int n = 1;; ++n)
        if (!nameTaken(defaultName(n), nullptr))
            return defaultName(n);
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
        if (codePoints(escaped) > MaxCellChars)
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

/** Writes the record of a cell at (r, c) after the one at `last`; answers where it ends. */
char* putRecord(char* p, const Cursor& last, std::uint32_t r, std::uint16_t c, const PreparedCell& cell, double number)
{
    const unsigned char tag = cell.kind;
    if (last.any && r == last.row && c == last.column + 1) {
        *p++ = char(tag | PosNextColumn);
    } else if (last.any && r == last.row + 1 && c == 0) {
        *p++ = char(tag | PosNextRow);
    } else if (last.any && r == last.row) {
        *p++ = char(tag | PosSameRow);
        put(p, c);
    } else {
        *p++ = char(tag | PosExplicit);
        put(p, r);
        put(p, c);
    }
    switch (cell.kind) {
    case KNumber:
    case KDate:
    case KTime:
    case KDateTime:
        put(p, number);
        break;
    case KText: {
        auto length = std::uint32_t(cell.text.size());
        while (length >= 0x80) {
            *p++ = char((length & 0x7F) | 0x80);
            length >>= 7;
        }
        *p++ = char(length);
        std::memcpy(p, cell.text.data(), cell.text.size());
        p += cell.text.size();
        *p++ = '\0';
        break;
    }
    default:
        break;
    }
    return p;
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

    const std::size_t most = 1 + 6 + (cell.kind == KText ? 5 + cell.text.size() + 1 : 8);
    char* const start = wb.reserve(d.get(), most);
    wb.used += std::size_t(putRecord(start, s.last, r, c, cell, value.number) - start);

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
        d->sheets.push_back(std::unique_ptr<Worksheet>(new Worksheet(this, defaultName(n))));
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

namespace {

/** Renames without replacing; false when the target exists. */
bool renameNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        failSystem(errno, QStringLiteral("Cannot put the workbook in place as %1").arg(QFile::decodeName(to)));
    // File systems without the flag: a hard link fails on an existing name as well.
    if (::link(from.constData(), to.constData()) != 0) {
        if (errno == EEXIST)
            return false;
        failSystem(errno, QStringLiteral("Cannot put the workbook in place as %1").arg(QFile::decodeName(to)));
    }
    ::unlink(from.constData());
    return true;
}

bool exists(const QByteArray& path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

/** "Northwind 2026-12-07 23.25.32.xlsx", then " (2)" and so on, in the workbook folder. */
struct WorkbookName {
    QString folder;
    QString base;
    int number = 1;

    QString fileName() const
    {
        return number == 1 ? base + QStringLiteral(".xlsx") : base + QStringLiteral(" (%1).xlsx").arg(number);
    }
    QByteArray target() const { return QFile::encodeName(folder + QLatin1Char('/') + fileName()); }
    /**
     * Hidden while it is written, beside the place it goes to, so that the
     * rename is one step on one file system and no half-written workbook
     * ever carries a name the user would open.
     */
    QByteArray part() const { return QFile::encodeName(folder + QStringLiteral("/.") + fileName()) + PartSuffix; }
};

/** Creates the ".part" file of the first free name from `name` on, locked in `lock`; answers its path. */
QByteArray createPartFile(WorkbookName& name, UniqueFd& lock)
{
    for (;; ++name.number) {
        if (exists(name.target()))
            continue;
        const QByteArray part = name.part();
        const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno != EEXIST)
                failSystem(errno, QStringLiteral("Cannot create the workbook file %1").arg(QFile::decodeName(part)));
            continue;
        }
        lock.reset(fd);
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!locked && errno != EWOULDBLOCK)
            return part; // a file system without locks: written unguarded, and never taken for abandoned
        struct stat mine, named;
        if (locked && ::fstat(fd, &mine) == 0 && ::stat(part.constData(), &named) == 0 && mine.st_dev == named.st_dev
            && mine.st_ino == named.st_ino)
            return part;
        // In the instant before the lock, a starting instance took the new
        // file for abandoned and is removing it: another name.
        lock.reset();
    }
}

} // namespace

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

    /**
     * The file from the sheets packed as their cells streamed, and from the
     * cell store for the others. A failure other than a full disk is tried
     * once more with every sheet made from the cell store: what went wrong
     * may have been in what streamed.
     */
    void writeFile(Workbook::Impl& wb, int fd, const QByteArray& part)
    {
        try {
            return writePackage(wb, fd, part, wb.stream.get());
        } catch (const StorageError& e) {
            if (isFull(e.number()) || (wb.stream && !wb.stream->allKept()))
                throw;
            qWarning("%s; trying once more", qPrintable(e.description()));
            if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
                throw;
        }
        writePackage(wb, fd, part, nullptr);
    }

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
        // "Northwind 2026-12-07 23.25.32.xlsx": the user finds it among the
        // documents by the database and sorts a database's exports by time.
        WorkbookName name{folder,
            fileBaseName(documentName) + QLatin1Char(' ')
                + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"))};
        // Held until the workbook has its final name: the lock tells a starting
        // instance that this ".part" file is being written (removeAbandonedFiles).
        // Released after the guard below has removed a failed file, never before.
        UniqueFd lock;
        const QByteArray part = createPartFile(name, lock);
        FileGuard partGuard(part);
        writeFile(wb, lock.get(), part);
        if (::chmod(part.constData(), 0600) != 0)
            failSystem(errno, QStringLiteral("Cannot protect the workbook file %1").arg(QFile::decodeName(part)));
        QByteArray target = name.target();
        while (!renameNoReplace(part, target)) {
            ++name.number;
            target = name.target();
        }
        partGuard.keep();
        return QFile::decodeName(target);
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

std::optional<FolderProblem> Application::trialWriteProblem(const QString& folder)
{
    const auto problem = [&](int error) {
        const QString reason = QStringLiteral("a trial workbook cannot be written there");
        return FolderProblem{folder, error ? reason + QStringLiteral(" (%1)").arg(systemWords(error)) : reason};
    };
    try {
        const QString scratch = scratchFolder();
        ensurePrivateFolder(scratch, FolderUse::MakePrivate);
        auto store = std::make_unique<TempStore>(scratch);
        QByteArray probe = QFile::encodeName(folder) + "/.probe-XXXXXX";
        const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
        if (fd < 0)
            return problem(errno);
        FileGuard guard(probe);
        // A workbook's worth of bytes first, for the system's own words on a
        // full disk or quota; the writer's failure says less.
        const std::vector<char> bytes(64 * 1024);
        for (std::size_t written = 0; written < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int error = n < 0 ? errno : ENOSPC;
                ::close(fd);
                return problem(error);
            }
            written += std::size_t(n);
        }
        // Then the same file made a tiny workbook by the writer itself.
        const UniqueFd file(fd);
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            return problem(errno);
        Workbook tiny(1);
        Workbook::Impl& wb = ModelAccess::of(tiny);
        wb.store = std::move(store);
        CellValue number;
        number.type = CellValue::Number;
        number.number = 1.5;
        tiny.worksheet(1)->write(1, 1, number);
        wb.flush();
        try {
            writePackage(wb, fd, probe, nullptr);
        } catch (const StorageError& e) {
            return problem(e.number() > 0 && e.number() < 4096 ? int(e.number()) : 0);
        }
    } catch (const quorvane::Error& e) {
        return FolderProblem{folder, e.description()};
    }
    return std::nullopt;
}

bool Application::canBeCreated(const QString& folder)
{
    try {
        ensurePrivateFolder(folder, FolderUse::AsItIs);
    } catch (const quorvane::Error&) {
        return false;
    }
    return !trialWriteProblem(folder) && spreadsheetApplicationNamed();
}

bool Application::spreadsheetApplicationNamed()
{
    QProcess query;
    query.start(QStringLiteral("xdg-mime"),
        {QStringLiteral("query"), QStringLiteral("default"), QString::fromLatin1(XlsxMimeType)});
    if (!query.waitForFinished(15000)) {
        query.kill();
        query.waitForFinished(1000);
        return false;
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return false;
    const QString entry = QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
    return entry.endsWith(QLatin1String(".desktop")) && !entry.contains(QLatin1Char('\n'));
}

} // namespace xl
