#include "texels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// Texels are stored in tiles, the tiles row by row and each tile's texels
// row by row. Only in-image texels occupy bytes: a tile that overhangs the
// right or bottom edge stops after its last in-image texel of each row, so
// one tile's bytes are contiguous and can be fetched as a single span.
//
// A format supplies its tile size, the bytes one tile row of `count` texels
// occupies, and a routine that decodes such a row.

// The two pixels of one byte of a 4-bit format, left then right.
struct PixelPair {
    RgbaPixel left, right;
};

// Where a decoded row segment goes: its first pixel, the record for the
// formats whose pixels come from the palette, and for the 4-bit formats the
// pixels of every byte value.
struct RowTarget {
    RgbaPixel* pixels;
    const TextureData* texture;
    const PixelPair* pairs;
};

template <typename Format>
void WalkTiles(InputStream* in, TextureData* texture, const PixelPair* pairs = nullptr)
{
    constexpr std::int32_t tw = Format::kTileWidth;
    constexpr std::int32_t th = Format::kTileHeight;
    const std::int32_t tiles_down = (texture->height + th - 1) / th;
    const std::int32_t tiles_across = (texture->width + tw - 1) / tw;
    for (std::int32_t ty = 0; ty < tiles_down; ++ty) {
        const std::int32_t y0 = ty * th;
        const std::int32_t rows = std::min(texture->height - y0, th);
        for (std::int32_t tx = 0; tx < tiles_across; ++tx) {
            const std::int32_t x0 = tx * tw;
            const std::int32_t columns = std::min(texture->width - x0, tw);
            const std::size_t row_bytes = Format::RowBytes(columns);
            const std::uint8_t* src = ReadSpan(in, row_bytes * static_cast<std::size_t>(rows));
            for (std::int32_t r = 0; r < rows; ++r) {
                const RowTarget target{PixelAt(texture, x0, y0 + r), texture, pairs};
                Format::DecodeRow(src + row_bytes * static_cast<std::size_t>(r), columns, target);
            }
        }
    }
}

// One byte holds two texels, the left one in the high nibble, and both
// come from one lookup of the byte: computing them instead invites the
// vectorizer to shuffle nibbles, which here is slower than plain loads. A
// row of odd length still takes whole bytes; the last low nibble is read and
// dropped.
struct FourBit {
    static constexpr std::int32_t kTileWidth = 8;
    static constexpr std::int32_t kTileHeight = 8;
    static std::size_t RowBytes(std::int32_t columns) { return static_cast<std::size_t>(columns + 1) / 2; }
    static void DecodeRow(const std::uint8_t* src, std::int32_t columns, RowTarget at)
    {
        const std::int32_t pairs = columns / 2;
        for (std::int32_t i = 0; i < pairs; ++i) {
            const PixelPair pair = at.pairs[src[i]];
            at.pixels[2 * i] = pair.left;
            at.pixels[2 * i + 1] = pair.right;
        }
        if (columns % 2 != 0) {
            at.pixels[columns - 1] = at.pairs[src[pairs]].left;
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
            at.pixels[c] = Texel::Pixel(at.texture, src + BytesPerTexel * static_cast<std::size_t>(c));
        }
    }
};

// Pixel rules as lookup tables, built at compile time from the colour
// rules themselves. A 16-bit word's expansion is a copy of single bits, so
// it splits into an OR of a part from its high byte and a part from its low
// byte; in RGB5A3 the low byte's part also depends on bit 15.
template <std::size_t Size, typename Rule>
constexpr std::array<std::uint32_t, Size> MakeTable(Rule rule)
{
    std::array<std::uint32_t, Size> table{};
    for (std::uint32_t i = 0; i < Size; ++i) {
        table[i] = BitCast<std::uint32_t>(rule(i));
    }
    return table;
}

constexpr auto kIntensityAlpha4 =
    MakeTable<256>([](std::uint32_t v) { return Grey(Expand4(v & 0xF), Expand4(v >> 4)); });
constexpr auto kRgb565High = MakeTable<256>([](std::uint32_t v) { return Rgb565(v << 8); });
constexpr auto kRgb565Low = MakeTable<256>([](std::uint32_t v) { return Rgb565(v); });
constexpr auto kRgb5A3High = MakeTable<256>([](std::uint32_t v) { return Rgb5A3(v << 8); });
constexpr auto kRgb5A3Low = MakeTable<512>([](std::uint32_t v) { return Rgb5A3(((v >> 8) << 15) | (v & 0xFF)); });

// The 32-bit image of a pixel, the same value BitCast gives. Stored
// whole, it is one write where four byte stores are not merged.
constexpr std::uint32_t Packed(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t a)
{
    if constexpr (std::endian::native == std::endian::little) {
        return r | g << 8 | b << 16 | a << 24;
    } else {
        return r << 24 | g << 16 | b << 8 | a;
    }
}

// The pixel whose 32-bit image is `packed`.
constexpr RgbaPixel FromPacked(std::uint32_t packed)
{
    return BitCast<RgbaPixel>(packed);
}

// Both pixels of every byte of a 4-bit format, from the pixels of the 16
// nibble values: 2 KiB, made at compile time for I4 and once per texture
// for CI4 from the first 16 palette entries.
constexpr std::array<PixelPair, 256> PairsOf(const RgbaPixel* nibbles)
{
    std::array<PixelPair, 256> table{};
    std::uint32_t byte = 0;
    for (PixelPair& pair : table) {
        pair = PixelPair{nibbles[byte >> 4], nibbles[byte & 0xF]};
        ++byte;
    }
    return table;
}

constexpr auto kIntensityPairs = [] {
    std::array<RgbaPixel, 16> nibbles{};
    std::uint32_t v = 0;
    for (RgbaPixel& pixel : nibbles) {
        pixel = Grey(Expand4(v), Expand4(v));
        ++v;
    }
    return PairsOf(nibbles.data());
}();

struct IntensityByte {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p) { return FromPacked(p[0] * 0x01010101u); }
};

// Intensity in the low nibble, alpha in the high one.
struct IntensityAlphaByte {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p) { return FromPacked(kIntensityAlpha4[p[0]]); }
};

// Alpha first, then intensity.
struct IntensityAlphaPair {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p) { return Grey(p[1], p[0]); }
};

struct PaletteByte {
    static RgbaPixel Pixel(const TextureData* t, const std::uint8_t* p) { return t->palette[p[0]]; }
};

struct Rgb565Word {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p)
    {
        return FromPacked(kRgb565High[p[0]] | kRgb565Low[p[1]]);
    }
};

struct Rgb5A3Word {
    static RgbaPixel Pixel(const TextureData*, const std::uint8_t* p)
    {
        return FromPacked(kRgb5A3High[p[0]] | kRgb5A3Low[((p[0] & 0x80u) << 1) | p[1]]);
    }
};

// RGBA8 stores each 4 x 4 tile twice over its in-image texels: first alpha
// and red pairs, then green and blue pairs. Both passes are fetched as one
// span, so each pixel is assembled and stored whole.
void PutRgba8Tile(const std::uint8_t* ar, std::int32_t rows, std::int32_t columns, RgbaPixel* first,
                  std::size_t stride)
{
    const std::uint8_t* gb = ar + 2 * static_cast<std::size_t>(rows * columns);
    for (std::int32_t r = 0; r < rows; ++r) {
        RgbaPixel* row = first + stride * static_cast<std::size_t>(r);
        for (std::int32_t c = 0; c < columns; ++c, ar += 2, gb += 2) {
            row[c] = FromPacked(Packed(ar[1], gb[0], gb[1], ar[0]));
        }
    }
}

