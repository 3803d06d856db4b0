// The .xlsx file: a zip package of XML parts. The sheets' rows are packed
// already (CellStream.cpp) or are packed here from the cell store; the parts
// that name and order the sheets are small and made last, since entries of a
// zip may come in any order.

#include "platform/workbook/SheetXml.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <unistd.h>

namespace xl {

namespace {

/** Sizes and offsets from which an entry needs zip64's wider fields; lowered by the tests. */
std::atomic<std::uint64_t> g_zip64From = 0xFFFFFFFFu;
/** A failure the next write of a file meets once, as a failing disk would; set by the tests. */
std::atomic<int> g_injectedFault = 0;

constexpr std::uint16_t Deflated = 8;

class ZipFile {
public:
    explicit ZipFile(int fd) : m_fd(fd) { m_buffer.reserve(BufferSize); }

    /** One entry: the packed data of `pieces`, read from `store` where they are not in memory. */
    void add(std::string name, std::uint32_t crc, std::uint64_t plainSize, const std::string& packedHead,
        const std::vector<Worksheet::Impl::Chunk>& storedPieces, const TempStore* store);

    /** The directory and its end; the file is then complete. */
    void finish();

private:
    static constexpr std::size_t BufferSize = std::size_t(256) << 10;

    struct Entry {
        std::string name;
        std::uint32_t crc;
        std::uint64_t plainSize, packedSize, offset;
    };

    bool wide(std::uint64_t value) const { return value >= m_wideFrom; }
    template <class T>
    void put(T value)
    {
        for (std::size_t i = 0; i < sizeof value; ++i)
            m_buffer.push_back(char((std::uint64_t(value) >> (8 * i)) & 0xFF));
        if (m_buffer.size() >= BufferSize)
            flush();
    }
    void putBytes(std::string_view bytes);
    void flush();
    void centralEntry(const Entry& e);

