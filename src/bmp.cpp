#include "bmp.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define KESTRUNE_X86
#include <immintrin.h>
#endif

#include "buffer.h"
#include "texels.h"

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

// The portable row routine, one pixel at a time.
template <RowBytes kKind>
void PackPixels(const RgbaPixel* row, std::size_t count, std::uint8_t* out)
{
    for (std::size_t i = 0; i < count; ++i, out += 3) {
        const RgbaPixel p = row[i];
        if constexpr (kKind == RowBytes::kColour) {
            out[0] = p.b;
            out[1] = p.g;
            out[2] = p.r;
        } else {
            out[0] = p.a;
            out[1] = p.a;
            out[2] = p.a;
        }
    }
}

using RowPacker = void (*)(RowBytes, const RgbaPixel*, std::size_t, std::uint8_t*);

// Writes the header and the rows bottom-up.
void WriteImage(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels, RowBytes kind)
{
    const RowPacker pack = VectorRowsAvailable() ? PackRowVector : PackRow;
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
            pack(kind, row + x, fit, chunk.bytes + chunk.used);
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

void PackRow(RowBytes kind, const RgbaPixel* row, std::size_t count, std::uint8_t* out)
{
    if (kind == RowBytes::kColour) {
        PackPixels<RowBytes::kColour>(row, count, out);
    } else {
        PackPixels<RowBytes::kAlpha>(row, count, out);
    }
}

#ifdef KESTRUNE_X86

// The twelve bytes of four pixels, in the low bytes, as `pick` chooses them.
[[gnu::target("ssse3")]] static __m128i PackFour(const RgbaPixel* four, __m128i pick)
{
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(four)), pick);
}

// Sixteen pixels at a time: one byte shuffle turns four pixels into their
// twelve bytes, and four such groups are shifted together into three whole
// 16-byte stores, so nothing is written past the row's last byte.
[[gnu::target("ssse3")]] void PackRowVector(RowBytes kind, const RgbaPixel* row, std::size_t count, std::uint8_t* out)
{
    const __m128i pick = kind == RowBytes::kColour
                             ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                             : _mm_setr_epi8(3, 3, 3, 7, 7, 7, 11, 11, 11, 15, 15, 15, -1, -1, -1, -1);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16, out += 48) {
        const __m128i a = PackFour(row + i, pick), b = PackFour(row + i + 4, pick);
        const __m128i c = PackFour(row + i + 8, pick), d = PackFour(row + i + 12, pick);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    }
    PackRow(kind, row + i, count - i, out);
}

#else

void PackRowVector(RowBytes kind, const RgbaPixel* row, std::size_t count, std::uint8_t* out)
{
    PackRow(kind, row, count, out);
}

#endif

void WriteColorBMP(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels)
{
    WriteImage(stream, width, height, pixels, RowBytes::kColour);
}

void WriteAlphaBMP(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels)
{
    WriteImage(stream, width, height, pixels, RowBytes::kAlpha);
}

#ifdef __linux__
// True for the codes ReadTexture decodes, the texel formats. Each of them
// writes every pixel of the image, whatever the file holds, so their buffer
// need not be zeroed.
static bool WritesEveryPixel(std::uint32_t format)
{
    return FormatName(format) != nullptr;
}

static RgbaPixel* AllocateLargePixels(const TextureData* texture, std::size_t bytes)
{
    void* buffer = AllocateLarge(bytes);
    if (buffer != nullptr && !WritesEveryPixel(texture->format)) {
        std::memset(buffer, 0, bytes);
    }
    return static_cast<RgbaPixel*>(buffer);
}
#endif

RgbaPixel* AllocatePixels(const TextureData* texture)
{
    if (BMPFileSize(texture->width, texture->height) > UINT32_MAX) {
        return nullptr;
    }
    const std::uint64_t count = static_cast<std::uint64_t>(texture->width) * static_cast<std::uint64_t>(texture->height);
    if (count > SIZE_MAX / sizeof(RgbaPixel)) {
        return nullptr;
    }
#ifdef __linux__
    if (count * sizeof(RgbaPixel) >= kHugePage) {
        return AllocateLargePixels(texture, static_cast<std::size_t>(count) * sizeof(RgbaPixel));
    }
#endif
    // One pixel at least, so that an empty image is told apart from a failure.
    return static_cast<RgbaPixel*>(std::calloc(count > 0 ? count : 1, sizeof(RgbaPixel)));
}