// A whole tile on a little-endian machine, where an alpha-red pair read as
// one 16-bit word is alpha | red << 8 and a green-blue pair green | blue << 8,
// so that a pixel's 32-bit image is two shifts and an OR away. Written over
// arrays of known size, the loop is turned into vector code by the compiler.
void PutWholeRgba8Tile(const std::uint8_t* ar, RgbaPixel* first, std::size_t stride)
{
    std::uint16_t alpha_red[16];
    std::uint16_t green_blue[16];
    std::memcpy(alpha_red, ar, sizeof alpha_red);
    std::memcpy(green_blue, ar + sizeof alpha_red, sizeof green_blue);
    std::uint32_t tile[16];
    for (std::size_t i = 0; i < 16; ++i) {
        tile[i] = alpha_red[i] >> 8 | std::uint32_t{green_blue[i]} << 8 | (alpha_red[i] & 0xFFu) << 24;
    }
    for (std::size_t r = 0; r < 4; ++r) {
        std::memcpy(first + stride * r, tile + 4 * r, 4 * sizeof tile[0]);
    }
}

void DecodeRgba8(InputStream* in, TextureData* texture)
{
    constexpr std::int32_t kTile = 4;
    const std::int32_t tiles_down = (texture->height + kTile - 1) / kTile;
    const std::int32_t tiles_across = (texture->width + kTile - 1) / kTile;
    const std::size_t stride = RowStride(texture);
    for (std::int32_t ty = 0; ty < tiles_down; ++ty) {
        const std::int32_t y0 = ty * kTile;
        const std::int32_t rows = std::min(texture->height - y0, kTile);
        for (std::int32_t tx = 0; tx < tiles_across; ++tx) {
            const std::int32_t x0 = tx * kTile;
            const std::int32_t columns = std::min(texture->width - x0, kTile);
            const std::uint8_t* ar = ReadSpan(in, 4 * static_cast<std::size_t>(rows * columns));
            if (std::endian::native == std::endian::little && rows == kTile && columns == kTile) {
                PutWholeRgba8Tile(ar, PixelAt(texture, x0, y0), stride);
            } else {
                PutRgba8Tile(ar, rows, columns, PixelAt(texture, x0, y0), stride);
            }
        }
    }
}

// CMPR: 8 x 8 tiles, each four 4 x 4 blocks (top-left, top-right,
// bottom-left, bottom-right). A block is two 5:6:5 endpoints and one byte of
// 2-bit indexes per row, column 0 in the top bits. Both endpoints are stored
// for every block, even one wholly outside the image; a row's index byte is
// stored when the row lies inside the image, whatever its columns.

// The four colours as 32-bit pixel images: built in registers and stored
// whole, they are not written byte by byte and then read back as words,
// which would stall every pixel store behind the byte stores.
struct BlockColours {
    std::uint32_t index[4];
};

// channel = a x w + b x (1 - w), truncated. Every weight a block uses (1,
// 0, 1/2 and the single-precision 2/3 and 1/3) is a whole number of units
// of 2^-25, so in those units the products and the sum are exact integers
// and the result is that of the exact real computation. Rounding, a coarser
// weight or integer thirds would change some bytes.
constexpr std::uint64_t kWeightUnits = std::uint64_t{1} << 25;

// Exact for the weights above: scaling by a power of two loses no bit.
constexpr std::uint64_t WeightOf(float w)
{
    return static_cast<std::uint64_t>(w * static_cast<float>(kWeightUnits));
}

constexpr std::uint32_t Blend(std::uint32_t a, std::uint32_t b, std::uint64_t weight)
{
    return static_cast<std::uint32_t>((a * weight + b * (kWeightUnits - weight)) >> 25);
}

// The blends a block's third and fourth colours take, of every pair of
// stored channel fields, expanded as the endpoints are: made at compile
// time, so that a block's colours are looked up rather than multiplied.
// Weight 1 and weight 0 give the endpoints themselves.
enum BlendWeight { kTwoThirds, kHalf, kThird };
constexpr std::uint64_t kBlendWeights[] = {WeightOf(0.6666667f), WeightOf(0.5f), WeightOf(0.33333334f)};

template <int kBits>
struct ChannelBlends {
    std::uint8_t at[3][1 << kBits][1 << kBits];
};

template <int kBits>
constexpr ChannelBlends<kBits> MakeBlends()
{
    ChannelBlends<kBits> blends{};
    for (int w = 0; w < 3; ++w) {
        for (std::uint32_t a = 0; a < (1u << kBits); ++a) {
            for (std::uint32_t b = 0; b < (1u << kBits); ++b) {
                const auto expand = [](std::uint32_t v) -> std::uint32_t { return kBits == 5 ? Expand5(v) : Expand6(v); };
                blends.at[w][a][b] = static_cast<std::uint8_t>(Blend(expand(a), expand(b), kBlendWeights[w]));
            }
        }
    }
    return blends;
}

constexpr auto kBlends5 = MakeBlends<5>(); // red and blue
constexpr auto kBlends6 = MakeBlends<6>(); // green

BlockColours ComputeBlockColours(std::uint32_t c0, std::uint32_t c1)
{
    const std::uint32_t r0 = c0 >> 11, g0 = (c0 >> 5) & 0x3F, b0 = c0 & 0x1F;
    const std::uint32_t r1 = c1 >> 11, g1 = (c1 >> 5) & 0x3F, b1 = c1 & 0x1F;
    const bool four_colours = c1 < c0;
    const auto mix = [&](BlendWeight w, std::uint32_t alpha) {
        return Packed(kBlends5.at[w][r0][r1], kBlends6.at[w][g0][g1], kBlends5.at[w][b0][b1], alpha);
    };
    return BlockColours{{
        Packed(Expand5(r0), Expand6(g0), Expand5(b0), 255),
        Packed(Expand5(r1), Expand6(g1), Expand5(b1), 255),
        mix(four_colours ? kTwoThirds : kHalf, 255),
        // Transparent when the order of the endpoints says so, but the
        // colour is kept.
        mix(kThird, four_colours ? 255 : 0),
    }};
}

std::int32_t Clamp4(std::int32_t n)
{
    return std::clamp(n, 0, 4);
}

// A block that the image's edge may cut: each row's index byte holds four
// 2-bit indexes, column 0 in the top bits.
void DecodeBlock(InputStream* in, TextureData* texture, std::int32_t x0, std::int32_t y0)
{
    const std::int32_t rows = Clamp4(texture->height - y0);
    const std::int32_t columns = Clamp4(texture->width - x0);
    const std::uint8_t* block = ReadSpan(in, 4 + static_cast<std::size_t>(rows));
    const BlockColours colours = ComputeBlockColours(Load16(block), Load16(block + 2));
    for (std::int32_t r = 0; r < rows; ++r) {
        const std::uint32_t indexes = block[4 + r];
        for (std::int32_t k = 0; k < columns; ++k) {
            PutData(texture, x0 + k, y0 + r, FromPacked(colours.index[(indexes >> (6 - 2 * k)) & 3]));
        }
    }
}

