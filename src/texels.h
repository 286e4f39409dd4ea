// Texel decoding: turns the texel data that follows a TEX0 header into the
// record's RGBA pixel buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "containers.h"

enum TexelFormat : std::uint32_t {
    kI4 = 0,
    kI8 = 1,
    kIA4 = 2,
    kIA8 = 3,
    kRGB565 = 4,
    kRGB5A3 = 5,
    kRGBA8 = 6,
    kCI4 = 8,
    kCI8 = 9,
    kCMPR = 14,
};

// The name of a texel format, as the formats' reference spells it; nullptr
// for a code that is not a texel format.
const char* FormatName(std::uint32_t format);

// Whether a texture of this format needs a palette: only the indexed ones do.
inline bool NeedsPalette(std::uint32_t format)
{
    return format == kCI4 || format == kCI8;
}

// Where the pixel at (x, y) lives; a row's pixels follow it.
inline RgbaPixel* PixelAt(TextureData* texture, std::int32_t x, std::int32_t y)
{
    return texture->pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(texture->width) +
           static_cast<std::size_t>(x);
}

inline void PutData(TextureData* texture, std::int32_t x, std::int32_t y, RgbaPixel pixel)
{
    *PixelAt(texture, x, y) = pixel;
}

// The pixel buffer for the record's image, to be freed with std::free;
// nullptr when the image cannot be converted: its BMP would not fit the
// 32-bit size field, or the memory is not there. The size is checked before
// anything is allocated, so a tiny file that declares a huge image costs
// nothing. The buffer reads as zeros wherever ReadTexture leaves it alone;
// a large one is not zeroed for a format that ReadTexture writes in full.
RgbaPixel* AllocatePixels(const TextureData* texture);

// A CMPR tile wholly inside the image, its 32 bytes at `tile`, into the
// pixels from `first` on, rows `stride` pixels apart, on a little-endian
// machine: by plain code, or where the processor has SSSE3 (as
// VectorRowsAvailable() tells) a block row at a time by one byte shuffle.
// Both give the same pixels; ReadTexture takes the faster.
void DecodeWholeCmprTile(const std::uint8_t* tile, RgbaPixel* first, std::size_t stride);
void ShuffleWholeCmprTile(const std::uint8_t* tile, RgbaPixel* first, std::size_t stride);

// Decodes from the stream's position into texture->pixels, which must hold
// width x height pixels. Codes that are not texel formats decode nothing.
// Bytes past the end of the file read as 0; nothing is ever reported.
void ReadTexture(InputStream* in, TextureData* texture);
