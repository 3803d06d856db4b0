#include "platform/workbook/CellText.h"

#include "platform/Utf8.h"

#include <cstring>

namespace xl {

namespace {

namespace utf8 = quorvane::utf8;

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

/** Whether the text holds a NUL or something that looks like an escape. */
bool holdsNulOrLookalike(std::string_view s)
{
    if (std::memchr(s.data(), '\0', s.size()))
        return true;
    for (const char* u = static_cast<const char*>(std::memchr(s.data(), '_', s.size())); u;) {
        const std::size_t i = std::size_t(u - s.data());
        if (escapeLookalikeAt(s, i))
            return true;
        u = static_cast<const char*>(std::memchr(u + 1, '_', s.size() - i - 1));
    }
    return false;
}

} // namespace

TextScan scanText(std::string_view s)
{
    TextScan scan;
    auto p = reinterpret_cast<const unsigned char*>(s.data());
    const auto end = p + s.size();
    std::size_t units = 0;
    while (p < end) {
        const unsigned char* ascii = utf8::skipAscii(p, end);
        units += std::size_t(ascii - p);
        p = ascii;
        if (p == end)
            break;
        const std::size_t length = utf8::wellFormedLength(p, end);
        if (length == 0) {
            scan.valid = false;
            return scan;
        }
        if (length == 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE)
            scan.needsEscape = true; // U+FFFE and U+FFFF are not allowed in XML
        units += utf8::utf16Units(*p);
        p += length;
    }
    scan.utf16 = units;
    if (!scan.needsEscape)
        scan.needsEscape = holdsNulOrLookalike(s);
    return scan;
}

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

} // namespace xl
