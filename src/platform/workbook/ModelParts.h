#pragma once

// What the parts of the workbook model share, and nothing outside the model
// includes: the inner state of sheets and workbooks, the cell store and its
// record format, the named files in the private folder, and the entry points
// of the file's writer and the opener. Workbook.cpp holds the Excel rules and
// the cell spool, CellStream.cpp the packing of sheets as their cells
// arrive, SheetXml.cpp a sheet's XML, Deflate.cpp the compression,
// Package.cpp the .xlsx file itself, Folders.cpp the private folders,
// Opener.cpp the hand-over to the desktop.

#include "platform/workbook/Workbook.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace xl {

// ---------------------------------------------------------------- failures

using quorvane::systemWords;

/** A refusal by Excel's rules: plain quorvane::Error. */
[[noreturn]] void fail(long number, const QString& text);
/** The workbook's storage failed: StorageError. */
[[noreturn]] void failStorage(long number, const QString& text);
/** The workbook's storage failed in a system call: StorageError with the system's words. */
[[noreturn]] void failSystem(int error, const QString& what);

// ---------------------------------------------------------------- descriptors

/** A descriptor closed with its owner. */
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) { }
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }
    /** Closes the descriptor held and holds `fd` instead. */
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// ---------------------------------------------------------------- temporary storage

/**
 * A temporary file that has no name from the start (or loses it at once), so
 * the system removes it with the last descriptor, even when the program ends
 * without running any destructor.
 */
class TempStore {
public:
    explicit TempStore(const QString& folder);
    ~TempStore();
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    /** Appends the bytes and answers where they went. Two threads may append at once. */
    std::uint64_t append(const char* data, std::size_t size);
    /** Sets aside room for `size` bytes at the end, to be written later (from any thread) with writeAt. */
    std::uint64_t reserve(std::size_t size);
    void writeAt(std::uint64_t offset, const char* data, std::size_t size) const;
    void read(std::uint64_t offset, char* into, std::size_t size) const;

private:
    int m_fd = -1;
    /** Appended to from the thread that writes cells and from the writer's. */
    std::atomic<std::uint64_t> m_size = 0;
};

// ---------------------------------------------------------------- cell records

/** Records are gathered in buffers of this size; a record is never larger. */
inline constexpr std::size_t RecordBufferSize = std::size_t(256) << 10;
//
// One record per written cell: a tag byte, the position (mostly implied by the
// previous record), then the value. Tag bits 0-2: the kind; bits 3-4: how the
// position is given. Numbers are 8-byte doubles; a text is its length in bytes
// (7 bits a byte, low bits first), the bytes and a NUL.

enum Kind : unsigned char { KEmpty, KNumber, KText, KFalse, KTrue, KDate, KTime, KDateTime };
enum Position : unsigned char {
    PosExplicit = 0 << 3, // row (4 bytes), column (2 bytes)
    PosNextColumn = 1 << 3, // same row, next column
    PosNextRow = 2 << 3, // next row, first column
    PosSameRow = 3 << 3, // same row, column (2 bytes)
};
constexpr unsigned char KindMask = 7, PositionMask = 3 << 3;

struct Cursor {
    bool any = false;
    std::uint32_t row = 0; // 0-based
    std::uint16_t column = 0;
};

struct Record {
    std::uint32_t row;
    std::uint16_t column;
    Kind kind;
    double number;
    const char* text; // NUL-terminated inside the record
    std::uint32_t length; // of the text, in bytes
};

template <class T>
T take(const char*& p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    p += sizeof value;
    return value;
}

/** Decodes the records of [p, end) in order; the cursor carries over between pieces of one sheet. */
template <class F>
void forEachRecord(const char* p, const char* end, Cursor& at, F&& f)
{
    while (p < end) {
        const unsigned char tag = static_cast<unsigned char>(*p++);
        switch (tag & PositionMask) {
        case PosExplicit:
            at.row = take<std::uint32_t>(p);
            at.column = take<std::uint16_t>(p);
            break;
        case PosNextColumn:
            ++at.column;
            break;
        case PosNextRow:
            ++at.row;
            at.column = 0;
            break;
        default:
            at.column = take<std::uint16_t>(p);
            break;
        }
        Record r{at.row, at.column, Kind(tag & KindMask), 0, nullptr, 0};
        switch (r.kind) {
        case KNumber:
        case KDate:
        case KTime:
        case KDateTime:
            r.number = take<double>(p);
            break;
        case KText: {
            std::uint32_t length = 0;
            for (int shift = 0;; shift += 7) {
                const unsigned char b = static_cast<unsigned char>(*p++);
                length |= std::uint32_t(b & 0x7F) << shift;
                if (!(b & 0x80))
                    break;
            }
            r.text = p;
            r.length = length;
            p += length + 1;
            break;
        }
        default:
            break;
        }
        f(r);
    }
}

// ---------------------------------------------------------------- inner state

class CellStream;

/** Lets the parts of the model reach each other's inner state. */
struct ModelAccess {
    static Worksheet::Impl& of(const Worksheet& sheet) { return *sheet.d; }
    static Workbook::Impl& of(const Workbook& book) { return *book.d; }
};

struct Worksheet::Impl {
    struct Chunk {
        std::uint64_t offset;
        std::size_t length;
    };

    Workbook* workbook;
    /** Tells the sheet apart from every other of its workbook, deleted ones included. */
    std::uint32_t serial = 0;
    QString name;
    std::vector<Chunk> chunks;
    Cursor last; // position of the last record kept
    bool needsSort = false; // written out of row order, or a cell written twice
    std::vector<std::uint16_t> shown; // longest shown value per column, in characters
    bool autoFit = false;
    std::vector<std::uint16_t> fitted; // `shown` as AutoFit found it
};

