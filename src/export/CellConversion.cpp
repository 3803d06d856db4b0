#include "export/CellConversion.h"

#include "platform/Utf8.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

static_assert(odbc::MaxKeptUnits == xl::MaxCellChars, "the reader keeps what a cell holds");

namespace {

namespace utf8 = quorvane::utf8;
using xl::CellValue;

CellValue textCell(std::string_view text, std::size_t utf16)
{
    CellValue cell;
    cell.type = CellValue::Text;
    cell.text = text;
    cell.utf16Length = utf16;
    return cell;
}

} // namespace

CellValue AsciiTextCell(std::string_view text)
{
    return textCell(text, text.size());
}

namespace {

CellValue numberCell(double number)
{
    CellValue cell;
    cell.type = CellValue::Number;
    cell.number = number == 0 ? 0.0 : number; // -0 shows as 0 anyway; keep the file plain
    return cell;
}

CellValue serialCell(CellValue::Type type, double serial)
{
    CellValue cell;
    cell.type = type;
    cell.number = serial;
    return cell;
}

/** Character data: exactly as stored, cut to what a cell holds. */
CellValue characterCell(const odbc::FieldValue& value, bool& truncated)
{
    const std::string& bytes = value.bytes;
    // UTF-8 never has fewer bytes than UTF-16 units, so short texts need no count.
    if (bytes.size() <= xl::MaxCellChars)
        return textCell(bytes, value.utf16Length ? value.utf16Length : bytes.size());
    std::size_t units = 0;
    const std::size_t kept = utf8::startWithin(bytes, xl::MaxCellChars, units);
    if (kept >= bytes.size())
        return textCell(bytes, units);
    truncated = true;
    return textCell(std::string_view(bytes).substr(0, kept), units);
}

CellValue hexCell(const odbc::FieldValue& value, std::string& scratch, bool& truncated)
{
    static const char digits[] = "0123456789ABCDEF";
    const std::string& bytes = value.bytes;
    const std::size_t room = xl::MaxCellChars - 2;
    std::size_t nibbles = bytes.size() * 2;
    if (value.longer)
        truncated = true;
    if (nibbles > room) {
        nibbles = room;
        truncated = true;
    }
    scratch.resize(2 + nibbles);
    scratch[0] = '0';
    scratch[1] = 'x';
    for (std::size_t n = 0; n < nibbles; ++n) {
        const auto byte = static_cast<unsigned char>(bytes[n / 2]);
        scratch[2 + n] = digits[n % 2 ? byte & 0x0F : byte >> 4];
    }
    return AsciiTextCell(scratch);
}

// ---------------------------------------------------------------- numbers

/** A number written in decimal, reduced to its significant digits: value = 0.digits × 10^exponent. */
struct Decimal {
    bool negative = false;
    char digits[24];
    int count = 0; // significant digits kept; more than fit means "too many"
    bool tooMany = false;
    long exponent = 0;
};

/** Notes one more significant digit; zeros wait until a later digit shows they are not trailing. */
void addDigit(Decimal& out, char c, int& pendingZeros)
{
    if (c == '0') {
        ++pendingZeros;
        return;
    }
    if (out.count + pendingZeros + 1 > int(sizeof out.digits)) {
        out.tooMany = true;
    } else {
        for (; pendingZeros > 0; --pendingZeros)
            out.digits[out.count++] = '0';
        out.digits[out.count++] = c;
    }
    pendingZeros = 0;
}

/**
 * Reads digits[.digits] from `i` on into `out`, up to the first other
 * character, and moves `pointShift` to where the point falls, counted in
 * digits from the first significant one. False without a digit, or with a
 * second point.
 */
bool parseMantissa(std::string_view s, std::size_t& i, Decimal& out, long& pointShift)
{
    bool anyDigit = false, seenPoint = false, leading = true;
    int pendingZeros = 0; // zeros after the last non-zero significant digit
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '.') {
            if (seenPoint)
                return false;
            seenPoint = true;
            continue;
        }
        if (c < '0' || c > '9')
            break;
        anyDigit = true;
        if (leading && c == '0') {
            if (seenPoint)
                --pointShift;
            continue;
        }
        leading = false;
        if (!seenPoint)
            ++pointShift;
        addDigit(out, c, pendingZeros);
    }
    return anyDigit;
}