void DecodeCmpr(InputStream* in, TextureData* texture)
{
    const auto whole_tile = VectorRowsAvailable() ? ShuffleWholeCmprTile : DecodeWholeCmprTile;
    const std::int32_t tiles_down = (texture->height + 7) / 8;
    const std::int32_t tiles_across = (texture->width + 7) / 8;
    const std::size_t stride = RowStride(texture);
    for (std::int32_t ty = 0; ty < tiles_down; ++ty) {
        for (std::int32_t tx = 0; tx < tiles_across; ++tx) {
            if (std::endian::native == std::endian::little && ty * 8 + 8 <= texture->height &&
                tx * 8 + 8 <= texture->width) {
                whole_tile(ReadSpan(in, 32), PixelAt(texture, tx * 8, ty * 8), stride);
                continue;
            }
            for (std::int32_t sr = 0; sr < 2; ++sr) {
                for (std::int32_t sc = 0; sc < 2; ++sc) {
                    DecodeBlock(in, texture, (tx * 2 + sc) * 4, (ty * 2 + sr) * 4);
                }
            }
        }
    }
}

} // namespace

// A tile wholly inside the image, on a little-endian machine: its four
// blocks are one 32-byte span, and every block row is four pixels, stored
// as two 64-bit words with the left pixel of each pair in the low half.
// Left to itself the compiler would assemble a row in a vector register by
// way of memory, and stall on it.
void DecodeWholeCmprTile(const std::uint8_t* tile, RgbaPixel* first, std::size_t stride)
{
    for (std::size_t b = 0; b < 4; ++b) {
        const std::uint8_t* block = tile + 8 * b;
        const BlockColours colours = ComputeBlockColours(Load16(block), Load16(block + 2));
        RgbaPixel* corner = first + stride * 4 * (b / 2) + 4 * (b % 2);
        for (std::size_t r = 0; r < 4; ++r) {
            const std::uint32_t indexes = block[4 + r];
            const std::uint64_t left = colours.index[indexes >> 6] | std::uint64_t{colours.index[(indexes >> 4) & 3]} << 32;
            const std::uint64_t right = colours.index[(indexes >> 2) & 3] | std::uint64_t{colours.index[indexes & 3]} << 32;
            std::memcpy(corner + stride * r, &left, 8);
            std::memcpy(corner + stride * r + 2, &right, 8);
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
// For each index byte, the byte shuffle that picks its four pixels, four
// bytes each, out of the block's four colours.
static constexpr auto kRowShuffles = [] {
    std::array<std::array<std::uint8_t, 16>, 256> shuffles{};
    for (std::uint32_t v = 0; v < 256; ++v) {
        for (std::uint32_t k = 0; k < 16; ++k) {
            shuffles[v][k] = static_cast<std::uint8_t>(4 * ((v >> (6 - 2 * (k / 4))) & 3) + k % 4);
        }
    }
    return shuffles;
}();

// The same tile where the processor has SSSE3: each block row is one
// shuffle of the four colours and one 16-byte store.
[[gnu::target("ssse3")]] void ShuffleWholeCmprTile(const std::uint8_t* tile, RgbaPixel* first, std::size_t stride)
{
    for (std::size_t b = 0; b < 4; ++b) {
        const std::uint8_t* block = tile + 8 * b;
        const BlockColours colours = ComputeBlockColours(Load16(block), Load16(block + 2));
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(colours.index));
        RgbaPixel* corner = first + stride * 4 * (b / 2) + 4 * (b % 2);
        for (std::size_t r = 0; r < 4; ++r) {
            const __m128i pick = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRowShuffles[block[4 + r]].data()));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(corner + stride * r), _mm_shuffle_epi8(four, pick));
        }
    }
}
#else
void ShuffleWholeCmprTile(const std::uint8_t* tile, RgbaPixel* first, std::size_t stride)
{
    DecodeWholeCmprTile(tile, first, stride);
}
#endif

const char* FormatName(std::uint32_t format)
{
    switch (format) {
    case kI4:
        return "I4";
    case kI8:
        return "I8";
    case kIA4:
        return "IA4";
    case kIA8:
        return "IA8";
    case kRGB565:
        return "RGB565";
    case kRGB5A3:
        return "RGB5A3";
    case kRGBA8:
        return "RGBA8";
    case kCI4:
        return "CI4";
    case kCI8:
        return "CI8";
    case kCMPR:
        return "CMPR";
    default:
        return nullptr;
    }
}

namespace {

// What a walk of tiles reads: of each tile, its rows inside the image, each
// of its columns inside the image.
template <typename Format>
std::uint64_t WalkBytes(std::int32_t width, std::int32_t height)
{
    std::uint64_t across = 0;
    for (std::int32_t x0 = 0; x0 < width; x0 += Format::kTileWidth) {
        across += Format::RowBytes(std::min(width - x0, Format::kTileWidth));
    }
    return across * static_cast<std::uint64_t>(height);
}

// What the CMPR walk reads: a whole tile's 32 bytes, or in a tile the edge
// cuts, each block's colours and its rows inside the image, whatever its
// columns.
std::uint64_t CmprBytes(std::int32_t width, std::int32_t height)
{
    std::uint64_t down = 0;
    for (std::int32_t y0 = 0; y0 < (height + 7) / 8 * 8; y0 += 4) {
        down += 2 * (4 + static_cast<std::uint64_t>(Clamp4(height - y0)));
    }
    return down * static_cast<std::uint64_t>((width + 7) / 8);
}

} // namespace

std::uint64_t TexelBytes(std::uint32_t format, std::int32_t width, std::int32_t height)
{
    switch (format) {
    case kI4:
    case kCI4:
        return WalkBytes<FourBit>(width, height);
    case kI8:
    case kIA4:
    case kCI8:
        return WalkBytes<Bytewise<8, 4, 1, IntensityByte>>(width, height);
    case kIA8:
    case kRGB565:
    case kRGB5A3:
        return WalkBytes<Bytewise<4, 4, 2, Rgb565Word>>(width, height);
    case kRGBA8:
        return 4 * static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    case kCMPR:
        return CmprBytes(width, height);
    default:
        return 0;
    }
}

