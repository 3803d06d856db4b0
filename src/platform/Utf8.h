#pragma once

// UTF-8 as the program walks it: what a lead byte says, whether a sequence is
// well formed, how many UTF-16 units a text takes (the unit a spreadsheet cell
// counts in), where a text is cut to a number of units, and UTF-16 turned into
// UTF-8. All of it is inline: it runs for every cell of a table.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quorvane::utf8 {

/** U+FFFD, which stands for what is not a character. */
inline constexpr std::string_view Replacement = "\xEF\xBF\xBD";

/** A byte that continues a sequence rather than starting one. */
inline bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

/** The UTF-16 units of the character a lead byte starts: a surrogate pair for a four-byte sequence, else one. */
inline std::size_t utf16Units(unsigned char lead)
{
    return lead >= 0xF0 ? 2 : 1;
}

/** The length of sequence a lead byte announces, taken at its word; any other byte counts as one. */
inline std::size_t announcedLength(unsigned char lead)
{
    return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

/**
 * The length of the well-formed sequence at `p` (before `end`), 0 when there
 * is none: a lead byte that cannot start one, a sequence cut short, an
 * overlong form, a surrogate's code point or one beyond U+10FFFF. Always
 * inlined: a call for each character would cost more than its checks.
 */
[[gnu::always_inline]] inline std::size_t wellFormedLength(const unsigned char* p, const unsigned char* end)
{
    const unsigned char lead = *p;
    if (lead < 0x80)
        return 1;
    const auto follows = [&](std::ptrdiff_t k) { return end - p > k && isContinuation(p[k]); };
    if (lead >= 0xC2 && lead < 0xE0)
        return follows(1) ? 2 : 0;
    if (lead >= 0xE0 && lead < 0xF0) {
        if (!follows(1) || !follows(2))
            return 0;
        const bool overlong = lead == 0xE0 && p[1] < 0xA0, surrogate = lead == 0xED && p[1] >= 0xA0;
        return overlong || surrogate ? 0 : 3;
    }
    if (lead >= 0xF0 && lead < 0xF5) {
        if (!follows(1) || !follows(2) || !follows(3))
            return 0;
        const bool overlong = lead == 0xF0 && p[1] < 0x90, beyond = lead == 0xF4 && p[1] >= 0x90;
        return overlong || beyond ? 0 : 4;
    }
    return 0;
}

/** The first byte from `p` on that is not ASCII, or `end`; eight bytes at a time while it can. */
inline const unsigned char* skipAscii(const unsigned char* p, const unsigned char* end)
{
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080ull)
            break;
        p += 8;
    }
    while (p < end && *p < 0x80)
        ++p;
    return p;
}

/** The characters of a text: its bytes that do not continue a sequence. */
inline std::size_t codePoints(std::string_view text)
{
    std::size_t n = 0;
    for (const char c : text)
        n += !isContinuation(static_cast<unsigned char>(c));
    return n;
}

/**
 * The longest start of `text` that takes at most `limit` UTF-16 units, in
 * bytes, stepping from lead byte to lead byte by the length each announces;
 * `units` gets what that start takes. For a text known to be whole.
 */
inline std::size_t startWithin(std::string_view text, std::size_t limit, std::size_t& units)
{
    units = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t width = utf16Units(lead);
        if (units + width > limit)
            break;
        units += width;
        i = std::min(i + announcedLength(lead), text.size());
    }
    return i;
}

/**
 * For a text that arrives in pieces and already takes `units` UTF-16 units:
 * how many bytes of the next piece keep it within `limit`. The cut goes before
 * the first character that does not fit, so the last one kept is whole even
 * across pieces (a byte that continues a character goes with it). Adds what
 * is kept to `units`; sets `cut` when something is left out.
 */
inline std::size_t pieceWithin(std::string_view piece, std::size_t limit, std::size_t& units, bool& cut)
{
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const auto c = static_cast<unsigned char>(piece[i]);
        if (isContinuation(c))
            continue;
        const std::size_t width = utf16Units(c);
        if (units + width > limit) {
            cut = true;
            return i;
        }
        units += width;
    }
    return piece.size();
}

/** Writes a code point as UTF-8 at `p`; answers where it ends. */
inline char* encode(char32_t c, char* p)
{
    if (c < 0x80) {
        *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (c >> 18));
        *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return p;
}

/**
 * Appends UTF-16 as UTF-8. A high surrogate at the end of a piece waits in
 * `pending` for the next piece; a surrogate without its partner becomes
 * U+FFFD.
 */
inline void appendUtf16(std::string& out, const char16_t* in, std::size_t count, char16_t& pending)
{
    const std::size_t start = out.size();
    out.resize(start + (count + 1) * 3);
    char* p = out.data() + start;
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t u = in[i];
        if (pending) {
            if (u >= 0xDC00 && u <= 0xDFFF) {
                p = encode(0x10000 + ((static_cast<char32_t>(pending) - 0xD800) << 10) + (u - 0xDC00), p);
                pending = 0;
                continue;
            }
            p = encode(0xFFFD, p);
            pending = 0;
        }
        if (u < 0x80)
            *p++ = static_cast<char>(u);
        else if (u >= 0xD800 && u <= 0xDBFF)
            pending = u;
        else
            p = encode(u >= 0xDC00 && u <= 0xDFFF ? 0xFFFD : u, p);
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

/** Ends UTF-16 appended piece by piece: a high surrogate still waiting becomes U+FFFD. */
inline void finishUtf16(std::string& out, char16_t& pending)
{
    if (pending) {
        out.append(Replacement);
        pending = 0;
    }
}

} // namespace quorvane::utf8
