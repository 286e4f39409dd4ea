// The decoders held against the plain reference decoder of tools/, and
// against values worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>

#include "bmp.h"
#include "fixtures.h"
#include "reference_decoder.h"
#include "texels.h"

namespace {

// The format codes as files store them.
enum Code : std::uint32_t { I4, I8, IA4, IA8, RGB565, RGB5A3, RGBA8, CI4 = 8, CI8, CMPR = 14 };
constexpr std::uint32_t kAllFormats[] = {I4, I8, IA4, IA8, RGB565, RGB5A3, RGBA8, CI4, CI8, CMPR};
constexpr RgbaPixel kUnwritten{1, 2, 3, 4};

// A record of the given geometry over `pixels`, every pixel kUnwritten, with
// a palette whose entries all differ in every channel.
TextureData Record(std::uint32_t format, int width, int height, std::vector<RgbaPixel>* pixels)
{
    TextureData texture{width, height, format, {}, nullptr, 0, 0};
    for (int i = 0; i < 256; ++i) {
        const auto v = std::uint8_t(i);
        texture.palette[i] = RgbaPixel{v, std::uint8_t(2 * v + 1), std::uint8_t(255 - v), std::uint8_t(v ^ 0x5A)};
    }
    pixels->assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), kUnwritten);
    texture.pixels = pixels->data();
    return texture;
}

// The decoder's pixels for `texels`, and the bytes it consumed.
std::vector<RgbaPixel> Decode(std::uint32_t format, int width, int height, const Bytes& texels, std::uint64_t* consumed)
{
    std::vector<RgbaPixel> pixels;
    TextureData texture = Record(format, width, height, &pixels);
    std::FILE* file = OpenBytes(texels);
    EXPECT_NE(file, nullptr);
    FileInput in;
    BeginInput(&in, file);
    ReadTexture(&in, &texture);
    *consumed = InputPosition(&in);
    std::fclose(file);
    return pixels;
}

// Decodes `texels` both ways and compares every pixel and the bytes consumed.
void ExpectAsReference(std::uint32_t format, int width, int height, const Bytes& texels)
{
    SCOPED_TRACE(testing::Message() << "format " << format << ", " << width << " x " << height << ", "
                                    << texels.size() << " bytes");
    std::uint64_t consumed;
    const std::vector<RgbaPixel> got = Decode(format, width, height, texels, &consumed);
    std::vector<RgbaPixel> want;
    TextureData reference = Record(format, width, height, &want);
    EXPECT_EQ(consumed, ReferenceDecode(texels.data(), texels.size(), &reference));
    const auto wrong = std::mismatch(got.begin(), got.end(), want.begin(), SamePixel).first - got.begin();
    EXPECT_EQ(static_cast<std::size_t>(wrong), got.size()) << "first wrong pixel";
}

// Pseudo-random bytes, or with `step` 1 or 2, every byte or 16-bit word in turn.
Bytes Pattern(std::size_t count, int step = 0)
{
    Bytes out(count);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        out[i] = static_cast<std::uint8_t>(step == 0 ? state >> 24 : step == 1 ? i : i % 2 ? i / 2 : i / 512);
    }
    return out;
}

} // namespace

// More than one tile in each direction, tiles cut at the right and bottom
// edges (23 x 15 cuts an 8 x 8 tile one short each way), whole tiles only,
// empty images, and codes that are no format.
TEST(Texels, EveryFormatWalksAndDecodesAsTheReference)
{
    std::vector<std::uint32_t> formats(std::begin(kAllFormats), std::end(kAllFormats));
    formats.insert(formats.end(), {7, 10, 11, 12, 13, 15, 0xFFFFFFFF});
    for (std::uint32_t format : formats) {
        for (const auto& [width, height] : {std::pair{17, 13}, {23, 15}, {16, 16}, {3, 9}, {9, 3}, {0, 5}, {5, 0}}) {
            ExpectAsReference(format, width, height, Pattern(1600));
        }
    }
}

// Every stored value through the lookup tables: with four or eight columns
// the values stay in order within each tile row.
TEST(Texels, EveryStoredValueDecodesAsTheColourRules)
{
    ExpectAsReference(RGB565, 4, 16384, Pattern(131072, 2));
    ExpectAsReference(RGB5A3, 4, 16384, Pattern(131072, 2));
    for (std::uint32_t format : {I4, CI4, IA4, I8, CI8}) {
        ExpectAsReference(format, 8, 64, Pattern(512, 1));
    }
}

// A file that ends early decodes as if the missing bytes were zeros, at
// every cut, and the reader never claims bytes it did not get.
TEST(Texels, EveryCutDecodesAsZeroFill)
{
    const Bytes bytes = Pattern(256);
    for (std::uint32_t format : kAllFormats) {
        for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
            ExpectAsReference(format, 9, 7, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
        }
    }
}

// The names the formats go by; a code that is no format has none.
TEST(Texels, FormatNames)
{
    const char* names[] = {"I4", "I8", "IA4", "IA8", "RGB565", "RGB5A3", "RGBA8", nullptr,
                           "CI4", "CI8", nullptr, nullptr, nullptr, nullptr, "CMPR", nullptr};
    for (std::uint32_t code = 0; code < 16; ++code) {
        EXPECT_STREQ(FormatName(code), names[code]) << code;
    }
    EXPECT_EQ(FormatName(0xFFFFFFFF), nullptr);
}