namespace {

// Encoding: pixels back into texels, in the order the decoder reads them.
// Each texel starts as the template's own bytes and is kept where it
// decodes to the pixel wanted, so that an unedited texel keeps its bytes
// whichever of its encodings it had; any other pixel goes to the nearest
// value the format holds, by squared distance, and counts as inexact where
// even that is not the pixel.

constexpr bool Same(RgbaPixel a, RgbaPixel b)
{
    return BitCast<std::uint32_t>(a) == BitCast<std::uint32_t>(b);
}

constexpr std::uint32_t Square(std::int32_t d)
{
    return static_cast<std::uint32_t>(d * d);
}

constexpr std::uint32_t Distance(RgbaPixel a, RgbaPixel b)
{
    return Square(a.r - b.r) + Square(a.g - b.g) + Square(a.b - b.b) + Square(a.a - b.a);
}

constexpr std::uint8_t ExpandBits(int bits, std::uint32_t v)
{
    return bits == 3 ? Expand3(v) : bits == 4 ? Expand4(v) : bits == 5 ? Expand5(v) : Expand6(v);
}

// The code of `bits` bits whose expansion is nearest each 8-bit value; of
// two as near, the upper, as rounding takes it.
constexpr std::array<std::uint8_t, 256> NearestCodes(int bits)
{
    std::array<std::uint8_t, 256> nearest{};
    for (std::int32_t c = 0; c < 256; ++c) {
        std::uint32_t best = 0;
        for (std::uint32_t k = 1; k < (1u << bits); ++k) {
            if (Square(ExpandBits(bits, k) - c) <= Square(ExpandBits(bits, best) - c)) {
                best = k;
            }
        }
        nearest[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(best);
    }
    return nearest;
}

constexpr auto kNearest3 = NearestCodes(3);
constexpr auto kNearest4 = NearestCodes(4);
constexpr auto kNearest5 = NearestCodes(5);
constexpr auto kNearest6 = NearestCodes(6);

// The grey nearest a pixel's red, green and blue: the one nearest their
// mean, which no grey is ever exactly between.
constexpr std::uint32_t Grey8(RgbaPixel p)
{
    return (std::uint32_t{p.r} + p.g + p.b + 1) / 3;
}

// The nearest multiple of 17 to the mean is 17 x round(sum / 51), and a
// sum is never a whole number and a half of 51s.
constexpr std::uint32_t Grey4(RgbaPixel p)
{
    return (std::uint32_t{p.r} + p.g + p.b + 25) / 51;
}

// The palette entry nearest the pixel among the first `count`, the lowest
// of those as near; an equal entry is the nearest of all.
std::uint32_t NearestEntry(const RgbaPixel* palette, std::uint32_t count, RgbaPixel want)
{
    std::uint32_t best = 0, best_distance = UINT32_MAX;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t distance = Distance(palette[i], want);
        if (distance < best_distance) {
            best = i;
            best_distance = distance;
        }
    }
    return best;
}

// Keeps the texel at `p` where it decodes to `want`, else writes the
// nearest the format holds.
template <typename Texel>
void EncodeTexel(const TextureData* texture, RgbaPixel want, std::uint8_t* p, std::uint64_t* inexact)
{
    if (Same(Texel::Pixel(texture, p), want)) {
        return;
    }
    Texel::Nearest(texture, want, p);
    *inexact += Same(Texel::Pixel(texture, p), want) ? 0 : 1;
}

struct IntensityByteCode : IntensityByte {
    static void Nearest(const TextureData*, RgbaPixel want, std::uint8_t* p) { p[0] = static_cast<std::uint8_t>(Grey8(want)); }
};

struct IntensityAlphaByteCode : IntensityAlphaByte {
    static void Nearest(const TextureData*, RgbaPixel want, std::uint8_t* p)
    {
        p[0] = static_cast<std::uint8_t>(kNearest4[want.a] << 4 | Grey4(want));
    }
};

struct IntensityAlphaPairCode : IntensityAlphaPair {
    static void Nearest(const TextureData*, RgbaPixel want, std::uint8_t* p)
    {
        p[0] = want.a;
        p[1] = static_cast<std::uint8_t>(Grey8(want));
    }
};

struct PaletteByteCode : PaletteByte {
    static void Nearest(const TextureData* t, RgbaPixel want, std::uint8_t* p)
    {
        p[0] = static_cast<std::uint8_t>(NearestEntry(t->palette, t->palette_count, want));
    }
};

void PutWord(std::uint32_t word, std::uint8_t* p)
{
    p[0] = static_cast<std::uint8_t>(word >> 8);
    p[1] = static_cast<std::uint8_t>(word);
}

struct Rgb565WordCode : Rgb565Word {
    static void Nearest(const TextureData*, RgbaPixel want, std::uint8_t* p)
    {
        PutWord(std::uint32_t{kNearest5[want.r]} << 11 | std::uint32_t{kNearest6[want.g]} << 5 | kNearest5[want.b], p);
    }
};

// Whichever of the two modes comes nearer, the opaque one where both are
// as near.
struct Rgb5A3WordCode : Rgb5A3Word {
    static void Nearest(const TextureData*, RgbaPixel want, std::uint8_t* p)
    {
        const std::uint32_t opaque = 0x8000u | std::uint32_t{kNearest5[want.r]} << 10 |
                                     std::uint32_t{kNearest5[want.g]} << 5 | kNearest5[want.b];
        const std::uint32_t clear = std::uint32_t{kNearest3[want.a]} << 12 | std::uint32_t{kNearest4[want.r]} << 8 |
                                    std::uint32_t{kNearest4[want.g]} << 4 | kNearest4[want.b];
        PutWord(Distance(Rgb5A3(clear), want) < Distance(Rgb5A3(opaque), want) ? clear : opaque, p);
    }
};

// A 4-bit format's 16 pixels and, for an edited texel, its nearest nibble.
struct NibbleCode {
    RgbaPixel pixels[16];
    std::uint32_t count; // the palette's entries a nibble reaches; 0 for intensity
    std::uint32_t Nearest(RgbaPixel want) const
    {
        return count == 0 ? Grey4(want) : NearestEntry(pixels, count, want);
    }
};

// Where the row's bytes are: the template's, texel by texel replaced. A
// row of odd length keeps the low nibble of its last byte, which no texel
// reads.
void EncodeNibbleRow(const RgbaPixel* row, std::int32_t columns, const NibbleCode& code, std::uint8_t* dst,
                     std::uint64_t* inexact)
{
    for (std::int32_t c = 0; c < columns; ++c) {
        std::uint8_t& byte = dst[c / 2];
        const int shift = c % 2 == 0 ? 4 : 0;
        if (Same(code.pixels[(byte >> shift) & 0xF], row[c])) {
            continue;
        }
        const std::uint32_t nibble = code.Nearest(row[c]);
        byte = static_cast<std::uint8_t>((byte & ~(0xF << shift)) | nibble << shift);
        *inexact += Same(code.pixels[nibble], row[c]) ? 0 : 1;
    }
}

// The walk of WalkTiles, each tile's bytes first the template's and then
// each row encoded over them.
template <typename Format, typename EncodeRow>
void EncodeTiles(InputStream* original, const TextureData* texture, const RgbaPixel* pixels, std::size_t stride,
                 std::uint8_t* out, EncodeRow encode_row)
{
    constexpr std::int32_t tw = Format::kTileWidth;
    constexpr std::int32_t th = Format::kTileHeight;
    for (std::int32_t y0 = 0; y0 < texture->height; y0 += th) {
        const std::int32_t rows = std::min(texture->height - y0, th);
        for (std::int32_t x0 = 0; x0 < texture->width; x0 += tw) {
            const std::int32_t columns = std::min(texture->width - x0, tw);
            const std::size_t row_bytes = Format::RowBytes(columns);
            const std::size_t tile_bytes = row_bytes * static_cast<std::size_t>(rows);
            std::memcpy(out, ReadSpan(original, tile_bytes), tile_bytes);
            for (std::int32_t r = 0; r < rows; ++r) {
                encode_row(pixels + static_cast<std::size_t>(y0 + r) * stride + static_cast<std::size_t>(x0), columns,
                           out + row_bytes * static_cast<std::size_t>(r));
            }
            out += tile_bytes;
        }
    }
}

template <std::int32_t TileWidth, std::int32_t TileHeight, std::size_t BytesPerTexel, typename Code>
void EncodeBytewise(InputStream* original, const TextureData* texture, const RgbaPixel* pixels, std::size_t stride,
                    std::uint8_t* out, std::uint64_t* inexact)
{
    EncodeTiles<Bytewise<TileWidth, TileHeight, BytesPerTexel, Code>>(
        original, texture, pixels, stride, out, [&](const RgbaPixel* row, std::int32_t columns, std::uint8_t* dst) {
            for (std::int32_t c = 0; c < columns; ++c) {
                EncodeTexel<Code>(texture, row[c], dst + BytesPerTexel * static_cast<std::size_t>(c), inexact);
            }
        });
}

void EncodeFourBit(InputStream* original, const TextureData* texture, const RgbaPixel* pixels, std::size_t stride,
                   std::uint8_t* out, std::uint64_t* inexact)
{
    NibbleCode code{};
    std::uint32_t n = 0;
    for (RgbaPixel& pixel : code.pixels) {
        pixel = texture->format == kCI4 ? texture->palette[n] : Grey(Expand4(n), Expand4(n));
        ++n;
    }
    code.count = texture->format == kCI4 ? std::min<std::uint32_t>(texture->palette_count, 16) : 0;
    EncodeTiles<FourBit>(original, texture, pixels, stride, out,
                         [&](const RgbaPixel* row, std::int32_t columns, std::uint8_t* dst) {
                             EncodeNibbleRow(row, columns, code, dst, inexact);
                         });
}

// RGBA8 holds every pixel as it is, in two passes over each tile: alpha and
// red pairs, then green and blue pairs.
void EncodeRgba8(const TextureData* texture, const RgbaPixel* pixels, std::size_t stride, std::uint8_t* out)
{
    for (std::int32_t y0 = 0; y0 < texture->height; y0 += 4) {
        const std::int32_t rows = std::min(texture->height - y0, 4);
        for (std::int32_t x0 = 0; x0 < texture->width; x0 += 4) {
            const std::int32_t columns = std::min(texture->width - x0, 4);
            std::uint8_t* gb = out + 2 * static_cast<std::size_t>(rows * columns);
            for (std::int32_t r = 0; r < rows; ++r) {
                const RgbaPixel* row = pixels + static_cast<std::size_t>(y0 + r) * stride + static_cast<std::size_t>(x0);
                for (std::int32_t c = 0; c < columns; ++c, out += 2, gb += 2) {
                    out[0] = row[c].a;
                    out[1] = row[c].r;
                    gb[0] = row[c].g;
                    gb[1] = row[c].b;
                }
            }
            out = gb;
        }
    }
}

// CMPR: each 4 x 4 block's endpoints and indexes chosen for the least
// squared error of its opaque texels' colour under this decoder's own
// blends, which are not the textbook thirds. A texel whose alpha is below
// 128 takes the transparent index of a three-colour block; no other texel
// may. The endpoints are searched from the principal axis of the block's
// colours: the blends nearest its mean, its extremes, and the least-squares
// endpoints of every split of the texels, taken in order along it, into
// the groups of each index (for two colours, which many splits fit alike,
// the endpoints of each pair of weights instead); each tried in both modes
// under the exact decoding, the best then moved a step at a time while its
// error falls.

struct BlockWant {
    RgbaPixel pixel[16];   // row by row
    std::uint32_t inside;  // bit t: texel t lies inside the image
    std::uint32_t clear;   // bit t: its alpha is below 128
};

constexpr std::uint32_t RgbDistance(RgbaPixel a, RgbaPixel b)
{
    return Square(a.r - b.r) + Square(a.g - b.g) + Square(a.b - b.b);
}

// The error of a block with these endpoints, each texel at its best index,
// which go to `rows`; UINT32_MAX where the block cannot hold the texels (a
// four-colour block has no transparent index).
std::uint32_t BlockError(const BlockWant& want, std::uint32_t c0, std::uint32_t c1, std::uint8_t rows[4],
                         std::uint32_t bound = UINT32_MAX)
{
    const bool four = c0 > c1;
    if (four && want.clear != 0) {
        return UINT32_MAX;
    }
    const BlockColours packed = ComputeBlockColours(c0, c1);
    RgbaPixel colours[4];
    for (int i = 0; i < 4; ++i) {
        colours[i] = FromPacked(packed.index[i]);
    }
    std::uint32_t total = 0;
    for (int t = 0; t < 16; ++t) {
        std::uint32_t index = 0;
        if ((want.clear >> t & 1) != 0) {
            index = 3;
        } else if ((want.inside >> t & 1) != 0) {
            std::uint32_t best = UINT32_MAX;
            for (std::uint32_t i = 0; i < (four ? 4u : 3u); ++i) {
                const std::uint32_t error = RgbDistance(colours[i], want.pixel[t]);
                if (error < best) {
                    best = error;
                    index = i;
                }
            }
            total += best;
            if (total >= bound) {
                return UINT32_MAX; // no better than what is had
            }
        }
        rows[t / 4] = static_cast<std::uint8_t>((t % 4 == 0 ? 0 : rows[t / 4]) | index << (6 - 2 * (t % 4)));
    }
    return total;
}

struct Endpoints {
    std::int32_t code[2][3]; // red, green, blue fields of each endpoint
};

std::uint32_t WordOf(const std::int32_t code[3])
{
    return static_cast<std::uint32_t>(code[0] << 11 | code[1] << 5 | code[2]);
}

// The nearest endpoint to a colour, channel by channel.
void NearestEndpoint(const float colour[3], std::int32_t code[3])
{
    const auto byte = [](float v) { return static_cast<std::size_t>(std::clamp(v + 0.5f, 0.0f, 255.0f)); };
    code[0] = kNearest5[byte(colour[0])];
    code[1] = kNearest6[byte(colour[1])];
    code[2] = kNearest5[byte(colour[2])];
}

// For each 8-bit value, the pair of endpoint fields whose blend, at a
// weight of 2/3 (a four-colour block's third colour) or 1/2 (a
// three-colour block's), comes nearest it under this decoder's blends: a
// block of one colour is held best by a blend more often than by an
// endpoint.
struct FieldPair {
    std::uint8_t a, b;
};

template <int kBits>
constexpr std::array<FieldPair, 256> NearestBlends(const ChannelBlends<kBits>& blends, BlendWeight weight)
{
    // The first pair that gives each value, then for every value the pair
    // of the nearest value given, the lower of two as near. A pair is in
    // the order its block's mode needs, field by field: the first endpoint
    // above the second in a four-colour block, not above in a three-colour
    // one, so that the endpoints' words are in that order too.
    std::array<FieldPair, 256> given{};
    std::array<bool, 256> held{};
    for (std::uint32_t a = 0; a < (1u << kBits); ++a) {
        for (std::uint32_t b = 0; b < (1u << kBits); ++b) {
            const std::uint8_t v = blends.at[weight][a][b];
            if (!held[v] && (weight == kHalf ? a <= b : a >= b)) {
                held[v] = true;
                given[v] = FieldPair{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
            }
        }
    }
    std::array<FieldPair, 256> pairs{};
    for (std::int32_t v = 0; v < 256; ++v) {
        for (std::int32_t d = 0; d < 256; ++d) {
            if (v - d >= 0 && held[static_cast<std::size_t>(v - d)]) {
                pairs[static_cast<std::size_t>(v)] = given[static_cast<std::size_t>(v - d)];
                break;
            }
            if (v + d < 256 && held[static_cast<std::size_t>(v + d)]) {
                pairs[static_cast<std::size_t>(v)] = given[static_cast<std::size_t>(v + d)];
                break;
            }
        }
    }
    return pairs;
}

constexpr auto kTwoThirds5 = NearestBlends(kBlends5, kTwoThirds);
constexpr auto kTwoThirds6 = NearestBlends(kBlends6, kTwoThirds);
constexpr auto kHalf5 = NearestBlends(kBlends5, kHalf);
constexpr auto kHalf6 = NearestBlends(kBlends6, kHalf);

// The endpoints whose blend at one weight is nearest a colour.
Endpoints BlendOf(const float colour[3], const std::array<FieldPair, 256>& five, const std::array<FieldPair, 256>& six)
{
    const auto byte = [](float v) { return static_cast<std::size_t>(std::clamp(v + 0.5f, 0.0f, 255.0f)); };
    const FieldPair r = five[byte(colour[0])], g = six[byte(colour[1])], b = five[byte(colour[2])];
    return Endpoints{{{r.a, g.a, b.a}, {r.b, g.b, b.b}}};
}

// The best block found so far: its error and its bytes.
struct BestBlock {
    std::uint32_t error = UINT32_MAX;
    std::uint32_t c0 = 0, c1 = 0;
    std::uint8_t rows[4] = {};
};

// Tries the endpoints in both orders, which are the two modes.
std::uint32_t TryEndpoints(const BlockWant& want, const Endpoints& e, BestBlock* best)
{
    const std::uint32_t a = WordOf(e.code[0]), b = WordOf(e.code[1]);
    std::uint32_t least = UINT32_MAX;
    for (const auto& [c0, c1] : {std::pair{a, b}, std::pair{b, a}}) {
        std::uint8_t rows[4];
        const std::uint32_t error = BlockError(want, c0, c1, rows, best->error);
        least = std::min(least, error);
        if (error < best->error) {
            *best = BestBlock{error, c0, c1, {rows[0], rows[1], rows[2], rows[3]}};
        }
    }
    return least;
}

// Moves each field of the best block's endpoints a step either way, of
// one endpoint or of both at once (a blend off by a step may need both to
// move), while that lowers the error. Steps keep the words in their order
// only where the fields allow: a step may change the mode.
void Refine(const BlockWant& want, BestBlock* best)
{
    static constexpr std::uint32_t kShift[3] = {11, 5, 0}, kTop[3] = {31, 63, 31};
    static constexpr std::int32_t kSteps[8][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {1, 1}, {-1, 1}, {1, -1}};
    for (bool moved = best->error > 0; moved && best->error > 0;) {
        moved = false;
        for (int field = 0; field < 3; ++field) {
            const std::uint32_t mask = kTop[field] << kShift[field];
            const std::uint32_t v0 = (best->c0 & mask) >> kShift[field], v1 = (best->c1 & mask) >> kShift[field];
            for (const auto& step : kSteps) {
                const std::uint32_t n0 = v0 + static_cast<std::uint32_t>(step[0]), n1 = v1 + static_cast<std::uint32_t>(step[1]);
                if (n0 > kTop[field] || n1 > kTop[field]) {
                    continue; // below 0 wraps past the top
                }
                const std::uint32_t c0 = (best->c0 & ~mask) | n0 << kShift[field], c1 = (best->c1 & ~mask) | n1 << kShift[field];
                std::uint8_t rows[4];
                const std::uint32_t error = BlockError(want, c0, c1, rows, best->error);
                if (error < best->error) {
                    *best = BestBlock{error, c0, c1, {rows[0], rows[1], rows[2], rows[3]}};
                    moved = true;
                    break;
                }
            }
        }
    }
}

// The least-squares endpoints of the opaque texels, taken in order along
// the axis, for the best split of them into consecutive groups, one for
// each colour a block's index gives: weights 1, 2/3, 1/3 and 0 of the first
// endpoint in a four-colour block, 1, 1/2 and 0 in a three-colour one.
// The best split is the one whose fitted endpoints leave the least
// residual, xx - (a.ax + b.bx), so the one with the largest a.ax + b.bx;
// the sums of each group are differences of running sums. False where
// every split leaves the endpoints undetermined (all the texels one colour).
// Four floats at once, the fourth channel 0: one vector register where
// the processor has them.
typedef float Float4 __attribute__((vector_size(16)));

// Texels are summed less their mean: the same fits, in smaller numbers,
// so that splits that fit equally well score equally to a float's
// precision.
struct SplitSums {
    Float4 prefix[17]; // the sums of the first k texels, less the mean
    int n;
    float mean[3];
};

// The endpoints nearest `a` and `b`, where both lie within the colours a
// channel can hold, or a little outside, as truncated blends of endpoints
// at 0 or 255 may put them: endpoints found far outside would be clamped
// far from them.
bool Nearby(const float a[3], const float b[3], Endpoints* chosen)
{
    for (int c = 0; c < 3; ++c) {
        if (std::fmin(a[c], b[c]) < -8.0f || std::fmax(a[c], b[c]) > 263.0f) {
            return false;
        }
    }
    NearestEndpoint(a, chosen->code[0]);
    NearestEndpoint(b, chosen->code[1]);
    return true;
}

// The fitted endpoints, where Nearby finds them.
bool EndpointsOf(const SplitSums& s, float aa, float ab, float bb, float det, Float4 ax, Float4 bx, Endpoints* chosen)
{
    float a[3], b[3];
    for (int c = 0; c < 3; ++c) {
        a[c] = (ax[c] * bb - bx[c] * ab) / det + s.mean[c];
        b[c] = (bx[c] * aa - ax[c] * ab) / det + s.mean[c];
    }
    return Nearby(a, b, chosen);
}

// The few best fits, by score: splits that fit about as well in real
// numbers may round to endpoints far apart in error, which only the exact
// decoding tells apart.
struct Fits {
    static constexpr int kKept = kCmprFits;
    Endpoints endpoints[kKept];
    float score[kKept];
    float det[kKept];
    int count = 0;
    int worst = 0; // once all are taken, the one a better split replaces
    // Where a split of this score would be kept, or -1.
    int Slot(float new_score, float new_det) const
    {
        if (count < kKept) {
            return count;
        }
        return new_score * det[worst] > score[worst] * new_det ? worst : -1;
    }
    void Keep(int slot, float new_score, float new_det, const Endpoints& e)
    {
        endpoints[slot] = e, score[slot] = new_score, det[slot] = new_det;
        count = std::max(count, slot + 1);
        for (int i = 0; i < count; ++i) {
            if (score[i] * det[worst] < score[worst] * det[i]) {
                worst = i;
            }
        }
    }
};

// One split's fit, from its weights' sums (aa, ab, bb, and their
// determinant) and its texels' weighted sums (ax, bx): scored, and kept
// where it is among the best and its endpoints are near the range.
void Consider(const SplitSums& s, float aa, float ab, float bb, float det, Float4 ax, Float4 bx, Fits* fits)
{
    const Float4 terms = ax * ax * bb - 2 * ax * bx * ab + bx * bx * aa;
    const float score = terms[0] + terms[1] + terms[2];
    Endpoints e;
    const int slot = fits->Slot(score, det);
    if (slot >= 0 && EndpointsOf(s, aa, ab, bb, det, ax, bx, &e)) {
        fits->Keep(slot, score, det, e);
    }
}

void ClusterFit4(const SplitSums& s, Fits* fits)
{
    const int n = s.n;
    const Float4 total = s.prefix[n];
    for (int i = 0; i <= n; ++i) {
        for (int j = i; j <= n; ++j) {
            const Float4 s1 = s.prefix[j] - s.prefix[i];
            for (int k = j; k <= n; ++k) {
                const auto c0 = static_cast<float>(i), c1 = static_cast<float>(j - i), c2 = static_cast<float>(k - j),
                           c3 = static_cast<float>(n - k);
                const float aa = c0 + (4 * c1 + c2) / 9, bb = c3 + (4 * c2 + c1) / 9, ab = 2 * (c1 + c2) / 9;
                const float det = aa * bb - ab * ab;
                if (det < 1e-3f) {
                    continue;
                }
                const Float4 s2 = s.prefix[k] - s.prefix[j];
                Consider(s, aa, ab, bb, det, s.prefix[i] + (2 * s1 + s2) * (1.0f / 3),
                         total - s.prefix[k] + (2 * s2 + s1) * (1.0f / 3), fits);
            }
        }
    }
}

void ClusterFit3(const SplitSums& s, Fits* fits)
{
    const int n = s.n;
    const Float4 total = s.prefix[n];
    for (int i = 0; i <= n; ++i) {
        for (int j = i; j <= n; ++j) {
            const auto c0 = static_cast<float>(i), c1 = static_cast<float>(j - i), c2 = static_cast<float>(n - j);
            const float aa = c0 + c1 / 4, bb = c2 + c1 / 4, ab = c1 / 4;
            const float det = aa * bb - ab * ab;
            if (det < 1e-3f) {
                continue;
            }
            const Float4 s1 = s.prefix[j] - s.prefix[i];
            Consider(s, aa, ab, bb, det, s.prefix[i] + s1 / 2, total - s.prefix[j] + s1 / 2, fits);
        }
    }
}

// Two colours alone lie exactly on the line of any two of a mode's weights,
// so that several splits fit them without residue and the fits cannot
// rank them: each pair of weights is tried instead, its endpoints solved
// from the two colours (first `p`, at the higher weight). Four-colour
// weights where `four`; three-colour ones always. Returns how many.
int TwoColourEndpoints(const float p[3], const float q[3], bool four, Endpoints out[9])
{
    static constexpr float kFour[4] = {1, 2 / 3.0f, 1 / 3.0f, 0}, kThree[3] = {1, 0.5f, 0};
    int count = 0;
    for (const auto& [weights, n] : {std::pair{kFour, four ? 4 : 0}, std::pair{kThree, 3}}) {
        for (int i = 0; i < n; ++i) {
            for (int j = i + 1; j < n; ++j) {
                float a[3], b[3];
                for (int c = 0; c < 3; ++c) { // p = wi a + (1 - wi) b, q = wj a + (1 - wj) b
                    const float d = (p[c] - q[c]) / (weights[i] - weights[j]);
                    b[c] = p[c] - weights[i] * d;
                    a[c] = b[c] + d;
                }
                count += Nearby(a, b, &out[count]) ? 1 : 0;
            }
        }
    }
    return count;
}

} // namespace

int FitCmprEndpoints(const float colours[][3], int n, bool four, std::int32_t fits[kCmprFits][2][3])
{
    SplitSums sums{};
    sums.n = n;
    for (int t = 0; t < n; ++t) {
        for (int c = 0; c < 3; ++c) {
            sums.mean[c] += colours[t][c];
        }
    }
    for (float& m : sums.mean) {
        m /= static_cast<float>(std::max(n, 1));
    }
    for (int t = 0; t < n; ++t) {
        sums.prefix[t + 1] =
            sums.prefix[t] + Float4{colours[t][0] - sums.mean[0], colours[t][1] - sums.mean[1], colours[t][2] - sums.mean[2], 0};
    }
    Fits kept;
    if (four) {
        ClusterFit4(sums, &kept);
    } else {
        ClusterFit3(sums, &kept);
    }
    for (int i = 0; i < kept.count; ++i) {
        std::memcpy(fits[i], kept.endpoints[i].code, sizeof fits[i]);
    }
    return kept.count;
}

namespace {

void EncodeCmprBlock(const BlockWant& want, std::uint8_t* block)
{
    float points[16][3];
    float mean[3] = {};
    int n = 0;
    for (int t = 0; t < 16; ++t) {
        if ((want.inside >> t & 1) != 0 && (want.clear >> t & 1) == 0) {
            const RgbaPixel p = want.pixel[t];
            points[n][0] = p.r, points[n][1] = p.g, points[n][2] = p.b;
            for (int c = 0; c < 3; ++c) {
                mean[c] += points[n][c];
            }
            ++n;
        }
    }
    BestBlock best;
    if (n == 0) {
        // Only clear texels, or none inside: both endpoints at their mean
        // colour, which the transparent index then keeps under them.
        int clear = 0;
        for (int t = 0; t < 16; ++t) {
            if ((want.clear >> t & 1) != 0) {
                const RgbaPixel p = want.pixel[t];
                mean[0] += p.r, mean[1] += p.g, mean[2] += p.b, ++clear;
            }
        }
        for (float& m : mean) {
            m /= static_cast<float>(std::max(clear, 1));
        }
        Endpoints e{};
        NearestEndpoint(mean, e.code[0]);
        NearestEndpoint(mean, e.code[1]);
        TryEndpoints(want, e, &best);
    } else {
        for (float& m : mean) {
            m /= static_cast<float>(n);
        }
        // The principal axis, by a few rounds of power iteration on the
        // covariance.
        float cov[3][3] = {};
        for (int t = 0; t < n; ++t) {
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    cov[i][j] += (points[t][i] - mean[i]) * (points[t][j] - mean[j]);
                }
            }
        }
        // Started from the covariance's column of the widest channel, which
        // is never at right angles to the axis (a fixed start can be: two
        // colours whose difference sums to 0 against (1, 1, 1)).
        const int widest = cov[0][0] >= cov[1][1] && cov[0][0] >= cov[2][2] ? 0 : cov[1][1] >= cov[2][2] ? 1 : 2;
        float axis[3] = {cov[0][widest], cov[1][widest], cov[2][widest]};
        for (int round = 0; round < 8; ++round) {
            float next[3] = {};
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    next[i] += cov[i][j] * axis[j];
                }
            }
            const float length = std::sqrt(next[0] * next[0] + next[1] * next[1] + next[2] * next[2]);
            if (length < 1e-6f) {
                break;
            }
            for (int i = 0; i < 3; ++i) {
                axis[i] = next[i] / length;
            }
        }
        // The texels in order along the axis.
        float along[16];
        int order[16];
        for (int t = 0; t < n; ++t) {
            along[t] = (points[t][0] - mean[0]) * axis[0] + (points[t][1] - mean[1]) * axis[1] + (points[t][2] - mean[2]) * axis[2];
            order[t] = t;
        }
        std::sort(order, order + n, [&](int x, int y) { return along[x] > along[y]; });
        float sorted[16][3];
        for (int t = 0; t < n; ++t) {
            std::memcpy(sorted[t], points[order[t]], sizeof sorted[t]);
        }
        // The candidates, each tried as it is; the best of them refined.
        Endpoints candidates[4 + 9 + 2 * kCmprFits];
        int count = 0;
        candidates[count++] = BlendOf(mean, kTwoThirds5, kTwoThirds6);
        candidates[count++] = BlendOf(mean, kHalf5, kHalf6);
        NearestEndpoint(sorted[0], candidates[count].code[0]);
        NearestEndpoint(sorted[n - 1], candidates[count++].code[1]);
        NearestEndpoint(mean, candidates[count].code[0]);
        NearestEndpoint(mean, candidates[count++].code[1]);
        bool two = std::memcmp(sorted[0], sorted[n - 1], sizeof sorted[0]) != 0;
        for (int t = 0; t < n; ++t) {
            two = two && (std::memcmp(sorted[t], sorted[0], sizeof sorted[t]) == 0 ||
                          std::memcmp(sorted[t], sorted[n - 1], sizeof sorted[t]) == 0);
        }
        if (two) {
            count += TwoColourEndpoints(sorted[0], sorted[n - 1], want.clear == 0, candidates + count);
        }
        for (const bool four : {true, false}) { // for two colours, the fits are among those already tried
            std::int32_t fits[kCmprFits][2][3];
            const int fitted = two || (four && want.clear != 0) ? 0 : FitCmprEndpoints(sorted, n, four, fits);
            for (int i = 0; i < fitted; ++i) {
                std::memcpy(candidates[count++].code, fits[i], sizeof fits[i]);
            }
        }
        for (int i = 0; i < count; ++i) {
            TryEndpoints(want, candidates[i], &best);
        }
        Refine(want, &best);
    }
    block[0] = static_cast<std::uint8_t>(best.c0 >> 8), block[1] = static_cast<std::uint8_t>(best.c0);
    block[2] = static_cast<std::uint8_t>(best.c1 >> 8), block[3] = static_cast<std::uint8_t>(best.c1);
    std::memcpy(block + 4, best.rows, 4);
}

