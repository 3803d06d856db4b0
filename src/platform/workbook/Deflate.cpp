#include "platform/workbook/Deflate.h"

#include "platform/workbook/ModelParts.h"

#include <zlib.h>

#include <vector>

namespace xl {

namespace {
/**
 * zlib's level 5 packs a sheet's XML as small as its default level 6 (within
 * 2%) in half the time; level 4 and below leave files an eighth larger.
 */
constexpr int Level = 5;
constexpr int RawDeflate = -15; // a 32 KB window, no zlib header: what zip holds
constexpr int MemoryLevel = 8;
constexpr std::size_t OutputSize = std::size_t(64) << 10;
} // namespace

std::uint32_t crc32Of(std::uint32_t crc, std::string_view data)
{
    return std::uint32_t(::crc32_z(crc, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

std::uint32_t crc32Joined(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize)
{
    return std::uint32_t(::crc32_combine64(first, second, z_off64_t(secondSize)));
}

struct Deflater::Stream {
    z_stream z{};
    std::vector<unsigned char> output = std::vector<unsigned char>(OutputSize);

    Stream()
    {
        if (::deflateInit2(&z, Level, Z_DEFLATED, RawDeflate, MemoryLevel, Z_DEFAULT_STRATEGY) != Z_OK)
            fail(ApplicationDefinedError, QStringLiteral("The compressor could not start: out of memory."));
    }
    ~Stream() { ::deflateEnd(&z); }
};

Deflater::Deflater() : m_stream(std::make_unique<Stream>())
{ }

Deflater::~Deflater() = default;

void Deflater::begin(Sink sink)
{
    ::deflateReset(&m_stream->z);
    m_sink = std::move(sink);
    m_crc = 0;
    m_plain = 0;
    m_packed = 0;
}

void Deflater::add(std::string_view data)
{
    m_crc = crc32Of(m_crc, data);
    m_plain += data.size();
    // zlib counts its input in 32 bits: large data goes in slices.
    constexpr std::size_t Slice = std::size_t(1) << 30;
    while (data.size() > Slice) {
        run(data.substr(0, Slice), Z_NO_FLUSH);
        data.remove_prefix(Slice);
    }
    run(data, Z_NO_FLUSH);
}

void Deflater::end(bool last)
{
    run({}, last ? Z_FINISH : Z_SYNC_FLUSH);
}

void Deflater::run(std::string_view data, int flush)
{
    z_stream& z = m_stream->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    // All input is taken, and flushed as asked, once a call leaves room in the output.
    do {
        z.next_out = m_stream->output.data();
        z.avail_out = uInt(m_stream->output.size());
        const int status = ::deflate(&z, flush);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            fail(ApplicationDefinedError, QStringLiteral("The compressor failed: %1").arg(z.msg ? z.msg : "zlib"));
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
