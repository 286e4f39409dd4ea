// The PNG writer's compression, natively: zlib, linked from its static
// library so that the tools need no zlib of the system they run on.
#include "deflate.h"

#include <cstdlib>

#include <zlib.h>

struct Deflation {
    z_stream stream;
};

Deflation* StartDeflation()
{
    auto* deflation = static_cast<Deflation*>(std::calloc(1, sizeof(Deflation)));
    if (deflation != nullptr &&
        deflateInit2(&deflation->stream, kDeflateLevel, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        std::free(deflation);
        return nullptr;
    }
    return deflation;
}

// zlib takes at most 4 GiB a call, so larger input goes in parts. The
// output buffer grows by at least a quarter of the input each time it
// fills, which compressed pixels rarely pass.
bool Deflate(Deflation* deflation, const std::uint8_t* data, std::size_t size, bool last, ByteBuffer* out)
{
    z_stream& z = deflation->stream;
    constexpr std::size_t kMostInput = 1u << 30;
    for (;;) {
        const std::size_t part = size < kMostInput ? size : kMostInput;
        z.next_in = const_cast<Bytef*>(data);
        z.avail_in = static_cast<uInt>(part);
        data += part;
        size -= part;
        const int flush = last && size == 0 ? Z_FINISH : Z_NO_FLUSH;
        int result = Z_OK;
        while (z.avail_in > 0 || (flush == Z_FINISH && result != Z_STREAM_END)) {
            if (out->capacity == out->size && !MakeRoom(out, part / 4 + 64)) {
                return false;
            }
            const std::size_t room = out->capacity - out->size;
            z.next_out = out->bytes + out->size;
            z.avail_out = static_cast<uInt>(room < kMostInput ? room : kMostInput);
            const uInt offered = z.avail_out;
            result = deflate(&z, flush);
            out->size += offered - z.avail_out;
            if (result == Z_STREAM_ERROR) {
                return false;
            }
        }
        if (size == 0) {
            return true;
        }
    }
}

void EndDeflation(Deflation* deflation)
{
    deflateEnd(&deflation->stream);
    std::free(deflation);
}

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(crc32_z(crc, data, size));
}