// How many texels inside the block decode from its bytes to other than
// the pixels wanted.
std::uint32_t Differing(const BlockWant& want, const std::uint8_t* block)
{
    const BlockColours colours = ComputeBlockColours(Load16(block), Load16(block + 2));
    std::uint32_t count = 0;
    for (int t = 0; t < 16; ++t) {
        const RgbaPixel held = FromPacked(colours.index[(block[4 + t / 4] >> (6 - 2 * (t % 4))) & 3]);
        count += (want.inside >> t & 1) != 0 && !Same(held, want.pixel[t]) ? 1 : 0;
    }
    return count;
}

// The tiles in the decoder's order; a block's bytes are the template's
// where they decode to the pixels wanted, else a new block's; the index
// bytes of rows outside the image are not stored.
void EncodeCmpr(InputStream* original, const TextureData* texture, const RgbaPixel* pixels, std::size_t stride,
                std::uint8_t* out, std::uint64_t* inexact)
{
    for (std::int32_t y0 = 0; y0 < texture->height; y0 += 8) {
        for (std::int32_t x0 = 0; x0 < texture->width; x0 += 8) {
            for (int b = 0; b < 4; ++b) {
                const std::int32_t bx = x0 + 4 * (b % 2), by = y0 + 4 * (b / 2);
                const std::int32_t rows = Clamp4(texture->height - by), columns = Clamp4(texture->width - bx);
                const std::size_t size = 4 + static_cast<std::size_t>(rows);
                std::uint8_t bytes[8] = {};
                std::memcpy(bytes, ReadSpan(original, size), size);
                BlockWant want{};
                for (std::int32_t r = 0; r < rows; ++r) {
                    for (std::int32_t c = 0; c < columns; ++c) {
                        const int t = 4 * r + c;
                        want.pixel[t] = pixels[static_cast<std::size_t>(by + r) * stride + static_cast<std::size_t>(bx + c)];
                        want.inside |= 1u << t;
                        want.clear |= (want.pixel[t].a < 128 ? 1u : 0u) << t;
                    }
                }
                if (Differing(want, bytes) > 0) {
                    std::uint8_t made[8];
                    EncodeCmprBlock(want, made);
                    std::memcpy(bytes, made, size);
                    *inexact += Differing(want, made);
                }
                std::memcpy(out, bytes, size);
                out += size;
            }
        }
    }
}

} // namespace

