#pragma once

// A cell's text as the file holds it: checked once, and spelled out where XML
// or the spreadsheet would read it otherwise.

#include <cstddef>
#include <string>
#include <string_view>

namespace xl {

struct TextScan {
    bool valid = true;
    std::size_t utf16 = 0;
    /** Holds something the file must spell out as _xHHHH_ (see escapeText). */
    bool needsEscape = false;
};

/** Validates UTF-8 and counts UTF-16 units in one pass; plain ASCII goes eight bytes at a time. */
TextScan scanText(std::string_view s);

/**
 * The spreadsheet reads "_xHHHH_" in a cell's text as the character HHHH;
 * that is how the file holds characters XML cannot. The writer spells out the
 * control characters itself, but not NUL (its strings end there), U+FFFE and
 * U+FFFF, nor text that merely looks like such an escape: without "_x005F_"
 * in front, "_x0041_" would come back as "A".
 */
void escapeText(std::string_view s, std::string& out);

} // namespace xl
