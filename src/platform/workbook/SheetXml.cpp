#include "platform/workbook/SheetXml.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace xl {

namespace {

/** XML gathered before it is packed. */
constexpr std::size_t PackAt = std::size_t(64) << 10;

constexpr char Tail[] = "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" "
                        "header=\"0.3\" footer=\"0.3\"/></worksheet>";

template <class T>
void appendNumber(std::string& out, T value)
{
    char digits[32];
    const auto printed = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, printed.ptr);
}

/** "A", "Z", "AA" … "XFD". */
void appendColumnName(std::string& out, unsigned column)
{
    char letters[4];
    int n = 0;
    for (unsigned c = column + 1; c > 0; c = (c - 1) / 26)
        letters[n++] = char('A' + (c - 1) % 26);
    while (n > 0)
        out += letters[--n];
}

void appendReference(std::string& out, std::uint32_t row, std::uint16_t column)
{
    appendColumnName(out, column);
    appendNumber(out, row + 1);
}

/**
 * The opening of a number cell's value, with the index of its cell format
 * in the styles part (Package.cpp) where it is a date or time.
 */
const char* numberOpening(Kind kind)
{
    switch (kind) {
    case KDate:
        return " s=\"1\"><v>";
    case KTime:
        return " s=\"2\"><v>";
    case KDateTime:
        return " s=\"3\"><v>";
    default:
        return "><v>";
    }
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/** What XML cannot carry as it is in a text: markup, and the control characters other than tab and line feed. */
bool needsEscape(unsigned char c)
{
    return c == '&' || c == '<' || c == '>' || (c < 0x20 && c != '\t' && c != '\n');
}

} // namespace

void Extent::take(std::uint32_t row, std::uint16_t column)
{
    if (!any) {
        any = true;
        firstRow = lastRow = row;
        firstColumn = lastColumn = column;
        return;
    }
    firstRow = std::min(firstRow, row);
    lastRow = std::max(lastRow, row);
    firstColumn = std::min(firstColumn, column);
    lastColumn = std::max(lastColumn, column);
}

SheetRows::SheetRows(Deflater& packer) : m_packer(packer)
{
    m_xml.reserve(PackAt + 1024);
    m_xml += "<sheetData>";
}

bool SheetRows::add(const Record& r)
{
    const bool after = !m_extent.any || r.row > m_row || (r.row == m_row && r.column > m_column);
    if (!after || r.kind == KEmpty)
        return false;
    if (!m_extent.any || r.row != m_row) {
        if (m_extent.any)
            m_xml += "</row>";
        m_xml += "<row r=\"";
        appendNumber(m_xml, r.row + 1);
        m_xml += "\">";
    }
    // Every cell says where it is: some readers (Gnumeric) do not count along.
    m_xml += "<c r=\"";
    appendReference(m_xml, r.row, r.column);
    m_xml += '"';
    switch (r.kind) {
    case KFalse:
    case KTrue:
        m_xml += r.kind == KTrue ? " t=\"b\"><v>1</v></c>" : " t=\"b\"><v>0</v></c>";
        break;
    case KText:
        m_xml += " t=\"inlineStr\"><is><t";
        if (r.length > 0 && (isBlank(r.text[0]) || isBlank(r.text[r.length - 1])))
            m_xml += " xml:space=\"preserve\"";
        m_xml += '>';
        text(r.text, r.length);
        m_xml += "</t></is></c>";
        break;
    default: // a number, plain or as a date or time
        m_xml += numberOpening(r.kind);
        appendNumber(m_xml, r.number);
        m_xml += "</v></c>";
        break;
    }
    m_extent.take(r.row, r.column);
    m_row = r.row;
    m_column = r.column;
    if (m_xml.size() >= PackAt)
        pack();
    return true;
}

/**
 * A cell's text with markup escaped; the control characters XML cannot hold
 * are spelled "_xHHHH_", which the spreadsheet reads back as the character.
 */
void SheetRows::text(const char* text, std::size_t size)
{
    std::size_t from = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!needsEscape(c))
            continue;
        m_xml.append(text + from, i - from);
        from = i + 1;
        if (c == '&')
            m_xml += "&amp;";
        else if (c == '<')
            m_xml += "&lt;";
        else if (c == '>')
            m_xml += "&gt;";
        else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "_x%04X_", unsigned(c));
            m_xml += escape;
        }
        if (m_xml.size() >= PackAt)
            pack();
    }
    m_xml.append(text + from, size - from);
    if (m_xml.size() >= PackAt)
        pack();
}

void SheetRows::pack()
{
    m_packer.add(m_xml);
    m_xml.clear();
}

void SheetRows::finish(PackedRows& packed)
{
    if (m_extent.any)
        m_xml += "</row>";
    m_xml += Tail;
    pack();
    m_packer.end(true);
    packed.packedSize = m_packer.packedSize();
    packed.plainSize = m_packer.plainSize();
    packed.crc = m_packer.crc();
    packed.extent = m_extent;
}

Deflater::Sink intoStore(TempStore& store, PackedRows& packed)
{
    return [&store, &packed](const char* data, std::size_t size) {
        const std::uint64_t at = store.append(data, size);
        auto& pieces = packed.pieces;
        if (!pieces.empty() && pieces.back().offset + pieces.back().length == at)
            pieces.back().length += size;
        else
            pieces.push_back({at, size});
    };
}

double columnWidth(unsigned shownChars)
{
    return std::min(255.0, shownChars * 1.1 + 1.0);
}

std::string sheetHead(const Extent& extent, bool selected, const std::vector<std::uint16_t>& fittedChars)
{
    std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                       "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                       "<dimension ref=\"";
    if (!extent.any) {
        head += "A1";
    } else {
        appendReference(head, extent.firstRow, extent.firstColumn);
        if (extent.lastRow != extent.firstRow || extent.lastColumn != extent.firstColumn) {
            head += ':';
            appendReference(head, extent.lastRow, extent.lastColumn);
        }
    }
    head += "\"/><sheetViews><sheetView ";
    if (selected)
        head += "tabSelected=\"1\" ";
    head += "workbookViewId=\"0\"/></sheetViews><sheetFormatPr defaultRowHeight=\"15\"/>";
    bool anyWidth = false;
    for (std::size_t c = 0; c < fittedChars.size(); ++c) {
        if (fittedChars[c] == 0)
            continue;
        if (!anyWidth)
            head += "<cols>";
        anyWidth = true;
        // Stored as Excel stores a width typed in characters of the default
        // font (Calibri 11: digits 7 pixels wide, 5 pixels of margin).
        const double width = columnWidth(fittedChars[c]);
        const double stored = int((int(width * 7 + 0.5) + 5) / 7.0 * 256) / 256.0;
        head += "<col min=\"";
        appendNumber(head, c + 1);
        head += "\" max=\"";
        appendNumber(head, c + 1);
        head += "\" width=\"";
        appendNumber(head, stored);
        head += "\" customWidth=\"1\"/>";
    }
    if (anyWidth)
        head += "</cols>";
    return head;
}

} // namespace xl
