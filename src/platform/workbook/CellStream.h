#pragma once

// The file, written as cells arrive: the writer's side of a workbook and the
// packed rows it makes.

#include "platform/workbook/ModelState.h"
#include "platform/workbook/TempStore.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace xl {

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

} // namespace xl