/** Reads [(e|E)[-+]digits] from `i` to the end; false for anything else. */
bool parseExponent(std::string_view s, std::size_t i, long& exponent)
{
    exponent = 0;
    if (i == s.size())
        return true;
    if (s[i] != 'e' && s[i] != 'E')
        return false;
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        negative = s[i++] == '-';
    if (i == s.size())
        return false;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        if (exponent < 100000)
            exponent = exponent * 10 + (s[i] - '0');
    }
    exponent = negative ? -exponent : exponent;
    return true;
}

/** Reads [-+]digits[.digits][(e|E)[-+]digits]; false for anything else. */
bool parseDecimal(std::string_view s, Decimal& out)
{
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        out.negative = s[i++] == '-';
    long pointShift = 0; // digits before the point, counted from the first significant one
    long exponent = 0;
    if (!parseMantissa(s, i, out, pointShift) || !parseExponent(s, i, exponent))
        return false;
    out.exponent = pointShift + exponent;
    return true;
}

/**
 * The double for a decimal when the cell shows the very decimal. Up to fifteen
 * significant digits every decimal comes back from its nearest double (0.07
 * is 0.070000000000000007 as a double, and still reads back as 0.07). With
 * more, the double must be the one whose shortest form is those digits, and
 * the sixteen digits the file holds must still lead back to it.
 */
bool decimalSurvives(const Decimal& d, double& result)
{
    if (d.count == 0) {
        result = 0;
        return !d.tooMany;
    }
    if (d.tooMany || d.exponent > 400 || d.exponent < -400)
        return false;
    char text[48];
    char* p = text;
    *p++ = '0';
    *p++ = '.';
    std::memcpy(p, d.digits, std::size_t(d.count));
    p += d.count;
    *p++ = 'e';
    p = std::to_chars(p, text + sizeof text, d.exponent).ptr;
    double value = 0;
    const auto parsed = std::from_chars(text, p, value);
    if (parsed.ec != std::errc() || !std::isfinite(value) || value == 0)
        return false;
    // Subnormal doubles carry fewer digits, so they take the long way too.
    if (d.count > 15 || !std::isnormal(value)) {
        char back[40];
        // back: "d[.ddd]e[+-]xx", no more digits than it takes to lead back to the double
        const auto printed = std::to_chars(back, back + sizeof back, value, std::chars_format::scientific);
        char digits[24];
        int count = 0;
        const char* q = back;
        for (; q < printed.ptr && *q != 'e'; ++q)
            if (*q != '.')
                digits[count++] = *q;
        long exponent = 0;
        std::from_chars(q + 1 + (q[1] == '+'), printed.ptr, exponent);
        if (count != d.count || std::memcmp(digits, d.digits, std::size_t(count)) != 0 || exponent + 1 != d.exponent
            || !xl::NumberSurvivesFile(value))
            return false;
    }
    result = d.negative ? -value : value;
    return true;
}

/** The driver's digits; a bare leading point gets its zero ("-.5" shows as "-0.5"). */
CellValue digitsCell(const std::string& text, std::string& scratch)
{
    const std::size_t point = text.starts_with('-') || text.starts_with('+') ? 1 : 0;
    if (text.size() > point && text[point] == '.') {
        scratch.assign(text, 0, point);
        scratch += '0';
        scratch.append(text, point);
        return AsciiTextCell(scratch);
    }
    return textCell(text, text.size());
}

CellValue decimalText(const std::string& text, std::string& scratch)
{
    Decimal d;
    double number = 0;
    if (parseDecimal(text, d) && decimalSurvives(d, number))
        return numberCell(number);
    return digitsCell(text, scratch);
}

CellValue integerText(const std::string& text, std::string& scratch)
{
    std::size_t i = text.starts_with('-') || text.starts_with('+') ? 1 : 0;
    const bool negative = text.starts_with('-');
    while (i + 1 < text.size() && text[i] == '0')
        ++i;
    const std::size_t digits = text.size() - i;
    std::uint64_t magnitude = 0;
    if (digits == 0)
        return decimalText(text, scratch);
    if (digits > 16)
        return digitsCell(text, scratch);
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return decimalText(text, scratch);
        magnitude = magnitude * 10 + std::uint64_t(text[i] - '0');
    }
    if (magnitude > (std::uint64_t(1) << 53))
        return digitsCell(text, scratch);
    return numberCell(negative ? -double(magnitude) : double(magnitude));
}

/** A number by its shortest digits. */
CellValue shortestDigits(double number, std::string& scratch)
{
    char digits[40];
    const auto printed = std::to_chars(digits, digits + sizeof digits, number);
    scratch.assign(digits, printed.ptr);
    return AsciiTextCell(scratch);
}