struct Workbook::Impl {
    std::vector<std::unique_ptr<Worksheet>> sheets; // in tab order
    /**
     * Each sheet by its name as Excel compares names, and how many sheets have
     * each lower-cased name, so that finding a name costs the same however
     * many sheets there are.
     */
    QHash<QString, const Worksheet*> byName;
    QHash<QString, int> lowerNames;
    Worksheet* active = nullptr;
    std::unique_ptr<TempStore> store;
    std::unique_ptr<CellStream> stream;
    std::uint32_t nextSerial = 0;
    std::unique_ptr<char[]> buffer;
    std::size_t used = 0;
    Worksheet::Impl* owner = nullptr; // the sheet whose records the buffer holds
    std::string escaped; // reused for the rare texts that need escaping
    QString filePath; // set once the workbook has been written

    int indexOf(const Worksheet* sheet) const;
    void named(const Worksheet* sheet, const QString& name);
    void unnamed(const Worksheet* sheet, const QString& name);
    bool nameTaken(const QString& name, const Worksheet* except) const;
    QString freeDefaultName() const;
    /** Sends the buffered records to the temporary file and the writer. */
    void flush();
    /** Room for `size` bytes of the sheet's next record; the caller commits what it used. */
    char* reserve(Worksheet::Impl* sheet, std::size_t size);
};

// ---------------------------------------------------------------- the file, written as cells arrive

/** The rectangle a sheet's cells take, 0-based. */
struct Extent {
    bool any = false;
    std::uint32_t firstRow = 0, lastRow = 0;
    std::uint16_t firstColumn = 0, lastColumn = 0;

    void take(std::uint32_t row, std::uint16_t column);
};

/** A sheet's rows, packed, in the cell store: pieces in order. */
struct PackedRows {
    std::vector<Worksheet::Impl::Chunk> pieces;
    std::uint64_t packedSize = 0;
    std::uint64_t plainSize = 0;
    std::uint32_t crc = 0;
    Extent extent;
};

/**
 * The writer's side of a workbook: every buffer of records is kept in the
 * cell store and, on a thread of its own, made into its sheet's rows and
 * packed as it arrives, so that making the file is left with little but
 * copying. Sheets are packed one at a time, in the order their cells come;
 * a sheet whose cells do not all come in order (a cell written twice, a row
 * gone back to, a sheet gone back to after another) is left to be made from
 * the cell store when the file is written, and only that sheet.
 */
class CellStream {
public:
    explicit CellStream(TempStore& cells);
    /** Stops the thread; what has not become a file is thrown away. */
    ~CellStream();
    CellStream(const CellStream&) = delete;
    CellStream& operator=(const CellStream&) = delete;

    /**
     * Hands over a buffer of sheet `serial`'s records, set aside at `offset`
     * of the cell store, and answers an empty buffer for the next ones. Waits
     * for the writer only when many buffers wait for it already: who writes
     * many cells waits for room before (see behind()). Throws the
     * StorageError the writer met, if any.
     */
    std::unique_ptr<char[]> hand(
        std::uint32_t serial, std::unique_ptr<char[]> records, std::size_t size, std::uint64_t offset);
    /**
     * Waits until every buffer handed over is written, and ends the sheet
     * being packed. Records that could not be kept are tried once more; when
     * that fails it throws, and the records wait for the next call.
     */
    void finish();
    /** Whether a few buffers wait for the writer: who hands them should wait for the room notice. */
    bool behind() const;
    /** Whether every record handed over is in the cell store. */
    bool allKept() const;
    /** After finish: the sheet's packed rows, when every cell of it streamed in order; else nothing. */
    const PackedRows* rows(std::uint32_t serial) const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

/** Tells whoever Application::setRoomNotice named that the writer took a buffer. */
void roomMade();

// ---------------------------------------------------------------- private folders

/** How a folder of the model is taken when it exists already. */
enum class FolderUse {
    /** Made mode 0700 again: it holds nothing the user should see (the scratch folder). */
    MakePrivate,
    /** Used with the mode the user gave it, as long as it can be written (the workbooks among the documents). */
    AsItIs,
};

/**
 * Creates the folder (and missing parents) mode 0700 and makes sure it is a
 * real folder of this user, not a link, that can be used as `use` says.
 * Throws StorageError otherwise.
 */
void ensurePrivateFolder(const QString& folder, FolderUse use);

/** Unlinks a file unless told to keep it; meanwhile it counts as unfinished. */
class FileGuard {
public:
    explicit FileGuard(QByteArray path);
    ~FileGuard();
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    void keep();

private:
    void forget();
    QByteArray m_path;
};

/** The suffix of a workbook file while it is written. */
inline constexpr char PartSuffix[] = ".part";

// ---------------------------------------------------------------- the file and the opener

/**
 * Writes the workbook as an .xlsx package into `fd` (an empty file, named
 * `path` in messages): each sheet from its packed rows when the stream (which
 * is finished first) has them, else made from the cell store now. Throws
 * StorageError with the system's words, "The workbook could not be written
 * to ..." first.
 */
void writePackage(Workbook::Impl& wb, int fd, const QByteArray& path, CellStream* streamed);

/**
 * Hands the file to the desktop's opener on the application's thread without
 * waiting for it; a failure of the opener goes to the open-failure handler.
 */
void openInDesktop(const QString& path);

} // namespace xl