    int m_fd;
    std::vector<char> m_buffer;
    std::uint64_t m_written = 0;
    std::vector<Entry> m_entries;
    const std::uint64_t m_wideFrom = g_zip64From.load();
    std::uint16_t m_time = 0, m_date = 0;
};

void ZipFile::putBytes(std::string_view bytes)
{
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
    if (m_buffer.size() >= BufferSize)
        flush();
}

void ZipFile::flush()
{
    if (const int fault = g_injectedFault.exchange(0))
        failSystem(fault, QStringLiteral("Cannot write the file"));
    std::size_t done = 0;
    while (done < m_buffer.size()) {
        const ssize_t n = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failSystem(n < 0 ? errno : ENOSPC, QStringLiteral("Cannot write the file"));
        done += std::size_t(n);
    }
    m_written += m_buffer.size();
    m_buffer.clear();
}

void ZipFile::add(std::string name, std::uint32_t crc, std::uint64_t plainSize, const std::string& packedHead,
    const std::vector<Worksheet::Impl::Chunk>& storedPieces, const TempStore* store)
{
    if (m_entries.empty()) {
        // MS-DOS time of day and date, as zip keeps them.
        const QDateTime now = QDateTime::currentDateTime();
        m_time = std::uint16_t(now.time().hour() << 11 | now.time().minute() << 5 | now.time().second() / 2);
        m_date = std::uint16_t(std::max(0, now.date().year() - 1980) << 9 | now.date().month() << 5 | now.date().day());
    }
    std::uint64_t packedSize = packedHead.size();
    for (const auto& piece : storedPieces)
        packedSize += piece.length;
    const Entry entry{std::move(name), crc, plainSize, packedSize, m_written + m_buffer.size()};
    const bool zip64 = wide(plainSize) || wide(packedSize);
    put<std::uint32_t>(0x04034b50);
    put<std::uint16_t>(zip64 ? 45 : 20); // version needed
    put<std::uint16_t>(0); // flags
    put<std::uint16_t>(Deflated);
    put<std::uint16_t>(m_time);
    put<std::uint16_t>(m_date);
    put<std::uint32_t>(crc);
    put<std::uint32_t>(zip64 ? 0xFFFFFFFFu : std::uint32_t(packedSize));
    put<std::uint32_t>(zip64 ? 0xFFFFFFFFu : std::uint32_t(plainSize));
    put<std::uint16_t>(std::uint16_t(entry.name.size()));
    put<std::uint16_t>(zip64 ? 20 : 0);
    putBytes(entry.name);
    if (zip64) {
        put<std::uint16_t>(0x0001);
        put<std::uint16_t>(16);
        put<std::uint64_t>(plainSize);
        put<std::uint64_t>(packedSize);
    }
    putBytes(packedHead);
    for (const auto& piece : storedPieces) {
        for (std::uint64_t at = 0; at < piece.length;) {
            flush();
            const std::size_t n = std::size_t(std::min<std::uint64_t>(piece.length - at, BufferSize));
            m_buffer.resize(n);
            store->read(piece.offset + at, m_buffer.data(), n);
            at += n;
        }
    }
    m_entries.push_back(entry);
}

void ZipFile::centralEntry(const Entry& e)
{
    const bool plainWide = wide(e.plainSize), packedWide = wide(e.packedSize), offsetWide = wide(e.offset);
    const std::uint16_t extra = std::uint16_t((plainWide + packedWide + offsetWide) * 8);
    const bool zip64 = extra > 0;
    put<std::uint32_t>(0x02014b50);
    put<std::uint16_t>(45); // made by: zip 4.5, MS-DOS attributes
    put<std::uint16_t>(zip64 ? 45 : 20);
    put<std::uint16_t>(0);
    put<std::uint16_t>(Deflated);
    put<std::uint16_t>(m_time);
    put<std::uint16_t>(m_date);
    put<std::uint32_t>(e.crc);
    put<std::uint32_t>(packedWide ? 0xFFFFFFFFu : std::uint32_t(e.packedSize));
    put<std::uint32_t>(plainWide ? 0xFFFFFFFFu : std::uint32_t(e.plainSize));
    put<std::uint16_t>(std::uint16_t(e.name.size()));
    put<std::uint16_t>(zip64 ? std::uint16_t(4 + extra) : 0);
    put<std::uint16_t>(0); // comment
    put<std::uint16_t>(0); // disk
    put<std::uint16_t>(0); // internal attributes
    put<std::uint32_t>(0); // external attributes
    put<std::uint32_t>(offsetWide ? 0xFFFFFFFFu : std::uint32_t(e.offset));
    putBytes(e.name);
    if (zip64) {
        put<std::uint16_t>(0x0001);
        put<std::uint16_t>(extra);
        if (plainWide)
            put<std::uint64_t>(e.plainSize);
        if (packedWide)
            put<std::uint64_t>(e.packedSize);
        if (offsetWide)
            put<std::uint64_t>(e.offset);
    }
}

void ZipFile::finish()
{
    const std::uint64_t directory = m_written + m_buffer.size();
    for (const Entry& e : m_entries)
        centralEntry(e);
    const std::uint64_t directorySize = m_written + m_buffer.size() - directory;
    const std::uint64_t count = m_entries.size();
    if (count >= 0xFFFF || wide(directory) || wide(directorySize)) {
        const std::uint64_t end64 = m_written + m_buffer.size();
        put<std::uint32_t>(0x06064b50);
        put<std::uint64_t>(44); // the record's size after this field
        put<std::uint16_t>(45);
        put<std::uint16_t>(45);
        put<std::uint32_t>(0);
        put<std::uint32_t>(0);
        put<std::uint64_t>(count);
        put<std::uint64_t>(count);
        put<std::uint64_t>(directorySize);
        put<std::uint64_t>(directory);
        put<std::uint32_t>(0x07064b50); // where that record is
        put<std::uint32_t>(0);
        put<std::uint64_t>(end64);
        put<std::uint32_t>(1);
    }
    put<std::uint32_t>(0x06054b50);
    put<std::uint16_t>(0);
    put<std::uint16_t>(0);
    put<std::uint16_t>(std::uint16_t(std::min<std::uint64_t>(count, 0xFFFF)));
    put<std::uint16_t>(std::uint16_t(std::min<std::uint64_t>(count, 0xFFFF)));
    put<std::uint32_t>(wide(directorySize) ? 0xFFFFFFFFu : std::uint32_t(directorySize));
    put<std::uint32_t>(wide(directory) ? 0xFFFFFFFFu : std::uint32_t(directory));
    put<std::uint16_t>(0);
    flush();
}

// ---------------------------------------------------------------- the small parts

const char XmlDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

std::string attributeText(const QString& value)
{
    std::string out;
    for (const char c : value.toStdString()) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string contentTypes(std::size_t sheets)
{
    std::string xml = XmlDeclaration;
    xml += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Override PartName=\"/xl/workbook.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
    for (std::size_t i = 1; i <= sheets; ++i)
        xml += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(i)
            + ".xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
    xml += "<Override PartName=\"/xl/styles.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
           "<Override PartName=\"/docProps/core.xml\" "
           "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
           "<Override PartName=\"/docProps/app.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/></Types>";
    return xml;
}

std::string packageRelationships()
{
    return std::string(XmlDeclaration)
        + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
          "<Relationship Id=\"rId1\" "
          "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
          "Target=\"xl/workbook.xml\"/>"
          "<Relationship Id=\"rId2\" "
          "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties\" "
          "Target=\"docProps/core.xml\"/>"
          "<Relationship Id=\"rId3\" "
          "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties\" "
          "Target=\"docProps/app.xml\"/></Relationships>";
}

std::string documentProperties()
{
    const std::string now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
    return std::string(XmlDeclaration)
        + "<cp:coreProperties "
          "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
          "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
          "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
          "<dcterms:created xsi:type=\"dcterms:W3CDTF\">"
        + now + "</dcterms:created><dcterms:modified xsi:type=\"dcterms:W3CDTF\">" + now
        + "</dcterms:modified></cp:coreProperties>";
}

std::string applicationProperties()
{
    return std::string(XmlDeclaration)
        + "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
          "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
          "<Application>Quorvane</Application></Properties>";
}

/** The tabs: names in order, and which one is active. */
std::string workbookPart(const Workbook::Impl& wb)
{
    const int active = std::max(0, wb.indexOf(wb.active));
    std::string xml = XmlDeclaration;
    xml += "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<bookViews><workbookView xWindow=\"240\" yWindow=\"15\" windowWidth=\"16095\" windowHeight=\"9660\" "
           "activeTab=\""
        + std::to_string(active) + "\"/></bookViews><sheets>";
    for (std::size_t i = 1; i <= wb.sheets.size(); ++i)
        xml += "<sheet name=\"" + attributeText(ModelAccess::of(*wb.sheets[i - 1]).name) + "\" sheetId=\""
            + std::to_string(i) + "\" r:id=\"rId" + std::to_string(i) + "\"/>";
    xml += "</sheets></workbook>";
    return xml;
}

std::string workbookRelationships(std::size_t sheets)
{
    std::string xml = XmlDeclaration;
    xml += "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    for (std::size_t i = 1; i <= sheets; ++i)
        xml += "<Relationship Id=\"rId" + std::to_string(i)
            + "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
              "Target=\"worksheets/sheet"
            + std::to_string(i) + ".xml\"/>";
    xml += "<Relationship Id=\"rId" + std::to_string(sheets + 1)
        + "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
          "Target=\"styles.xml\"/></Relationships>";
    return xml;
}

/**
 * The cell formats, by the index a sheet's cells give (SheetXml.cpp): built-in ones that follow the reader's
 * regional settings: short date (14), time (21), date and time (22).
 */
std::string stylesPart()
{
    return std::string(XmlDeclaration)
        + "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
          "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family val=\"2\"/></font></fonts>"
          "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
          "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
          "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
          "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
          "<cellXfs count=\"4\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
          "<xf numFmtId=\"14\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
          "<xf numFmtId=\"21\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
          "<xf numFmtId=\"22\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
          "</cellXfs><cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
          "<dxfs count=\"0\"/><tableStyles count=\"0\"/></styleSheet>";
}

// ---------------------------------------------------------------- sheets made from the cell store

/** The sheet's records from the cell store, in the order the rows need, a later write to a cell winning. */
template <class F>
void forEachKeptRecord(const Worksheet::Impl& s, const TempStore& store, F&& f)
{
    if (!s.needsSort) {
        // In row order already: piece by piece, as it was written.
        std::size_t largest = 0;
        for (const auto& chunk : s.chunks)
            largest = std::max(largest, chunk.length);
        auto piece = std::make_unique_for_overwrite<char[]>(largest);
        Cursor at;
        for (const auto& chunk : s.chunks) {
            store.read(chunk.offset, piece.get(), chunk.length);
            forEachRecord(piece.get(), piece.get() + chunk.length, at, f);
        }
        return;
    }
    std::size_t total = 0;
    for (const auto& chunk : s.chunks)
        total += chunk.length;
    std::vector<char> all(total);
    std::size_t filled = 0;
    for (const auto& chunk : s.chunks) {
        store.read(chunk.offset, all.data() + filled, chunk.length);
        filled += chunk.length;
    }
    std::vector<Record> records;
    Cursor at;
    forEachRecord(all.data(), all.data() + all.size(), at, [&](const Record& r) { records.push_back(r); });
    std::stable_sort(records.begin(), records.end(),
        [](const Record& a, const Record& b) { return a.row != b.row ? a.row < b.row : a.column < b.column; });
    for (std::size_t i = 0; i < records.size(); ++i) {
        const bool overwritten = i + 1 < records.size() && records[i + 1].row == records[i].row
            && records[i + 1].column == records[i].column;
        if (!overwritten)
            f(records[i]);
    }
}

/** Packs a sheet's rows from the cell store into the store, as the stream would have. */
PackedRows packFromStore(const Worksheet::Impl& s, TempStore& store, Deflater& packer)
{
    PackedRows packed;
    packer.begin(intoStore(store, packed));
    SheetRows rows(packer);
    // The rows take no cleared cell: where a clear is a cell's last write, the cell stays empty.
    forEachKeptRecord(s, store, [&](const Record& r) { rows.add(r); });
    rows.finish(packed);
    return packed;
}

void addPart(ZipFile& zip, Deflater& packer, std::string name, const std::string& xml)
{
    const PackedText packed = packText(packer, xml);
    zip.add(std::move(name), packed.crc, packed.plainSize, packed.packed, {}, nullptr);
}

void writeParts(Workbook::Impl& wb, ZipFile& zip, const CellStream* streamed)
{
    Deflater packer;
    const std::size_t count = wb.sheets.size();
    addPart(zip, packer, "[Content_Types].xml", contentTypes(count));
    addPart(zip, packer, "_rels/.rels", packageRelationships());
    addPart(zip, packer, "docProps/app.xml", applicationProperties());
    addPart(zip, packer, "docProps/core.xml", documentProperties());
    addPart(zip, packer, "xl/workbook.xml", workbookPart(wb));
    addPart(zip, packer, "xl/_rels/workbook.xml.rels", workbookRelationships(count));
    addPart(zip, packer, "xl/styles.xml", stylesPart());
    for (std::size_t i = 0; i < count; ++i) {
        const Worksheet::Impl& s = ModelAccess::of(*wb.sheets[i]);
        const PackedRows* rows = streamed ? streamed->rows(s.serial) : nullptr;
        PackedRows made;
        if (!rows || s.needsSort) {
            made = packFromStore(s, *wb.store, packer);
            rows = &made;
        }
        static const std::vector<std::uint16_t> noWidths;
        const PackedText head = packText(
            packer, sheetHead(rows->extent, wb.sheets[i].get() == wb.active, s.autoFit ? s.fitted : noWidths), false);
        zip.add("xl/worksheets/sheet" + std::to_string(i + 1) + ".xml",
            crc32Joined(head.crc, rows->crc, rows->plainSize), head.plainSize + rows->plainSize, head.packed,
            rows->pieces, wb.store.get());
    }
    zip.finish();
}

} // namespace

void writePackage(Workbook::Impl& wb, int fd, const QByteArray& path, CellStream* streamed)
{
    try {
        if (streamed)
            streamed->finish();
        ZipFile zip(fd);
        writeParts(wb, zip, streamed);
    } catch (const StorageError& e) {
        failStorage(e.number(),
            QStringLiteral("The workbook could not be written to %1: %2")
                .arg(QFile::decodeName(path), e.description()));
    }
}

void Application::setZip64From(std::uint64_t bytes)
{
    g_zip64From = bytes;
}

void Application::injectWriteFault(int error)
{
    g_injectedFault = error;
}

} // namespace xl
