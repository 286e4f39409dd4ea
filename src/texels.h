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

// Pixels from one row's start to the next's.
inline std::size_t RowStride(const TextureData* texture)
{
    return texture->stride != 0 ? texture->stride : static_cast<std::size_t>(texture->width);
}

// Where the pixel at (x, y) lives; a row's pixels follow it.
inline RgbaPixel* PixelAt(TextureData* texture, std::int32_t x, std::int32_t y)
{
    return texture->pixels + static_cast<std::size_t>(y) * RowStride(texture) + static_cast<std::size_t>(x);
}

inline void PutData(TextureData* texture, std::int32_t x, std::int32_t y, RgbaPixel pixel)
{
    *PixelAt(texture, x, y) = pixel;
}

// Whether the processor has the byte shuffle (SSSE3) that the vector
// routines of the decoder and the BMP writer need.
bool VectorRowsAvailable();

// A CMPR tile wholly inside the image, its 32 bytes at `tile`, into the
// pixels from `first` on, rows `stride` pixels apart, on a little-endian
// machine: by plain code, or where the processor has SSSE3 (as
// VectorRowsAvailable() tells) a block row at a time by one byte shuffle.
// Both give the same pixels; ReadTexture takes the faster.
void DecodeWholeCmprTile(const std::uint8_t* tile, RgbaPixel* first, std::size_t stride);
void ShuffleWholeCmprTile(const std::uint8_t* tile, RgbaPixel* first, std::size_t stride);

// The CMPR encoder's least-squares fits, one of the sources of the
// endpoints it tries: for `n` colours (1 to 16) in order along their
// principal axis, the endpoints (5:6:5 fields, red first) of the best
// splits of them into consecutive groups, one for each colour of a
// four-colour block (or of a three-colour one's three opaque colours),
// in no particular order, at most kCmprFits; returns how many. A fit whose
// endpoints lie far outside 0 to 255 is left out.
constexpr int kCmprFits = 2;
int FitCmprEndpoints(const float colours[][3], int n, bool four, std::int32_t fits[kCmprFits][2][3]);

// How many bytes of texel data ReadTexture reads for an image of this
// format and size: an edge tile gives only what lies inside the image.
std::uint64_t TexelBytes(std::uint32_t format, std::int32_t width, std::int32_t height);

// Encodes `pixels` (the texture's width x height, rows `stride` pixels
// apart) in the texture's format, with its palette for the indexed ones,
// into `out`: the TexelBytes of its texel data, in the order ReadTexture
// reads them. `original` reads the template's texel data from its first
// byte (past its end as 0): a texel of it that decodes to the pixel wanted
// is kept as it is. Adds to `inexact` the texels whose pixel the format
// cannot hold, which take the nearest it can. Nothing is written for a
// code that is no texel format.
void WriteTexture(InputStream* original, const TextureData* texture, const RgbaPixel* pixels, std::size_t stride,
                  std::uint8_t* out, std::uint64_t* inexact);

// Decodes from the stream's position into texture->pixels, which must hold
// width x height pixels. Codes that are not texel formats decode nothing.
// Bytes past the end of the file read as 0; nothing is ever reported.
void ReadTexture(InputStream* in, TextureData* texture);
