#pragma once

// Deflate, the compression of a zip entry, given its data piece by piece,
// through zlib.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace xl {

/** A CRC-32 as zip keeps it, carried on from `crc` over `data`. */
std::uint32_t crc32Of(std::uint32_t crc, std::string_view data);
/** The CRC-32 of a run of `firstSize` bytes with CRC `first` followed by one with CRC `second` of `secondSize` bytes.
 */
std::uint32_t crc32Joined(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize);

class Deflater {
public:
    /** Where the packed bytes go, as they come. */
    using Sink = std::function<void(const char* data, std::size_t size)>;

    Deflater();
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    /** Starts a new stream into `sink`; whatever the previous one held is let go. */
    void begin(Sink sink);
    void add(std::string_view data);
    /**
     * Ends the stream: with its last block when `last`; otherwise on a byte
     * boundary and without one, so that another stream may follow it in the
     * same entry (the head of a sheet, packed after its rows).
     */
    void end(bool last);

    std::uint32_t crc() const { return m_crc; }
    std::uint64_t plainSize() const { return m_plain; }
    std::uint64_t packedSize() const { return m_packed; }

private:
    void run(std::string_view data, int flush);

    struct Stream;
    std::unique_ptr<Stream> m_stream;
    Sink m_sink;
    std::uint32_t m_crc = 0;
    std::uint64_t m_plain = 0;
    std::uint64_t m_packed = 0;
};

/** Data packed whole in memory: a small part of the package, or a sheet's head. */
struct PackedText {
    std::string packed;
    std::uint32_t crc = 0;
    std::uint64_t plainSize = 0;
};

/** Packs `text` in one go; `last` as for Deflater::end. */
PackedText packText(Deflater& packer, std::string_view text, bool last = true);

} // namespace xl
