#include "platform/workbook/Deflate.h"

#include "platform/workbook/ModelParts.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

namespace xl {

namespace {
/** The fast level; level 2 packs the same XML no smaller and no faster here. */
constexpr int Level = 1;
constexpr std::size_t LevelBufferSize = ISAL_DEF_LVL1_DEFAULT;
constexpr std::size_t OutputSize = std::size_t(64) << 10;
} // namespace

std::uint32_t crc32Of(std::uint32_t crc, std::string_view data)
{
    return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

std::uint32_t crc32Joined(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize)
{
    return std::uint32_t(::crc32_combine64(first, second, z_off64_t(secondSize)));
}

struct Deflater::Stream {
    isal_zstream z;
    std::vector<unsigned char> levelBuffer = std::vector<unsigned char>(LevelBufferSize);
    std::vector<unsigned char> output = std::vector<unsigned char>(OutputSize);
};

Deflater::Deflater() : m_stream(std::make_unique<Stream>())
{ }

Deflater::~Deflater() = default;

void Deflater::begin(Sink sink)
{
    isal_deflate_init(&m_stream->z);
    m_stream->z.level = Level;
    m_stream->z.level_buf = m_stream->levelBuffer.data();
    m_stream->z.level_buf_size = std::uint32_t(m_stream->levelBuffer.size());
    m_stream->z.gzip_flag = IGZIP_DEFLATE;
    m_sink = std::move(sink);
    m_crc = 0;
    m_plain = 0;
    m_packed = 0;
}

void Deflater::add(std::string_view data)
{
    m_crc = crc32Of(m_crc, data);
    m_plain += data.size();
    // The stream counts its input in 32 bits: large data goes in slices.
    constexpr std::size_t Slice = std::size_t(1) << 30;
    while (data.size() > Slice) {
        run(data.substr(0, Slice), NO_FLUSH, false);
        data.remove_prefix(Slice);
    }
    run(data, NO_FLUSH, false);
}

void Deflater::end(bool last)
{
    run({}, last ? NO_FLUSH : SYNC_FLUSH, last);
}

void Deflater::run(std::string_view data, int flush, bool endOfStream)
{
    isal_zstream& z = m_stream->z;
    z.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data.data()));
    z.avail_in = std::uint32_t(data.size());
    z.flush = std::uint16_t(flush);
    z.end_of_stream = endOfStream ? 1 : 0;
    // All input is taken, and flushed as asked, once a call leaves room in the output.
    do {
        z.next_out = m_stream->output.data();
        z.avail_out = std::uint32_t(m_stream->output.size());
        if (isal_deflate(&z) != COMP_OK)
            fail(ApplicationDefinedError, QStringLiteral("The compressor refused its settings."));
        const std::size_t made = m_stream->output.size() - z.avail_out;
        if (made > 0) {
            m_packed += made;
            m_sink(reinterpret_cast<const char*>(m_stream->output.data()), made);
        }
    } while (z.avail_in > 0 || z.avail_out == 0);
}

PackedText packText(Deflater& packer, std::string_view text, bool last)
{
    PackedText out;
    packer.begin([&](const char* data, std::size_t size) { out.packed.append(data, size); });
    packer.add(text);
    packer.end(last);
    out.crc = packer.crc();
    out.plainSize = packer.plainSize();
    return out;
}

} // namespace xl