CellValue doubleCell(double number, std::string& scratch)
{
    if (std::isnan(number))
        return AsciiTextCell("NaN");
    if (std::isinf(number))
        return AsciiTextCell(number > 0 ? "Infinity" : "-Infinity");
    if (xl::NumberSurvivesFile(number))
        return numberCell(number);
    return shortestDigits(number, scratch);
}

/**
 * A single-precision value arrives widened to double (0.1 as 0.100000001490116…);
 * the number the database shows is the float's shortest form.
 */
CellValue realCell(double number, std::string& scratch)
{
    const auto single = static_cast<float>(number);
    if (!std::isfinite(number) || double(single) != number)
        return doubleCell(number, scratch);
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, single);
    Decimal d;
    double value = 0;
    if (parseDecimal(std::string_view(buffer, std::size_t(r.ptr - buffer)), d) && decimalSurvives(d, value))
        return numberCell(value);
    scratch.assign(buffer, r.ptr);
    return AsciiTextCell(scratch);
}

// ---------------------------------------------------------------- dates and times

bool digitsAt(std::string_view s, std::size_t at, std::size_t count, int& value)
{
    if (at + count > s.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

/**
 * "YYYY-MM-DD" from 1900-03-01 to 9999-12-31 as a serial of the 1900 date
 * system. That system counts a 1900-02-29 that never was, so every date after
 * it is one more than its distance from 1899-12-31. The days before it are
 * left to text: Excel counts them from 1900-01-01 as 1, LibreOffice Calc from
 * its own day 0, 1899-12-30, so the same serial shows as two different days.
 */
bool dateSerial(std::string_view s, double& serial)
{
    int year = 0, month = 0, day = 0;
    if (s.size() < 10 || !digitsAt(s, 0, 4, year) || s[4] != '-' || !digitsAt(s, 5, 2, month) || s[7] != '-'
        || !digitsAt(s, 8, 2, day))
        return false;
    if (year < 1900 || month < 1 || month > 12 || day < 1)
        return false;
    static const int length[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > length[month - 1] + (month == 2 && leap))
        return false;
    using namespace std::chrono;
    const long days = (sys_days(std::chrono::year(year) / month / day) - sys_days(1899y / December / 31d)).count();
    if (days < 60)
        return false;
    serial = double(days + 1);
    return true;
}

/** "HH:MM:SS[.fffffff]" as a fraction of a day. */
bool timeFraction(std::string_view s, double& fraction)
{
    int hour = 0, minute = 0, second = 0;
    if (s.size() < 8 || !digitsAt(s, 0, 2, hour) || s[2] != ':' || !digitsAt(s, 3, 2, minute) || s[5] != ':'
        || !digitsAt(s, 6, 2, second))
        return false;
    if (hour > 23 || minute > 59 || second > 59)
        return false;
    double seconds = hour * 3600.0 + minute * 60.0 + second;
    if (s.size() > 8) {
        if (s[8] != '.' || s.size() == 9)
            return false;
        double scale = 0.1, part = 0;
        for (std::size_t i = 9; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9')
                return false;
            part += (s[i] - '0') * scale;
            scale /= 10;
        }
        seconds += part;
    }
    fraction = seconds / 86400.0;
    return fraction < 1;
}

/**
 * 9999-12-31 23:59:59.999, the last instant a sheet holds; the sheet counts
 * in milliseconds. A later fraction of that second (datetime2 has seven
 * digits) would add up to the serial of 10000-01-01, which no cell takes.
 */
constexpr double LastInstantSerial = 2958465 + 86399.999 / 86400;

/**
 * A date a sheet does not hold, or not the same in every application, as
 * text in ISO form. FreeTDS writes a year before 1000 without its leading
 * zeros ("1-01-01" for the first day of year 1); ISO gives the year four
 * digits.
 */
CellValue isoDateText(const std::string& text, std::string& scratch)
{
    const std::size_t dash = text.find('-');
    if (dash == 0 || dash >= 4
        || !std::all_of(text.begin(), text.begin() + long(dash), [](char c) { return c >= '0' && c <= '9'; }))
        return textCell(text, text.size());
    scratch.assign(4 - dash, '0');
    scratch += text;
    return textCell(scratch, scratch.size());
}

CellValue dateCell(const std::string& text, std::string& scratch)
{
    double serial = 0;
    if (text.size() == 10 && dateSerial(text, serial))
        return serialCell(CellValue::Date, serial);
    return isoDateText(text, scratch);
}

CellValue timeCell(const std::string& text)
{
    double fraction = 0;
    if (timeFraction(text, fraction))
        return serialCell(CellValue::Time, fraction);
    return textCell(text, text.size());
}

CellValue dateTimeCell(const std::string& text, std::string& scratch)
{
    double serial = 0, fraction = 0;
    const std::string_view s(text);
    if (dateSerial(s, serial)) {
        if (s.size() == 10)
            return serialCell(CellValue::DateTime, serial);
        if ((s[10] == ' ' || s[10] == 'T') && timeFraction(s.substr(11), fraction))
            return serialCell(CellValue::DateTime, std::min(serial + fraction, LastInstantSerial));
    }
    return isoDateText(text, scratch);
}

CellValue bitCell(const odbc::FieldValue& value, bool& truncated)
{
    if (value.kind == odbc::FieldValue::Double && (value.number == 0 || value.number == 1)) {
        CellValue cell;
        cell.type = CellValue::Boolean;
        cell.boolean = value.number == 1;
        return cell;
    }
    const std::string& s = value.bytes;
    auto is = [&](std::string_view word) {
        if (s.size() != word.size())
            return false;
        for (std::size_t i = 0; i < s.size(); ++i)
            if ((s[i] | 0x20) != word[i])
                return false;
        return true;
    };
    if (value.kind == odbc::FieldValue::Text) {
        CellValue cell;
        cell.type = CellValue::Boolean;
        if (s == "1" || is("true")) {
            cell.boolean = true;
            return cell;
        }
        if (s == "0" || is("false"))
            return cell;
    }
    return characterCell(value, truncated);
}

/** The text with each byte that is not part of valid UTF-8 replaced by U+FFFD, cut to what a cell holds. */
CellValue repairedText(const odbc::FieldValue& value, std::string& scratch, bool& truncated)
{
    auto p = reinterpret_cast<const unsigned char*>(value.bytes.data());
    const auto end = p + value.bytes.size();
    scratch.clear();
    std::size_t units = 0;
    while (p < end) {
        const std::size_t length = utf8::wellFormedLength(p, end);
        const std::size_t width = length == 4 ? 2 : 1; // a replaced byte takes one
        if (units + width > xl::MaxCellChars) {
            truncated = true;
            return textCell(scratch, units);
        }
        units += width;
        if (length == 0) {
            scratch += utf8::Replacement;
            ++p;
        } else {
            scratch.append(reinterpret_cast<const char*>(p), length);
            p += length;
        }
    }
    if (value.longer)
        truncated = true;
    return textCell(scratch, units);
}

} // namespace

xl::CellValue ToCell(const odbc::FieldInfo& field, const odbc::FieldValue& value, std::string& scratch, bool& truncated)
{
    if (field.adoType == odbc::adLongVarBinary)
        return AsciiTextCell(BinaryDataText);
    switch (value.kind) {
    case odbc::FieldValue::Null:
        return {};
    case odbc::FieldValue::Binary:
        return hexCell(value, scratch, truncated);
    case odbc::FieldValue::Double:
        if (field.sqlType == SQL_BIT)
            return bitCell(value, truncated);
        if (field.sqlType == SQL_REAL)
            return realCell(value.number, scratch);
        return doubleCell(value.number, scratch);
    case odbc::FieldValue::Text:
        break;
    }
    // Whatever it becomes, a value the reader kept only the start of is counted as cut.
    if (value.longer)
        truncated = true;

    const std::string& text = value.bytes;
    switch (field.sqlType) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
        return integerText(text, scratch);
    case SQL_DECIMAL:
    case SQL_NUMERIC:
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_REAL:
        return decimalText(text, scratch);
    case SQL_TYPE_DATE:
    case SQL_DATE:
        return dateCell(text, scratch);
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case SqlServerTime2:
        return timeCell(text);
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
        return dateTimeCell(text, scratch);
    case SQL_BIT:
        return bitCell(value, truncated);
    default:
        // Character data, identifiers, XML and whatever else a driver reports: the text as it is.
        return characterCell(value, truncated);
    }
}

xl::CellValue PlainTextCell(const odbc::FieldValue& value, std::string& scratch, bool& truncated)
{
    switch (value.kind) {
    case odbc::FieldValue::Null:
        return {};
    case odbc::FieldValue::Binary:
        return hexCell(value, scratch, truncated);
    case odbc::FieldValue::Double:
        return shortestDigits(value.number, scratch);
    case odbc::FieldValue::Text:
        break;
    }
    return repairedText(value, scratch, truncated);
}
