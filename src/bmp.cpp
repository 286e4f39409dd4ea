#include "bmp.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr std::uint32_t kHeaderSize = 54;
constexpr std::uint32_t kPixelsPerMetre = 57540;

int RowPadding(std::int32_t width)
{
    return width % 4;
}

void Store16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Store32(std::uint8_t* p, std::uint32_t v)
{
    Store16(p, v & 0xFFFF);
    Store16(p + 2, v >> 16);
}

// Rows are gathered into one buffer and written a buffer at a time, so even
// a narrow image costs few calls.
constexpr std::size_t kChunkSize = 64 * 1024;

// The buffer itself is a separate array, not a member, so that a sanitizer
// build guards its end.
struct Chunk {
    std::FILE* stream;
    std::uint8_t* bytes; // kChunkSize of them
    std::size_t used;
    bool failed;
};

void Flush(Chunk* chunk)
{
    if (!chunk->failed && chunk->used > 0 &&
        std::fwrite(chunk->bytes, 1, chunk->used, chunk->stream) != chunk->used) {
        chunk->failed = true;
    }
    chunk->used = 0;
}

// Writes the header and the rows bottom-up; `to_bgr` turns one pixel into
// the three bytes the file stores for it.
template <typename ToBgr>
void WriteImage(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels, ToBgr to_bgr)
{
    const std::size_t pad = static_cast<std::size_t>(WriteBMPHeader(stream, width, height));
    std::uint8_t bytes[kChunkSize];
    Chunk chunk{stream, bytes, 0, std::ferror(stream) != 0};
    for (std::int32_t y = height - 1; y >= 0 && !chunk.failed; --y) {
        const RgbaPixel* row = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        std::size_t x = 0;
        while (x < static_cast<std::size_t>(width)) {
            std::size_t fit = (kChunkSize - chunk.used) / 3;
            if (fit == 0) {
                Flush(&chunk);
                continue;
            }
            if (fit > static_cast<std::size_t>(width) - x) {
                fit = static_cast<std::size_t>(width) - x;
            }
            std::uint8_t* out = chunk.bytes + chunk.used;
            for (std::size_t i = 0; i < fit; ++i, out += 3) {
                to_bgr(row[x + i], out);
            }
            chunk.used += 3 * fit;
            x += fit;
        }
        if (kChunkSize - chunk.used < pad) {
            Flush(&chunk);
        }
        std::memset(chunk.bytes + chunk.used, 0, pad);
        chunk.used += pad;
    }
    Flush(&chunk);
}

} // namespace

std::uint64_t BMPFileSize(std::int32_t width, std::int32_t height)
{
    const std::uint64_t row = 3 * static_cast<std::uint64_t>(width) + static_cast<std::uint64_t>(RowPadding(width));
    return kHeaderSize + row * static_cast<std::uint64_t>(height);
}

int WriteBMPHeader(std::FILE* stream, std::int32_t width, std::int32_t height)
{
    std::uint8_t header[kHeaderSize] = {'B', 'M'};
    Store32(header + 2, static_cast<std::uint32_t>(BMPFileSize(width, height)));
    Store32(header + 10, kHeaderSize);
    Store32(header + 14, 40); // size of the information header
    Store32(header + 18, static_cast<std::uint32_t>(width));
    Store32(header + 22, static_cast<std::uint32_t>(height)); // positive: rows stored bottom-up
    Store16(header + 26, 1);                                 // planes
    Store16(header + 28, 24);                                // bits per pixel
    Store32(header + 38, kPixelsPerMetre);
    Store32(header + 42, kPixelsPerMetre);
    std::fwrite(header, 1, sizeof header, stream);
    return RowPadding(width);
}

void WriteColorBMP(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels)
{
    WriteImage(stream, width, height, pixels, [](RgbaPixel p, std::uint8_t* out) {
        out[0] = p.b;
        out[1] = p.g;
        out[2] = p.r;
    });
}

void WriteAlphaBMP(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels)
{
    WriteImage(stream, width, height, pixels, [](RgbaPixel p, std::uint8_t* out) {
        out[0] = p.a;
        out[1] = p.a;
        out[2] = p.a;
    });
}