void WriteTexture(InputStream* original, const TextureData* texture, const RgbaPixel* pixels, std::size_t stride,
                  std::uint8_t* out, std::uint64_t* inexact)
{
    switch (texture->format) {
    case kI4:
    case kCI4:
        EncodeFourBit(original, texture, pixels, stride, out, inexact);
        break;
    case kI8:
        EncodeBytewise<8, 4, 1, IntensityByteCode>(original, texture, pixels, stride, out, inexact);
        break;
    case kIA4:
        EncodeBytewise<8, 4, 1, IntensityAlphaByteCode>(original, texture, pixels, stride, out, inexact);
        break;
    case kIA8:
        EncodeBytewise<4, 4, 2, IntensityAlphaPairCode>(original, texture, pixels, stride, out, inexact);
        break;
    case kCI8:
        EncodeBytewise<8, 4, 1, PaletteByteCode>(original, texture, pixels, stride, out, inexact);
        break;
    case kRGB565:
        EncodeBytewise<4, 4, 2, Rgb565WordCode>(original, texture, pixels, stride, out, inexact);
        break;
    case kRGB5A3:
        EncodeBytewise<4, 4, 2, Rgb5A3WordCode>(original, texture, pixels, stride, out, inexact);
        break;
    case kRGBA8:
        EncodeRgba8(texture, pixels, stride, out);
        break;
    case kCMPR:
        EncodeCmpr(original, texture, pixels, stride, out, inexact);
        break;
    default:
        break; // no texel format: nothing to encode
    }
}

void ReadTexture(InputStream* in, TextureData* texture)
{
    switch (texture->format) {
    case kI4:
        WalkTiles<FourBit>(in, texture, kIntensityPairs.data());
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
    case kCI4: {
        const std::array<PixelPair, 256> pairs = PairsOf(texture->palette);
        WalkTiles<FourBit>(in, texture, pairs.data());
        break;
    }
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
    case kCMPR:
        DecodeCmpr(in, texture);
        break;
    default:
        // Not a texel format: the buffer keeps its initial content.
        break;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// Asks the processor itself, leaf 1, ECX bit 9. One instruction, where the
// compiler's feature table would probe a dozen leaves at every start-up; on a
// virtual machine each probe traps to the host.
bool VectorRowsAvailable()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSSE3) != 0;
}
#else
bool VectorRowsAvailable()
{
    return false;
}
#endif
