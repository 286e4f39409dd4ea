#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "fixtures.h"
#include "texels.h"

namespace {

constexpr RgbaPixel kUnwritten{1, 2, 3, 4};

struct Decoded {
    std::vector<RgbaPixel> pixels;
    std::uint64_t consumed;
    RgbaPixel At(int x, int y, int width) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

Decoded Decode(std::uint32_t format, int width, int height, const Bytes& texels,
               const std::function<void(TextureData*)>& set_palette = nullptr)
{
    Decoded out;
    out.pixels.assign(static_cast<std::size_t>(width) * height, kUnwritten);
    TextureData texture{};
    texture.width = width;
    texture.height = height;
    texture.format = format;
    texture.pixels = out.pixels.data();
    if (set_palette) {
        set_palette(&texture);
    }
    std::FILE* file = OpenBytes(texels);
    EXPECT_NE(file, nullptr);
    InputStream in;
    BeginInput(&in, file);
    ReadTexture(&in, &texture);
    out.consumed = InputPosition(&in);
    std::fclose(file);
    return out;
}

struct Probe {
    int x, y;
    RgbaPixel expected;
};

struct Case {
    const char* what;
    std::uint32_t format;
    int width, height;
    Bytes texels;
    std::uint64_t consumed;
    std::vector<Probe> probes;
    std::function<void(TextureData*)> set_palette = nullptr;
};

void RunCases(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded got = Decode(c.format, c.width, c.height, c.texels, c.set_palette);
        EXPECT_EQ(got.consumed, c.consumed);
        for (const Probe& p : c.probes) {
            const RgbaPixel px = got.At(p.x, p.y, c.width);
            EXPECT_EQ((std::vector<int>{px.r, px.g, px.b, px.a}),
                      (std::vector<int>{p.expected.r, p.expected.g, p.expected.b, p.expected.a}))
                << "pixel " << p.x << "," << p.y;
        }
    }
}

// Words 0, 1, 2, ... as texel data; with 5:6:5 each word is a distinct colour.
Bytes Counting(std::size_t words)
{
    std::vector<std::uint16_t> w(words);
    for (std::size_t i = 0; i < words; ++i) {
        w[i] = static_cast<std::uint16_t>(i);
    }
    return Words(w);
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// RGBA8 tile data: a first pass of (A, R) pairs and a second of (G, B) pairs.
Bytes Rgba8Passes(std::size_t texels)
{
    Bytes b;
    for (std::size_t i = 0; i < texels; ++i) {
        b.push_back(static_cast<std::uint8_t>(i));
        b.push_back(static_cast<std::uint8_t>(100 + i));
    }
    for (std::size_t i = 0; i < texels; ++i) {
        b.push_back(static_cast<std::uint8_t>(50 + i));
        b.push_back(static_cast<std::uint8_t>(200 + i));
    }
    return b;
}

RgbaPixel Rgba8Texel(int i)
{
    return RgbaPixel{static_cast<std::uint8_t>(100 + i), static_cast<std::uint8_t>(50 + i),
                     static_cast<std::uint8_t>(200 + i), static_cast<std::uint8_t>(i)};
}

} // namespace

TEST(DirectColour, TileWalkAndPixelRules)
{
    RunCases({
        {"565 two tiles side by side", kRGB565, 8, 4, Counting(32), 64,
         {{3, 0, Rgb565(3)}, {4, 0, Rgb565(16)}, {0, 1, Rgb565(4)}, {7, 3, Rgb565(31)}}},
        // 4 x 4 tiles over 6 x 6: 16 + 8 + 8 + 4 words, only in-image texels.
        {"565 partial tiles", kRGB565, 6, 6, Counting(64), 72,
         {{3, 3, Rgb565(15)}, {4, 0, Rgb565(16)}, {5, 3, Rgb565(23)}, {0, 4, Rgb565(24)}, {3, 5, Rgb565(31)},
          {4, 4, Rgb565(32)}, {5, 5, Rgb565(35)}}},
        {"5A3 both kinds of word", kRGB5A3, 5, 1, Words({0x8000, 0x0000, 0x7FFF, 0x7123, 0xFC1F}), 10,
         {{0, 0, {0, 0, 0, 255}}, {1, 0, {0, 0, 0, 0}}, {2, 0, {255, 255, 255, 255}}, {3, 0, {0x11, 0x22, 0x33, 255}},
          {4, 0, {255, 0, 255, 255}}}},
        {"RGBA8 full tile", kRGBA8, 4, 4, Rgba8Passes(16), 64,
         {{0, 0, Rgba8Texel(0)}, {1, 1, Rgba8Texel(5)}, {3, 3, Rgba8Texel(15)}}},
        // A 3 x 2 tile holds 6 texels in each pass; the next tile follows at once.
        {"RGBA8 partial tiles", kRGBA8, 7, 2, Concat(Rgba8Passes(8), Rgba8Passes(6)), 56,
         {{3, 1, Rgba8Texel(7)}, {4, 0, Rgba8Texel(0)}, {6, 1, Rgba8Texel(5)}}},
    });
}

TEST(Dispatch, CodesWithoutGeometryAndEmptyImagesReadNothing)
{
    for (std::uint32_t format : {7u, 10u, 11u, 12u, 13u, 15u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(format);
        const Decoded got = Decode(format, 4, 4, Bytes(64, 0xFF));
        EXPECT_EQ(got.consumed, 0u);
        EXPECT_EQ(got.At(0, 0, 4).a, kUnwritten.a);
    }
    EXPECT_EQ(Decode(kRGBA8, 0, 9, Bytes(64, 0xFF)).consumed, 0u);
    EXPECT_EQ(Decode(kRGB565, 9, 0, Bytes(64, 0xFF)).consumed, 0u);
}

namespace {

Bytes Sequence(std::size_t count)
{
    Bytes b(count);
    for (std::size_t i = 0; i < count; ++i) {
        b[i] = static_cast<std::uint8_t>(i);
    }
    return b;
}

RgbaPixel Same(std::uint8_t v)
{
    return RgbaPixel{v, v, v, v};
}

// A palette whose entries all differ in every channel.
void DistinctPalette(TextureData* texture)
{
    for (int i = 0; i < 256; ++i) {
        texture->palette[i] = RgbaPixel{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(2 * i + 1),
                                        static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i ^ 0x5A)};
    }
}

RgbaPixel Entry(int i)
{
    TextureData texture{};
    DistinctPalette(&texture);
    return texture.palette[i];
}

} // namespace

TEST(Intensity, NibblesBytesAndTileEdges)
{
    RunCases({
        {"I4 high nibble first", kI4, 2, 1, Bytes{0x3C}, 1, {{0, 0, Same(0x33)}, {1, 0, Same(0xCC)}}},
        {"I4 one full tile", kI4, 8, 8, Sequence(64), 32, {{7, 7, Same(0xFF)}, {2, 1, Same(0x00)}, {3, 1, Same(0x55)}}},
        {"I4 tiles side by side", kI4, 16, 8, Sequence(64), 64, {{8, 0, Same(0x22)}, {9, 0, Same(0x00)}}},
        // Width 7: a row's fourth byte gives column 6 and its low nibble is dropped.
        {"I4 odd width", kI4, 7, 3, Bytes{0x01, 0x23, 0x45, 0x6F, 0x89, 0xAB, 0xCD, 0xE1, 0x7F, 0, 0, 0x2F}, 12,
         {{6, 0, Same(0x66)}, {0, 1, Same(0x88)}, {6, 1, Same(0xEE)}, {0, 2, Same(0x77)}, {6, 2, Same(0x22)}}},
        // 8 x 4 tiles over 10 x 5: 32 + 8 + 8 + 2 bytes.
        {"I8 partial tiles", kI8, 10, 5, Sequence(80), 50,
         {{7, 3, Same(31)}, {8, 0, Same(32)}, {9, 3, Same(39)}, {0, 4, Same(40)}, {7, 4, Same(47)}, {9, 4, Same(49)}}},
    });
}

TEST(IntensityAlpha, ChannelOrder)
{
    RunCases({
        {"IA4 alpha in the high nibble", kIA4, 1, 1, Bytes{0x3C}, 1, {{0, 0, {0xCC, 0xCC, 0xCC, 0x33}}}},
        {"IA4 partial tile", kIA4, 9, 1, Sequence(16), 9, {{7, 0, {0x77, 0x77, 0x77, 0}}, {8, 0, {0x88, 0x88, 0x88, 0}}}},
        {"IA8 alpha first", kIA8, 2, 1, Bytes{0x80, 0x40, 0x01, 0xFE}, 4,
         {{0, 0, {0x40, 0x40, 0x40, 0x80}}, {1, 0, {0xFE, 0xFE, 0xFE, 0x01}}}},
        // 4 x 4 tiles over 5 x 5: 32 + 8 + 8 + 2 bytes.
        {"IA8 partial tiles", kIA8, 5, 5, Sequence(64), 50,
         {{4, 0, {33, 33, 33, 32}}, {0, 4, {41, 41, 41, 40}}, {4, 4, {49, 49, 49, 48}}}},
    });
}

TEST(Indexed, EntriesCopiedWhole)
{
    RunCases({
        {"CI8 index", kCI8, 3, 1, Bytes{0x02, 0xFF, 0x00}, 3,
         {{0, 0, Entry(2)}, {1, 0, Entry(255)}, {2, 0, Entry(0)}}, DistinctPalette},
        {"CI8 partial tiles", kCI8, 9, 5, Sequence(64), 45,
         {{8, 0, Entry(32)}, {8, 3, Entry(35)}, {0, 4, Entry(36)}, {8, 4, Entry(44)}}, DistinctPalette},
        {"CI4 high nibble first", kCI4, 2, 1, Bytes{0x3C}, 1, {{0, 0, Entry(3)}, {1, 0, Entry(12)}}, DistinctPalette},
        {"CI4 odd width", kCI4, 7, 2, Bytes{0x01, 0x23, 0x45, 0x6F, 0x89, 0xAB, 0xCD, 0xE1}, 8,
         {{5, 0, Entry(5)}, {6, 0, Entry(6)}, {0, 1, Entry(8)}, {6, 1, Entry(14)}}, DistinctPalette},
        {"CI4 tile rows below", kCI4, 3, 9, Sequence(64), 18,
         {{1, 7, Entry(14)}, {2, 7, Entry(0)}, {0, 8, Entry(1)}, {1, 8, Entry(0)}, {2, 8, Entry(1)}}, DistinctPalette},
    });
}

namespace {

// A 4 x 1 CMPR texture: its top-left block with endpoints c0, c1 and the
// index byte of its only row, then the endpoints and in-image index byte
// of the top-right block and the endpoints of the two lower blocks.
Bytes OneCmprRow(std::uint16_t c0, std::uint16_t c1, std::uint8_t indexes)
{
    Bytes b = Words({c0, c1});
    b.push_back(indexes);
    b.resize(18, 0);
    return b;
}

Case CmprCase(const char* what, std::uint16_t c0, std::uint16_t c1, std::uint8_t indexes,
              std::vector<RgbaPixel> columns)
{
    Case c{what, kCMPR, 4, 1, OneCmprRow(c0, c1, indexes), 18, {}};
    for (int k = 0; k < 4; ++k) {
        c.probes.push_back(Probe{k, 0, columns[k]});
    }
    return c;
}

} // namespace

// Index byte 0x1B holds indexes 0, 1, 2, 3 for columns 0 to 3.
TEST(BlockCompressed, BlockColoursAreTruncatedDoubleBlends)
{
    RunCases({
        CmprCase("white over black, four colours", 0xFFFF, 0x0000, 0x1B,
                 {Same(255), {0, 0, 0, 255}, {170, 170, 170, 255}, {85, 85, 85, 255}}),
        CmprCase("black under white, three colours and transparency", 0x0000, 0xFFFF, 0x1B,
                 {{0, 0, 0, 255}, Same(255), {127, 127, 127, 255}, {169, 169, 169, 0}}),
        CmprCase("equal endpoints: half weight, index 3 transparent", 0x1234, 0x1234, 0x1B,
                 {{16, 69, 165, 255}, {16, 69, 165, 255}, {16, 69, 165, 255}, {16, 69, 165, 0}}),
        // Channels 8, 4, 0 over 0, 16, 0: 4 x w + 16 x (1 - w) = 7.99999976 for index 2.
        // Rounding or integer thirds give 8, and 12 for index 3.
        CmprCase("truncation, not rounding", 0x0820, 0x0080, 0x1B,
                 {{8, 4, 0, 255}, {0, 16, 0, 255}, {5, 7, 0, 255}, {2, 11, 0, 255}}),
        // 255 x (1 - w) falls just short of 170 and of 85 for indexes 3 and 2.
        CmprCase("column 0 in the top bits", 0xF800, 0x001F, 0xE4,
                 {{85, 0, 169, 255}, {170, 0, 84, 255}, {0, 0, 255, 255}, {255, 0, 0, 255}}),
        // 0x8000 > 0x7FFF as unsigned words: four colours, so index 3 stays opaque.
        CmprCase("unsigned comparison of endpoints", 0x8000, 0x7FFF, 0xFF,
                 {{126, 169, 169, 255}, {126, 169, 169, 255}, {126, 169, 169, 255}, {126, 169, 169, 255}}),
    });
}

TEST(BlockCompressed, EndpointsAlwaysReadIndexBytesOnlyForImageRows)
{
    struct Size {
        int width, height;
        std::uint64_t consumed;
    } sizes[] = {
        {8, 8, 32}, {4, 4, 24}, {12, 8, 64}, {4, 1, 18}, {8, 12, 56}, {1, 9, 32 + 4 + 1 + 4 + 1 + 4 + 4},
    };
    for (const Size& s : sizes) {
        SCOPED_TRACE(testing::Message() << s.width << " x " << s.height);
        EXPECT_EQ(Decode(kCMPR, s.width, s.height, Bytes(256, 0x1B)).consumed, s.consumed);
    }
    // In an 8 x 8 tile the bottom-left block follows the top-right one.
    Bytes tile(32, 0);
    const Bytes bottom_left = Words({0xF800, 0xF800});
    std::copy(bottom_left.begin(), bottom_left.end(), tile.begin() + 16);
    const Decoded got = Decode(kCMPR, 8, 8, tile);
    EXPECT_EQ(got.At(0, 4, 8).r, 255);
    EXPECT_EQ(got.At(4, 4, 8).r, 0);
    EXPECT_EQ(got.At(4, 0, 8).r, 0);
}

// The decoders expand channels through tables split by byte; every stored
// value, fed through a real decode, must give what the colour rules give.
TEST(PixelRules, EveryStoredValueDecodesAsTheRuleSays)
{
    // Four columns wide, so each 4 x 4 tile is four whole rows and word i
    // lands on pixel i in row-major order.
    const Decoded rgb565 = Decode(kRGB565, 4, 16384, Counting(65536));
    const Decoded rgb5a3 = Decode(kRGB5A3, 4, 16384, Counting(65536));
    int wrong = 0;
    for (std::uint32_t w = 0; w < 65536; ++w) {
        wrong += !SamePixel(rgb565.pixels[w], Rgb565(w));
        wrong += !SamePixel(rgb5a3.pixels[w], Rgb5A3(w));
    }
    // Eight columns: each 8 x 4 tile is four whole rows of bytes.
    const Decoded ia4 = Decode(kIA4, 8, 32, Sequence(256));
    Bytes nibbles(16);
    for (std::uint32_t i = 0; i < 16; ++i) {
        nibbles[i] = static_cast<std::uint8_t>(i << 4 | (15 - i));
    }
    const Decoded i4 = Decode(kI4, 8, 4, nibbles);
    for (std::uint32_t v = 0; v < 256; ++v) {
        wrong += !SamePixel(ia4.pixels[v], Grey(Expand4(v & 0xF), Expand4(v >> 4)));
    }
    for (std::uint32_t v = 0; v < 32; ++v) {
        const std::uint32_t nibble = (v % 2) ? 15 - v / 2 : v / 2;
        wrong += !SamePixel(i4.pixels[v], Same(Expand4(nibble)));
    }
    EXPECT_EQ(wrong, 0);
}

// A file that ends early decodes as if the missing bytes were zeros, in every
// format and at every cut, and the reader never claims bytes it did not get.
TEST(Truncation, EveryCutDecodesAsZeroFill)
{
    constexpr int kWidth = 9, kHeight = 7; // partial tiles in every format
    const Bytes full = Sequence(256);
    for (std::uint32_t format : {kI4, kI8, kIA4, kIA8, kRGB565, kRGB5A3, kRGBA8, kCI4, kCI8, kCMPR}) {
        const std::uint64_t needed = Decode(format, kWidth, kHeight, full, DistinctPalette).consumed;
        for (std::size_t cut = 0; cut <= needed; ++cut) {
            SCOPED_TRACE(testing::Message() << "format " << format << " cut at " << cut);
            Bytes zero_filled(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
            const Decoded cut_short = Decode(format, kWidth, kHeight, zero_filled, DistinctPalette);
            zero_filled.resize(full.size(), 0);
            const Decoded filled = Decode(format, kWidth, kHeight, zero_filled, DistinctPalette);
            EXPECT_EQ(cut_short.consumed, cut);
            ASSERT_EQ(0, std::memcmp(cut_short.pixels.data(), filled.pixels.data(),
                                     filled.pixels.size() * sizeof(RgbaPixel)));
        }
    }
}
