#include "texels.h"

namespace {

// Texels are stored in tiles, the tiles row by row and each tile's texels
// row by row. Only in-image texels occupy bytes: a tile that overhangs the
// right or bottom edge stops after its last in-image texel of each row, so
// one tile's bytes are contiguous and can be fetched as a single span.
//
// A format supplies its tile size, the bytes one tile row of `count` texels
// occupies, and a routine that decodes such a row.

struct RowTarget {
    TextureData* texture;
    std::int32_t x; // first column of the row segment
    std::int32_t y;
};

template <typename Format>
void WalkTiles(InputStream* in, TextureData* texture)
{
    constexpr std::int32_t tw = Format::kTileWidth;
    constexpr std::int32_t th = Format::kTileHeight;
    const std::int32_t tiles_down = (texture->height + th - 1) / th;
    const std::int32_t tiles_across = (texture->width + tw - 1) / tw;
    for (std::int32_t ty = 0; ty < tiles_down; ++ty) {
        const std::int32_t y0 = ty * th;
        const std::int32_t rows = texture->height - y0 < th ? texture->height - y0 : th;
        for (std::int32_t tx = 0; tx < tiles_across; ++tx) {
            const std::int32_t x0 = tx * tw;
            const std::int32_t columns = texture->width - x0 < tw ? texture->width - x0 : tw;
            const std::size_t row_bytes = Format::RowBytes(columns);
            const std::uint8_t* src = ReadSpan(in, row_bytes * static_cast<std::size_t>(rows));
            for (std::int32_t r = 0; r < rows; ++r) {
                Format::DecodeRow(src + row_bytes * static_cast<std::size_t>(r), columns,
                                  RowTarget{texture, x0, y0 + r});
            }
        }
    }
}

// One byte holds two texels, the left one in the high nibble. A row of odd
// length still takes whole bytes; the last low nibble is read and dropped.
template <typename Nibble>
struct FourBit {
    static constexpr std::int32_t kTileWidth = 8;
    static constexpr std::int32_t kTileHeight = 8;
    static std::size_t RowBytes(std::int32_t columns) { return static_cast<std::size_t>(columns + 1) / 2; }
    static void DecodeRow(const std::uint8_t* src, std::int32_t columns, RowTarget at)
    {
        std::int32_t c = 0;
        for (; c + 1 < columns; c += 2) {
            const std::uint8_t byte = src[c / 2];
            PutData(at.texture, at.x + c, at.y, Nibble::Pixel(at.texture, byte >> 4));
            PutData(at.texture, at.x + c + 1, at.y, Nibble::Pixel(at.texture, byte & 0xF));
        }
        if (c < columns) {
            PutData(at.texture, at.x + c, at.y, Nibble::Pixel(at.texture, src[c / 2] >> 4));
        }
    }
};

// Formats of one or two bytes a texel, each decoded alone.
template <std::int32_t TileWidth, std::int32_t TileHeight, std::size_t BytesPerTexel, typename Texel>
struct Bytewise {
    static constexpr std::int32_t kTileWidth = TileWidth;
    static constexpr std::int32_t kTileHeight = TileHeight;
    static std::size_t RowBytes(std::int32_t columns) { return BytesPerTexel * static_cast<std::size_t>(columns); }
    static void DecodeRow(const std::uint8_t* src, std::int32_t columns, RowTarget at)
    {
        for (std::int32_t c = 0; c < columns; ++c) {
            PutData(at.texture, at.x + c, at.y,
                    Texel::Pixel(at.texture, src + BytesPerTexel * static_cast<std::size_t>(c)));
        }
    }
};

struct IntensityNibble {
    static RgbaPixel Pixel(const TextureData*, std::uint32_t v) { return Grey(Expand4(v), Expand4(v)); }
};

struct PaletteNibble {
    static RgbaPixel Pixel(const TextureData* t, std::uint32_t v) { return t->palette[v]; }
};

struct IntensityByte {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p) { return Grey(p[0], p[0]); }
};

