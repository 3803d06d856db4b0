#pragma once

// A worksheet as the file holds it. Its rows are made and packed as the
// cells arrive; what comes before them (the extent, whether the tab is
// selected, the column widths) is known only at the end, so it is packed
// then as a stream of its own that the rows' stream follows in the entry.

#include "platform/workbook/Deflate.h"
#include "platform/workbook/ModelParts.h"

#include <string>
#include <vector>

namespace xl {

/**
 * The rows of one sheet, from `<sheetData>` to the end of the sheet, made
 * from records in rising order and packed as they come.
 */
class SheetRows {
public:
    /** Starts the rows' packed stream in `packer`, whose sink takes what it makes. */
    explicit SheetRows(Deflater& packer);

    /** False, taking nothing, for a record that is not after the last one or that clears a cell. */
    bool add(const Record& r);
    /** Ends the rows and their packed stream, and notes in `packed` what they came to. */
    void finish(PackedRows& packed);

private:
    void text(const char* text, std::size_t size);
    void pack();

    Deflater& m_packer;
    std::string m_xml;
    Extent m_extent; // a row is open once there is any cell
    std::uint32_t m_row = 0;
    std::uint16_t m_column = 0;
};

/** A sink that appends packed rows to the cell store, noting the pieces in `packed`. */
Deflater::Sink intoStore(TempStore& store, PackedRows& packed);

/** What a sheet's file part holds before its rows. */
std::string sheetHead(const Extent& extent, bool selected, const std::vector<std::uint16_t>& fittedChars);

/** A column's width for the longest value shown in it; never wider than Excel allows. */
double columnWidth(unsigned shownChars);

} // namespace xl
