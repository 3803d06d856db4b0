// How hard the writer compresses the file. libxlsxwriter (1.1) packs every
// part at zlib's default level and has no setting for it; packing takes most
// of the time of making a large workbook, and zlib's fastest level packs the
// same sheets in about a third of that time for files about a fifth larger.
// A workbook is written once, opened once and kept on the user's own disk,
// so the export takes the fastest level: zlib's entry point is wrapped here,
// and the level changed only for the thread that is packing a workbook.

#include "platform/workbook/ModelParts.h"

#include <dlfcn.h>

namespace {
thread_local bool t_packing = false;
constexpr int BestSpeed = 1; // zlib's Z_BEST_SPEED
constexpr int StreamError = -2; // zlib's Z_STREAM_ERROR
} // namespace

namespace xl {

FastPacking::FastPacking() : m_was(t_packing)
{
    t_packing = true;
}

FastPacking::~FastPacking()
{
    t_packing = m_was;
}

} // namespace xl

// zlib's own declaration, without its header: the stream is only passed on.
extern "C" int deflateInit2_(void* stream, int level, int method, int windowBits, int memLevel, int strategy,
    const char* version, int streamSize)
{
    using Real = int (*)(void*, int, int, int, int, int, const char*, int);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "deflateInit2_"));
    if (!real)
        return StreamError;
    return real(stream, t_packing ? BestSpeed : level, method, windowBits, memLevel, strategy, version, streamSize);
}