// Intensity in the low nibble, alpha in the high one.
struct IntensityAlphaByte {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p)
    {
        return Grey(Expand4(p[0] & 0xF), Expand4(p[0] >> 4));
    }
};

// Alpha first, then intensity.
struct IntensityAlphaPair {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p) { return Grey(p[1], p[0]); }
};

struct PaletteByte {
    static RgbaPixel Pixel(const TextureData* t, const std::uint8_t* p) { return t->palette[p[0]]; }
};

struct Rgb565Word {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p) { return Rgb565(Load16(p)); }
};

struct Rgb5A3Word {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p) { return Rgb5A3(Load16(p)); }
};

// RGBA8 stores each 4 x 4 tile twice over its in-image texels: first alpha
// and red pairs, then green and blue pairs. Each pass fills two bytes of the
// pixel and leaves the other two alone.
void DecodeRgba8(InputStream* in, TextureData* texture)
{
    constexpr std::int32_t kTile = 4;
    const std::int32_t tiles_down = (texture->height + kTile - 1) / kTile;
    const std::int32_t tiles_across = (texture->width + kTile - 1) / kTile;
    for (std::int32_t ty = 0; ty < tiles_down; ++ty) {
        const std::int32_t y0 = ty * kTile;
        const std::int32_t rows = texture->height - y0 < kTile ? texture->height - y0 : kTile;
        for (std::int32_t tx = 0; tx < tiles_across; ++tx) {
            const std::int32_t x0 = tx * kTile;
            const std::int32_t columns = texture->width - x0 < kTile ? texture->width - x0 : kTile;
            const std::size_t pass_bytes = 2 * static_cast<std::size_t>(rows * columns);
            RgbaPixel* tile = texture->pixels + static_cast<std::size_t>(y0) * static_cast<std::size_t>(texture->width) +
                              static_cast<std::size_t>(x0);
            const std::uint8_t* ar = ReadSpan(in, pass_bytes);
            for (std::int32_t r = 0; r < rows; ++r) {
                RgbaPixel* row = tile + static_cast<std::size_t>(r) * static_cast<std::size_t>(texture->width);
                for (std::int32_t c = 0; c < columns; ++c, ar += 2) {
                    row[c].a = ar[0];
                    row[c].r = ar[1];
                }
            }
            const std::uint8_t* gb = ReadSpan(in, pass_bytes);
            for (std::int32_t r = 0; r < rows; ++r) {
                RgbaPixel* row = tile + static_cast<std::size_t>(r) * static_cast<std::size_t>(texture->width);
                for (std::int32_t c = 0; c < columns; ++c, gb += 2) {
                    row[c].g = gb[0];
                    row[c].b = gb[1];
                }
            }
        }
    }
}

} // namespace

void ReadTexture(InputStream* in, TextureData* texture)
{
    switch (texture->format) {
    case kI4:
        WalkTiles<FourBit<IntensityNibble>>(in, texture);
        break;
    case kI8:
        WalkTiles<Bytewise<8, 4, 1, IntensityByte>>(in, texture);
        break;
    case kIA4:
        WalkTiles<Bytewise<8, 4, 1, IntensityAlphaByte>>(in, texture);
        break;
    case kIA8:
        WalkTiles<Bytewise<4, 4, 2, IntensityAlphaPair>>(in, texture);
        break;
    case kCI4:
        WalkTiles<FourBit<PaletteNibble>>(in, texture);
        break;
    case kCI8:
        WalkTiles<Bytewise<8, 4, 1, PaletteByte>>(in, texture);
        break;
    case kRGB565:
        WalkTiles<Bytewise<4, 4, 2, Rgb565Word>>(in, texture);
        break;
    case kRGB5A3:
        WalkTiles<Bytewise<4, 4, 2, Rgb5A3Word>>(in, texture);
        break;
    case kRGBA8:
        DecodeRgba8(in, texture);
        break;
    default:
        // Not a texel format, or one this build does not decode yet: the
        // buffer keeps its initial content.
        break;
    }
}