// The block colours are a x w + b x (1 - w) in double precision, truncated:
// endpoints chosen so that rounding, single precision or integer thirds
// would give other bytes. Index byte 0x1B holds 0, 1, 2, 3 for columns 0 to 3.
TEST(Texels, BlockColoursAreTruncatedDoubleBlends)
{
    struct Case {
        std::uint16_t c0, c1;
        std::uint8_t indexes;
        RgbaPixel columns[4];
    } cases[] = {
        {0x0000, 0xFFFF, 0x1B, {{0, 0, 0, 255}, {255, 255, 255, 255}, {127, 127, 127, 255}, {169, 169, 169, 0}}},
        {0x1234, 0x1234, 0x1B, {{16, 69, 165, 255}, {16, 69, 165, 255}, {16, 69, 165, 255}, {16, 69, 165, 0}}},
        // 4 x w + 16 x (1 - w) = 7.99999976 for index 2.
        {0x0820, 0x0080, 0x1B, {{8, 4, 0, 255}, {0, 16, 0, 255}, {5, 7, 0, 255}, {2, 11, 0, 255}}},
        // 255 x (1 - w) falls just short of 170 and of 85.
        {0xF800, 0x001F, 0xE4, {{85, 0, 169, 255}, {170, 0, 84, 255}, {0, 0, 255, 255}, {255, 0, 0, 255}}},
        // 0x8000 > 0x7FFF as unsigned words: four colours, index 3 opaque.
        {0x8000, 0x7FFF, 0xFF, {{126, 169, 169, 255}, {126, 169, 169, 255}, {126, 169, 169, 255}, {126, 169, 169, 255}}},
    };
    for (const Case& c : cases) {
        Bytes texels = Words({c.c0, c.c1});
        texels.push_back(c.indexes);
        std::uint64_t consumed;
        const std::vector<RgbaPixel> pixels = Decode(CMPR, 4, 1, texels, &consumed);
        for (int k = 0; k < 4; ++k) {
            EXPECT_TRUE(SamePixel(pixels[k], c.columns[k])) << std::hex << c.c0 << " " << c.c1 << " column " << k;
        }
    }
}

// The two routines for a whole CMPR tile, on tiles of every kind of block
// (four colours, three and transparent, equal endpoints), against each
// other; the end-to-end tests see only the one this processor runs.
TEST(Texels, BothWholeCmprTileRoutinesGiveThePixels)
{
    if (!VectorRowsAvailable()) {
        GTEST_SKIP() << "no SSSE3: the plain routine is the one every other test sees";
    }
    for (std::uint32_t seed = 0; seed < 64; ++seed) {
        Bytes tile(32);
        for (std::size_t i = 0; i < tile.size(); ++i) {
            tile[i] = static_cast<std::uint8_t>((i * 37 + seed * 101) ^ (seed * i >> 3));
        }
        tile[8] = tile[10], tile[9] = tile[11] + static_cast<std::uint8_t>(seed % 3); // endpoints equal, or close
        std::vector<RgbaPixel> plain(8 * 9), shuffled(8 * 9); // nine pixels a row: the ninth must stay untouched
        DecodeWholeCmprTile(tile.data(), plain.data(), 9);
        ShuffleWholeCmprTile(tile.data(), shuffled.data(), 9);
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), shuffled.begin(), SamePixel)) << seed;
    }
}

// Colours exactly on a block's line at its weights, both endpoints and a
// blend among them, fit one split without residue: the fits give back their
// endpoints, in either mode, for any counts, along one channel alone too.
TEST(Texels, CmprFitsFindTheEndpointsOfColoursOnABlocksLine)
{
    Sequence next{3, 0xFFFF};
    for (int round = 0; round < 2000; ++round) {
        const bool four = round % 2 == 0;
        std::int32_t a[3], b[3];
        for (int c = 0; c < 3; ++c) { // a third of the lines along one channel
            a[c] = static_cast<std::int32_t>(next() % (c == 1 ? 64 : 32)), b[c] = static_cast<std::int32_t>(next() % (c == 1 ? 64 : 32));
            b[c] = round % 3 != 0 || c == round / 3 % 3 ? b[c] : a[c];
        }
        const float ends[2][3] = {{float(Expand5(a[0])), float(Expand6(a[1])), float(Expand5(a[2]))},
                                  {float(Expand5(b[0])), float(Expand6(b[1])), float(Expand5(b[2]))}};
        const std::vector<float> weights = four ? std::vector<float>{1, 2 / 3.0f, 1 / 3.0f, 0} : std::vector<float>{1, 0.5f, 0};
        // Each group's count: the first and the last at least one, an inner one too.
        std::vector<int> counts(weights.size());
        const int n = 3 + static_cast<int>(next() % 14);
        counts.front() = counts.back() = counts[1] = 1;
        for (int t = 3; t < n; ++t) {
            ++counts[next() % counts.size()];
        }
        float colours[16][3];
        int t = 0;
        for (std::size_t g = 0; g < weights.size(); ++g) {
            for (int k = 0; k < counts[g]; ++k, ++t) {
                for (int c = 0; c < 3; ++c) {
                    colours[t][c] = weights[g] * ends[0][c] + (1 - weights[g]) * ends[1][c];
                }
            }
        }
        if (std::equal(a, a + 3, b)) {
            continue; // one colour: any split fits
        }
        std::int32_t fits[kCmprFits][2][3];
        const int count = FitCmprEndpoints(colours, n, four, fits);
        bool found = false;
        for (int i = 0; i < count; ++i) {
            found = found || (std::equal(a, a + 3, fits[i][0]) && std::equal(b, b + 3, fits[i][1]));
        }
        EXPECT_TRUE(found) << round;
    }
}
