#pragma once

// The cell store's record format, written for every cell and read again for
// every cell, so all of it is inline.
//
// One record per written cell: a tag byte, the position (mostly implied by the
// previous record), then the value. Tag bits 0-2: the kind; bits 3-4: how the
// position is given. Numbers are 8-byte doubles; a text is its length in bytes
// (7 bits a byte, low bits first), the bytes and a NUL.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace xl {

/** Records are gathered in buffers of this size; a record is never larger. */
inline constexpr std::size_t RecordBufferSize = std::size_t(256) << 10;

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

/** Whether a record of this kind carries a number (a serial for the dates and times). */
inline bool holdsNumber(Kind kind)
{
    return kind == KNumber || kind == KDate || kind == KTime || kind == KDateTime;
}

/** The most bytes a record of this kind takes, with a text of `textSize` bytes. */
inline std::size_t mostRecordBytes(Kind kind, std::size_t textSize)
{
    return 1 + 6 + (kind == KText ? 5 + textSize + 1 : 8);
}

template <class T>
void put(char*& p, T value)
{
    std::memcpy(p, &value, sizeof value);
    p += sizeof value;
}

template <class T>
T take(const char*& p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    p += sizeof value;
    return value;
}

// ---------------------------------------------------------------- writing

/** The tag and position of a record at (row, column) after the one at `last`. */
inline void putPosition(char*& p, const Cursor& last, std::uint32_t row, std::uint16_t column, Kind kind)
{
    const unsigned char tag = kind;
    if (last.any && row == last.row && column == last.column + 1) {
        *p++ = char(tag | PosNextColumn);
    } else if (last.any && row == last.row + 1 && column == 0) {
        *p++ = char(tag | PosNextRow);
    } else if (last.any && row == last.row) {
        *p++ = char(tag | PosSameRow);
        put(p, column);
    } else {
        *p++ = char(tag | PosExplicit);
        put(p, row);
        put(p, column);
    }
}

inline void putText(char*& p, std::string_view text)
{
    auto length = std::uint32_t(text.size());
    while (length >= 0x80) {
        *p++ = char((length & 0x7F) | 0x80);
        length >>= 7;
    }
    *p++ = char(length);
    std::memcpy(p, text.data(), text.size());
    p += text.size();
    *p++ = '\0';
}

/**
 * Writes the record of a cell at (row, column) after the one at `last`: its
 * kind, and `number` or `text` as the kind has it. Answers where it ends.
 */
inline char* putRecord(char* p, const Cursor& last, std::uint32_t row, std::uint16_t column, Kind kind, double number,
    std::string_view text)
{
    putPosition(p, last, row, column, kind);
    if (holdsNumber(kind))
        put(p, number);
    else if (kind == KText)
        putText(p, text);
    return p;
}

// ---------------------------------------------------------------- reading

/** Moves `at` to the position a record's tag gives, reading what the record holds of it. */
inline void takePosition(const char*& p, unsigned char tag, Cursor& at)
{
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
}

inline void takeText(const char*& p, Record& r)
{
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
}

/** Decodes the records of [p, end) in order; the cursor carries over between pieces of one sheet. */
template <class F>
void forEachRecord(const char* p, const char* end, Cursor& at, F&& f)
{
    while (p < end) {
        const unsigned char tag = static_cast<unsigned char>(*p++);
        takePosition(p, tag, at);
        Record r{at.row, at.column, Kind(tag & KindMask), 0, nullptr, 0};
        if (holdsNumber(r.kind))
            r.number = take<double>(p);
        else if (r.kind == KText)
            takeText(p, r);
        f(r);
    }
}

} // namespace xl
