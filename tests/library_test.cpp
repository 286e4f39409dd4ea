// The library's C interface held against the tool's own reading of the
// same files (the stream reader over a file, the container readers and the
// texel decoder): the same pixels, the same shortfall, for every format and
// the edge sizes; rows a stride apart with nothing written between them or
// past the last; each failure by its name; the pairing rule; and facts
// from a part of a file.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "fixtures.h"
#include "kestrune.h"
#include "painted_textures.h"
#include "reference_decoder.h"
#include "texels.h"

namespace {

constexpr std::uint32_t kFormats[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 14, 7};

// The pixels and shortfall of the tool's reading: a file stream, as a
// single run reads the texture and its palette.
struct ToolRead {
    std::vector<RgbaPixel> pixels;
    std::uint64_t missing; // of the texels, past the header's own
    bool header_cut;
};

ToolRead ReadAsTheTool(const Bytes& texture_file, const Bytes& palette_file)
{
    ToolRead read{};
    TextureData texture{};
    std::FILE* file = OpenBytes(texture_file);
    FileInput in;
    BeginInput(&in, file);
    EXPECT_TRUE(ReadBRTEX(&in, &texture));
    const std::uint64_t header_missing = in.missing;
    if (NeedsPalette(texture.format)) {
        std::FILE* palette = OpenBytes(palette_file);
        FileInput palette_in;
        BeginInput(&palette_in, palette);
        EXPECT_TRUE(ReadBRPLT(&palette_in, &texture));
        std::fclose(palette);
    }
    read.pixels.assign(static_cast<std::size_t>(texture.width) * static_cast<std::size_t>(texture.height), RgbaPixel{});
    texture.pixels = read.pixels.data();
    ReadTexture(&in, &texture);
    std::fclose(file);
    read.missing = in.missing - header_missing;
    read.header_cut = header_missing > 0;
    return read;
}

} // namespace

// Every format at the edge sizes, whole, cut in its texels and cut in its
// header: the library's facts and pixels are the tool's, rows a stride
// apart touch nothing between them, and a buffer one byte short is refused
// untouched.
TEST(Library, DecodesAsTheToolReads)
{
    const struct {
        int width, height;
    } sizes[] = {{1, 1}, {3, 5}, {8, 8}, {37, 21}, {0, 4}, {4, 0}};
    for (const std::uint32_t format : kFormats) {
        for (const auto size : sizes) {
            Bytes entries;
            const auto w = static_cast<std::uint16_t>(size.width), h = static_cast<std::uint16_t>(size.height);
            const Bytes texels = format == 7 ? Bytes(50, 9) : EncodeTexels(format, w, h, PaintRGBA(Content::kCutout, w, h, format), &entries);
            const Bytes whole = MakeBRTEX(w, h, format, texels, 3), palette = MakeBRPLT(2, 256, Bytes(512, 0x6B));
            for (const std::size_t cut : {std::size_t{0}, std::size_t{7}, whole.size() - 40}) {
                SCOPED_TRACE(testing::Message() << "format " << format << ", " << w << " x " << h << ", cut " << cut);
                const Bytes file(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(std::min(cut, whole.size())));
                const ToolRead tool = ReadAsTheTool(file, palette);
                kestrune_facts facts;
                ASSERT_EQ(kestrune_read_facts(file.data(), file.size(), &facts), KESTRUNE_OK);
                EXPECT_TRUE(facts.width == w && facts.height == h && facts.format == format && facts.size == sizeof facts);
                EXPECT_EQ(facts.needs_palette, format == 8 || format == 9);
                EXPECT_EQ(facts.header_cut, tool.header_cut);
                EXPECT_EQ(facts.missing, tool.missing);
                EXPECT_EQ(facts.texel_offset, 3u + 64u);
                TextureData reference{size.width, size.height, format, {}, nullptr, 0, 0};
                std::vector<RgbaPixel> ignored(tool.pixels.size());
                reference.pixels = ignored.data();
                EXPECT_EQ(facts.texel_length, ReferenceDecode(texels.data(), texels.size(), &reference));
                // Rows 12 bytes apart beyond their pixels, in a buffer that ends at the last pixel.
                const std::size_t stride = 4 * facts.width + 12;
                const std::size_t span = facts.height == 0 || facts.width == 0 ? 0 : stride * (facts.height - 1) + 4 * facts.width;
                Bytes rgba(span + 1, 0xA5);
                EXPECT_EQ(kestrune_decode_rgba(file.data(), file.size(), palette.data(), palette.size(), rgba.data(), span - (span > 0),
                                               stride),
                          span > 0 ? KESTRUNE_BUFFER_TOO_SMALL : KESTRUNE_OK);
                EXPECT_EQ(rgba, Bytes(span + 1, 0xA5)) << "written when refused";
                ASSERT_EQ(kestrune_decode_rgba(file.data(), file.size(), palette.data(), palette.size(), rgba.data(), span, stride),
                          KESTRUNE_OK);
                for (std::size_t y = 0; span > 0 && y < facts.height; ++y) {
                    EXPECT_EQ(0, std::memcmp(rgba.data() + y * stride, tool.pixels.data() + y * facts.width, 4 * facts.width)) << y;
                    const std::size_t gap = y + 1 < facts.height ? 12 : 1; // the last row: the byte past the buffer
                    EXPECT_EQ(Bytes(rgba.begin() + y * stride + 4 * facts.width, rgba.begin() + y * stride + 4 * facts.width + gap),
                              Bytes(gap, 0xA5));
                }
            }
        }
    }
}

// The grey stand-in for a missing palette: index i as grey i, or 17 i for
// the 4-bit indexes, opaque.
TEST(Library, GreyStandsInForAMissingPalette)
{
    for (const std::uint32_t format : {8u, 9u}) {
        Bytes texels(256); // every index, in 16 x 16 texels
        std::iota(texels.begin(), texels.end(), std::uint8_t{0});
        const Bytes file = MakeBRTEX(16, 16, format, texels);
        TextureData reference{16, 16, format, {}, nullptr, 0, 0};
        for (int i = 0; i < 256; ++i) {
            const auto grey = static_cast<std::uint8_t>(format == 8 ? 17 * (i & 15) : i);
            reference.palette[i] = RgbaPixel{grey, grey, grey, 255};
        }
        std::vector<RgbaPixel> want(256), got(256);
        reference.pixels = want.data();
        ReferenceDecode(texels.data(), texels.size(), &reference);
        EXPECT_EQ(kestrune_decode_rgba_grey(file.data(), file.size(), reinterpret_cast<unsigned char*>(got.data()), 4 * 256, 64),
                  KESTRUNE_OK);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), SamePixel)) << format;
    }
}

// Each way to fail, by its name, with a text of its own.
TEST(Library, EachFailureHasItsName)
{
    const Bytes texture = MakeBRTEX(4, 4, 4, Bytes(32, 1)), indexed = MakeBRTEX(4, 4, 9, Bytes(16, 1));
    const Bytes two_rows = MakeBRTEX(4, 2, 4, Bytes(16, 1)), no_pixels = MakeBRTEX(0, 4, 4, {}), no_rows = MakeBRTEX(4, 0, 4, {});
    const Bytes palette = MakeBRPLT(1, 2, Bytes(4, 9)), junk(100, 'x'), one = MakeBRTEX(1, 1, 6, Bytes(64, 1));
    unsigned char rgba[64] = {}, texels[32];
    const Bytes no_format = MakeBRTEX(4, 4, 7, Bytes(32, 1));
    kestrune_facts facts{};
    std::size_t size = 0;
    const struct {
        const char* what;
        int result, expected;
    } cases[] = {
        {"no TEX0", kestrune_decode_rgba(junk.data(), junk.size(), nullptr, 0, rgba, 64, 16), KESTRUNE_NOT_BRTEX},
        {"no TEX0, facts", kestrune_read_facts(junk.data(), junk.size(), &facts), KESTRUNE_NOT_BRTEX},
        {"no bytes at all", kestrune_read_facts(nullptr, 0, &facts), KESTRUNE_NOT_BRTEX},
        {"no PLT0", kestrune_decode_rgba(indexed.data(), indexed.size(), junk.data(), junk.size(), rgba, 64, 16), KESTRUNE_NOT_BRPLT},
        {"no PLT0, checked", kestrune_check_palette(junk.data(), junk.size()), KESTRUNE_NOT_BRPLT},
        {"a palette", kestrune_check_palette(palette.data(), palette.size()), KESTRUNE_OK},
        {"no palette", kestrune_decode_rgba(indexed.data(), indexed.size(), nullptr, 0, rgba, 64, 16), KESTRUNE_NO_PALETTE},
        {"a stride past any memory", kestrune_decode_rgba(texture.data(), texture.size(), nullptr, 0, rgba, 64, SIZE_MAX / 2 & ~std::size_t{3}),
         KESTRUNE_TOO_LARGE},
        {"a span one past any size", kestrune_decode_rgba(two_rows.data(), two_rows.size(), nullptr, 0, rgba, 64, SIZE_MAX - 15), KESTRUNE_TOO_LARGE},
        {"a span of the largest size", kestrune_decode_rgba(two_rows.data(), two_rows.size(), nullptr, 0, rgba, 64, SIZE_MAX - 19),
         KESTRUNE_BUFFER_TOO_SMALL},
        {"no pixels, any stride", kestrune_decode_rgba(no_pixels.data(), no_pixels.size(), nullptr, 0, rgba, 64, 3), KESTRUNE_OK},
        {"no rows, any stride", kestrune_decode_rgba(no_rows.data(), no_rows.size(), nullptr, 0, rgba, 64, 3), KESTRUNE_OK},
        {"no pixels, no buffer", kestrune_decode_rgba(no_pixels.data(), no_pixels.size(), nullptr, 0, nullptr, 0, 0), KESTRUNE_OK},
        {"one pixel, a stride too small", kestrune_decode_rgba(one.data(), one.size(), nullptr, 0, rgba, 64, 2), KESTRUNE_BAD_ARGUMENT},
        {"a buffer too small", kestrune_decode_rgba(texture.data(), texture.size(), nullptr, 0, rgba, 63, 16), KESTRUNE_BUFFER_TOO_SMALL},
        {"a stride too small", kestrune_decode_rgba(texture.data(), texture.size(), nullptr, 0, rgba, 64, 12), KESTRUNE_BAD_ARGUMENT},
        {"a stride of odd bytes", kestrune_decode_rgba(texture.data(), texture.size(), nullptr, 0, rgba, 64, 17), KESTRUNE_BAD_ARGUMENT},
        {"no texture bytes", kestrune_decode_rgba(nullptr, 1, nullptr, 0, rgba, 64, 16), KESTRUNE_BAD_ARGUMENT},
        {"no palette bytes", kestrune_decode_rgba(indexed.data(), indexed.size(), nullptr, 5, rgba, 64, 16), KESTRUNE_BAD_ARGUMENT},
        {"no pixels", kestrune_decode_rgba(texture.data(), texture.size(), nullptr, 0, nullptr, 64, 16), KESTRUNE_BAD_ARGUMENT},
        {"no record", kestrune_read_facts(texture.data(), texture.size(), nullptr), KESTRUNE_BAD_ARGUMENT},
        {"no size", kestrune_rgba_size(&facts, nullptr), KESTRUNE_BAD_ARGUMENT},
        {"a prefix past the file", kestrune_read_facts_prefix(texture.data(), texture.size(), 10, &facts), KESTRUNE_BAD_ARGUMENT},
        {"a prefix inside the header", kestrune_read_facts_prefix(texture.data(), 35, texture.size(), &facts), KESTRUNE_SHORT_PREFIX},
        {"a whole file cut inside its header", kestrune_read_facts(texture.data(), 35, &facts), KESTRUNE_OK},
        {"a prefix without the section", kestrune_read_facts_prefix(texture.data(), 3, texture.size(), &facts), KESTRUNE_NOT_BRTEX},
        {"encoding, no TEX0", kestrune_encode_rgba(junk.data(), junk.size(), nullptr, 0, rgba, 64, 16, texels, 32, nullptr), KESTRUNE_NOT_BRTEX},
        {"encoding, no palette", kestrune_encode_rgba(indexed.data(), indexed.size(), nullptr, 0, rgba, 64, 16, texels, 32, nullptr),
         KESTRUNE_NO_PALETTE},
        {"encoding, no texture bytes", kestrune_encode_rgba(nullptr, 1, nullptr, 0, rgba, 64, 16, texels, 32, nullptr), KESTRUNE_BAD_ARGUMENT},
        {"encoding, no palette bytes", kestrune_encode_rgba(indexed.data(), indexed.size(), nullptr, 5, rgba, 64, 16, texels, 32, nullptr),
         KESTRUNE_BAD_ARGUMENT},
        {"encoding, no texel format", kestrune_encode_rgba(no_format.data(), no_format.size(), nullptr, 0, rgba, 64, 16, texels, 32, nullptr),
         KESTRUNE_CANNOT_ENCODE},
        {"encoding, texels too few", kestrune_encode_rgba(texture.data(), texture.size(), nullptr, 0, rgba, 64, 16, texels, 31, nullptr),
         KESTRUNE_BUFFER_TOO_SMALL},
        {"encoding, no texels", kestrune_encode_rgba(texture.data(), texture.size(), nullptr, 0, rgba, 64, 16, nullptr, 32, nullptr),
         KESTRUNE_BAD_ARGUMENT},
        {"encoding no pixels into no texels", kestrune_encode_rgba(no_pixels.data(), no_pixels.size(), nullptr, 0, nullptr, 0, 0, nullptr, 0, nullptr),
         KESTRUNE_OK},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, c.expected) << c.what;
    }
    std::set<std::string> texts;
    for (int result = KESTRUNE_OK; result <= KESTRUNE_SHORT_PREFIX + 1; ++result) {
        texts.insert(kestrune_result_text(result));
    }
    EXPECT_EQ(texts.size(), 9u);
    // The largest image, and one past what a 32-bit size holds.
    facts.width = facts.height = 65535;
    ASSERT_EQ(kestrune_rgba_size(&facts, &size), sizeof(std::size_t) < 8 ? KESTRUNE_TOO_LARGE : KESTRUNE_OK);
    EXPECT_TRUE(sizeof(std::size_t) < 8 || size == 4ull * 65535 * 65535);
}

// Facts from a part of the file that holds the header are the whole
// file's; the rule that pairs palettes and names outputs is the tool's.
TEST(Library, PrefixesPairingAndNames)
{
    const Bytes file = MakeBRTEX(40, 30, 14, Bytes(500, 3), 9);
    kestrune_facts whole, part;
    ASSERT_EQ(kestrune_read_facts(file.data(), file.size(), &whole), KESTRUNE_OK);
    ASSERT_EQ(kestrune_read_facts_prefix(file.data(), 9 + 36, file.size(), &part), KESTRUNE_OK);
    EXPECT_EQ(0, std::memcmp(&whole, &part, sizeof whole));
    EXPECT_EQ(whole.missing, whole.texel_length - 500);
    const struct {
        const char* texture;
        std::vector<const char*> names;
        long chosen;
    } pairs[] = {
        {"wood.brtex", {"b.brplt", "wood.BRPLT", "wood.brplt"}, 2},
        {"wood.BRTEX", {"wood.BrPlT", "wood.BRPLT", "x"}, 1},
        {"wood.brtex", {"Wood.brplt", "wood.brtex", "wood.brplt.old", nullptr}, -1},
        {"sky", {"sky.brplt"}, 0},
        {".brtex", {".brtex.brplt", ".brplt"}, 1}, // a stem of nothing
        {"wood.brtex", {"wood_BRPLT", "woodxbrplt"}, -1},
        {"wood.brtex", {"wood.BRPLT", "wood.Brplt", "wood.BRPLT"}, 0}, // the least, the first of equals
    };
    for (const auto& pair : pairs) {
        EXPECT_EQ(kestrune_palette_beside(pair.texture, pair.names.data(), pair.names.size()), pair.chosen) << pair.texture;
    }
    EXPECT_EQ(kestrune_palette_beside(nullptr, nullptr, 0), -1);
    EXPECT_EQ(kestrune_palette_beside("a.brtex", nullptr, 1), -1);
    char stem[16] = "xxxxxxxxxxxxxxx";
    EXPECT_EQ(kestrune_output_stem("d/wood.brtex", stem, 7), 6u); // exactly enough
    EXPECT_STREQ(stem, "d/wood");
    EXPECT_EQ(stem[7], 'x');
    EXPECT_EQ(kestrune_output_stem("wood.BRTEX", stem, 10), 10u); // too long to hold: only the length
    EXPECT_STREQ(stem, "d/wood");
    EXPECT_STREQ(kestrune_format_name(14), "CMPR");
    EXPECT_EQ(kestrune_format_name(7), nullptr);
    EXPECT_STREQ(kestrune_version(), KESTRUNE_VERSION);
}

namespace {

// The pixels the library decodes of a texture, rows packed.
Bytes Decoded(const Bytes& file, const Bytes& palette)
{
    kestrune_facts facts;
    EXPECT_EQ(kestrune_read_facts(file.data(), file.size(), &facts), KESTRUNE_OK);
    Bytes rgba(4 * std::size_t{facts.width} * facts.height);
    EXPECT_EQ(kestrune_decode_rgba(file.data(), file.size(), palette.data(), palette.size(), rgba.data(), rgba.size(),
                                   4 * std::size_t{facts.width}),
              KESTRUNE_OK);
    return rgba;
}

// The texel data the library encodes of `rgba` into the template `file`,
// and how many of its pixels were not exact.
Bytes Encoded(const Bytes& file, const Bytes& palette, const Bytes& rgba, std::uint64_t* inexact)
{
    kestrune_facts facts;
    EXPECT_EQ(kestrune_read_facts(file.data(), file.size(), &facts), KESTRUNE_OK);
    Bytes texels(facts.texel_length);
    EXPECT_EQ(kestrune_encode_rgba(file.data(), file.size(), palette.data(), palette.size(), rgba.data(), rgba.size(),
                                   4 * std::size_t{facts.width}, texels.data(), texels.size(), inexact),
              KESTRUNE_OK);
    return texels;
}

// The offset of texel `t` (0 to 15, by rows) of block `b` (0 to 3) in the
// RGBA rows of an 8 x 8 image: one CMPR tile.
constexpr std::size_t TexelAt(std::size_t b, std::size_t t)
{
    return 4 * ((b / 2 * 4 + t / 4) * 8 + b % 2 * 4 + t % 4);
}

// The pixels of a tile of four blocks alike: these endpoints, every row's
// indexes `rows`.
Bytes TileOf(std::uint32_t c0, std::uint32_t c1, std::uint8_t rows)
{
    const Bytes block = {static_cast<std::uint8_t>(c0 >> 8), static_cast<std::uint8_t>(c0), static_cast<std::uint8_t>(c1 >> 8),
                         static_cast<std::uint8_t>(c1), rows, rows, rows, rows};
    Bytes blocks(32);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        blocks[i] = block[i % 8];
    }
    return Decoded(MakeBRTEX(8, 8, 14, blocks), {});
}

} // namespace

// Every format but CMPR at the edge sizes: the pixels decoded and encoded
// again into their own texture give back its texel bytes, and into a
// template of other texels, the same pixels, exactly.
TEST(Library, EncodesWhatItDecodesBack)
{
    const struct {
        int width, height;
    } sizes[] = {{1, 1}, {3, 5}, {8, 8}, {37, 21}};
    for (const std::uint32_t format : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 8u, 9u, 14u}) {
        for (const auto size : sizes) {
            SCOPED_TRACE(testing::Message() << "format " << format << ", " << size.width << " x " << size.height);
            const auto w = static_cast<std::uint16_t>(size.width), h = static_cast<std::uint16_t>(size.height);
            Bytes entries;
            const Bytes texels = EncodeTexels(format, w, h, PaintRGBA(Content::kCutout, w, h, format), &entries);
            const Bytes palette = MakeBRPLT(2, static_cast<std::uint16_t>(entries.size() / 2), entries);
            const Bytes file = MakeBRTEX(w, h, format, texels, 5), rgba = Decoded(file, palette);
            std::uint64_t inexact = 9;
            EXPECT_EQ(Encoded(file, palette, rgba, &inexact), texels);
            EXPECT_EQ(inexact, 0u);
            if (format == 14) {
                continue; // a block found anew need not be the one that was there
            }
            const Bytes other = MakeBRTEX(w, h, format, Bytes(texels.size(), 0x5A));
            EXPECT_EQ(Decoded(MakeBRTEX(w, h, format, Encoded(other, palette, rgba, &inexact)), palette), rgba);
            EXPECT_EQ(inexact, 0u);
        }
    }
}

// An edited pixel takes the nearest value its format holds, against every
// value of one texel as the reference decoder reads it (the intensity
// formats by red, green and blue alone, as their grey follows them); and
// where two values are as near, or a texel already decodes to the pixel,
// the rules that pick one.
TEST(Library, EditedPixelsTakeTheNearestValue)
{
    Sequence next{12345, 0xFF};
    Bytes entries;
    for (int i = 0; i < 512; ++i) {
        entries.push_back(static_cast<std::uint8_t>(i % 37 == 5 ? entries[i % 2] : next())); // some duplicates
    }
    const Bytes palette = MakeBRPLT(2, 256, entries);
    for (const std::uint32_t format : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 9u}) {
        const std::size_t size = format == 3 || format == 4 || format == 5 ? 2 : 1;
        TextureData texture{1, 1, format, {}, nullptr, 0, 0};
        FileInput in;
        std::FILE* stream = OpenBytes(palette);
        BeginInput(&in, stream);
        ReadBRPLT(&in, &texture);
        std::fclose(stream);
        std::vector<RgbaPixel> held(std::size_t{1} << (8 * size)); // what each value of a 1 x 1 texture decodes to
        for (std::size_t v = 0; v < held.size(); ++v) {
            texture.pixels = &held[v];
            const std::uint8_t value[2] = {static_cast<std::uint8_t>(size == 2 ? v >> 8 : v), static_cast<std::uint8_t>(v)};
            ReferenceDecode(value, size, &texture);
        }
        const bool grey = format <= 1;
        const auto distance = [grey](RgbaPixel a, const std::uint8_t* b) {
            const int d[4] = {a.r - b[0], a.g - b[1], a.b - b[2], grey ? 0 : a.a - b[3]};
            return d[0] * d[0] + d[1] * d[1] + d[2] * d[2] + d[3] * d[3];
        };
        for (int i = 0; i < 300; ++i) {
            const Bytes want = {static_cast<std::uint8_t>(next()), static_cast<std::uint8_t>(next()),
                                static_cast<std::uint8_t>(next()), static_cast<std::uint8_t>(i % 3 == 0 ? 255 : next())};
            const Bytes file = MakeBRTEX(1, 1, format, Bytes(size, 0));
            std::uint64_t inexact = 0;
            const Bytes got = Decoded(MakeBRTEX(1, 1, format, Encoded(file, palette, want, &inexact)), palette);
            int nearest = INT32_MAX;
            for (const RgbaPixel& pixel : held) {
                nearest = std::min(nearest, distance(pixel, want.data()));
            }
            const RgbaPixel pixel{got[0], got[1], got[2], got[3]};
            EXPECT_EQ(distance(pixel, want.data()), nearest) << "format " << format << ", pixel " << i;
            EXPECT_EQ(inexact, got == want ? 0u : 1u);
        }
    }
    const Bytes five = Words({0x0000, 0x7FFF, 0x7FFF}), sixteen = MakeBRPLT(2, 3, five);
    const struct {
        const char* what;
        std::uint32_t format;
        std::uint16_t width;
        Bytes template_texels, rgba, texels;
        std::uint64_t inexact;
    } rows[] = {
        {"RGB5A3: an opaque white kept in the other mode", 5, 1, Words({0x7FFF}), {255, 255, 255, 255}, Words({0x7FFF}), 0},
        {"RGB5A3: as near in both modes, the opaque one", 5, 1, Words({0}), {0, 0, 0, 237}, Words({0x8000}), 1},
        {"RGB565: between two values, the upper", 4, 1, Words({0}), {12, 0, 0, 255}, Words({0x1000}), 1},
        {"CI8: the entry the template names, of two equal", 9, 1, {2}, {255, 255, 255, 255}, {2}, 0},
        {"CI8: else the first equal entry", 9, 1, {0x30}, {255, 255, 255, 255}, {1}, 0},
        {"CI4: the nibble a texel of an odd row leaves unread", 8, 3, {0x01, 0x05}, Bytes(12, 0), {0x00, 0x05}, 0},
        {"CI4: the entry the template names, of two equal", 8, 1, {0x20}, {255, 255, 255, 255}, {0x20}, 0},
    };
    for (const auto& row : rows) {
        const Bytes file = MakeBRTEX(row.width, 1, row.format, row.template_texels);
        std::uint64_t inexact = 9;
        EXPECT_EQ(Encoded(file, sixteen, row.rgba, &inexact), row.texels) << row.what;
        EXPECT_EQ(inexact, row.inexact) << row.what;
    }
    // A palette of no entries: every index is as near as any, and the first is taken.
    std::uint64_t inexact = 0;
    EXPECT_EQ(Encoded(MakeBRTEX(1, 1, 9, {7}), MakeBRPLT(2, 0, {}), {255, 0, 0, 255}, &inexact), Bytes{0});
    EXPECT_EQ(inexact, 1u);
}

// CMPR blocks found anew: a texel of alpha 128 or more decodes opaque and
// one below transparent, whatever the block, and the texels not given back
// exactly are counted; a block of clear texels only keeps under them the
// colour nearest their mean; a block of two colours that endpoints hold,
// with or without clear texels, comes back exactly.
TEST(Library, EncodesCmprBlocksByItsRules)
{
    Sequence next{99, 0xFFFF};
    for (int round = 0; round < 200; ++round) {
        Bytes rgba(8 * 8 * 4), two(8 * 8 * 4);
        const RgbaPixel ends[2] = {Rgb565(next()), Rgb565(next())};
        for (std::size_t t = 0; t < 64; ++t) {
            for (int c = 0; c < 4; ++c) {
                rgba[4 * t + c] = static_cast<std::uint8_t>(next());
            }
            const std::uint32_t pick = next();
            const RgbaPixel pixel = pick % 5 == 0 && round % 2 == 1 ? RgbaPixel{9, 9, 9, 0} : ends[pick & 1];
            std::memcpy(&two[4 * t], &pixel, 4);
        }
        for (std::size_t t = 0; t < 64 && round % 3 == 0; ++t) {
            rgba[4 * t + 3] %= 128; // every texel clear
        }
        const Bytes file = MakeBRTEX(8, 8, 14, Bytes(32, 0));
        std::uint64_t inexact = 0, differing = 0;
        const Bytes got = Decoded(MakeBRTEX(8, 8, 14, Encoded(file, {}, rgba, &inexact)), {});
        for (std::size_t t = 0; t < 64; ++t) {
            EXPECT_EQ(got[4 * t + 3], rgba[4 * t + 3] >= 128 ? 255 : 0) << round << ", texel " << t;
            differing += std::equal(got.begin() + 4 * t, got.begin() + 4 * t + 4, rgba.begin() + 4 * t) ? 0 : 1;
            for (std::size_t c = 0; c < 3 && round % 3 == 0; ++c) { // the colour nearest the block's mean
                double mean = 0;
                for (std::size_t u = 0; u < 16; ++u) {
                    mean += rgba[TexelAt(t / 32 * 2 + t % 8 / 4, u) + c] / 16.0;
                }
                EXPECT_LE(std::abs(got[4 * t + c] - mean), c == 1 ? 255 / 63.0 / 2 + 1 : 255 / 31.0 / 2 + 1) << round << ", texel " << t;
            }
        }
        EXPECT_EQ(inexact, differing) << round;
        const Bytes back = Decoded(MakeBRTEX(8, 8, 14, Encoded(file, {}, two, &inexact)), {});
        for (std::size_t t = 0; t < 64; ++t) { // a clear texel's colour is the blend its block gives
            EXPECT_TRUE(two[4 * t + 3] == 0 ? back[4 * t + 3] == 0
                                            : std::equal(back.begin() + 4 * t, back.begin() + 4 * t + 4, two.begin() + 4 * t))
                << round << ", texel " << t;
        }
    }
    // Of colours as near, the first index: pure red is index 0 throughout.
    std::uint64_t inexact = 0;
    const Bytes texels = Encoded(MakeBRTEX(8, 8, 14, Bytes(32, 0)), {}, TileOf(0xF800, 0xF800, 0), &inexact);
    EXPECT_EQ(Bytes(texels.begin() + 4, texels.begin() + 8), Bytes(4, 0));
}

// What a block can hold exactly, the search finds: texels of only the two
// inner colours of a four-colour block, whose endpoints no texel shows, and
// of a three-colour block's endpoints and blend.
TEST(Library, CmprSearchFindsWhatABlockCanHold)
{
    Sequence next{7, 0xFFFF};
    const Bytes blank = MakeBRTEX(8, 8, 14, Bytes(32, 0));
    for (int round = 0; round < 300; ++round) {
        Bytes blocks;
        const bool four = round % 2 == 0;
        for (int b = 0; b < 4; ++b) {
            std::uint16_t c0 = static_cast<std::uint16_t>(next()), c1 = static_cast<std::uint16_t>(next());
            if ((c0 > c1) != four) {
                std::swap(c0, c1);
            }
            blocks.insert(blocks.end(), {static_cast<std::uint8_t>(c0 >> 8), static_cast<std::uint8_t>(c0),
                                         static_cast<std::uint8_t>(c1 >> 8), static_cast<std::uint8_t>(c1)});
            for (int row = 0; row < 4; ++row) { // four: indexes 2 and 3; three: 0, 1 and 2
                const std::uint32_t bits = next();
                std::uint8_t indexes = 0;
                for (int t = 0; t < 4; ++t) {
                    indexes = static_cast<std::uint8_t>(indexes << 2 | (four ? 2 + (bits >> t & 1) : (bits >> 2 * t & 3) % 3));
                }
                blocks.push_back(indexes);
            }
        }
        const Bytes wanted = Decoded(MakeBRTEX(8, 8, 14, blocks), {});
        std::uint64_t inexact = 0;
        EXPECT_EQ(Decoded(MakeBRTEX(8, 8, 14, Encoded(blank, {}, wanted, &inexact)), {}), wanted) << round;
        EXPECT_EQ(inexact, 0u) << round;
    }
}

// A block of one colour is held at least as near as by the nearest of the
// colours each channel takes, under this decoder, as an endpoint, as the
// 2/3 blend of a field and one not above it (so that the endpoints' words
// are in a four-colour block's order), or as the 1/2 blend of any two.
// (Other blocks may do better: the 2/3 blend of fields in the other order
// where another channel sets the words' order, or a 1/3 blend.)
TEST(Library, CmprHoldsOneColourAsNearAsItsBlends)
{
    // Each channel's values of each weight, as the decoder gives them.
    std::set<int> five[3], six[3];
    for (std::uint16_t p = 0; p < 64; ++p) {
        for (std::uint16_t q = 0; q <= p; ++q) {
            for (const bool green : {false, true}) {
                const auto word = [green](std::uint16_t v) { return static_cast<std::uint16_t>(green ? v << 5 : v << 11 | v); };
                std::set<int>* sets = green ? six : five;
                if (green || p < 32) { // an endpoint; 2/3 of a field and one not above it; 1/2 of any two
                    sets[0].insert(TileOf(word(p), word(p), 0)[green]);
                    sets[1].insert(TileOf(word(p), word(q), p == q ? 0 : 0xAA)[green]);
                    sets[2].insert(TileOf(word(q), word(p), 0xAA)[green]);
                }
            }
        }
    }
    const auto nearest = [](const std::set<int>& values, int v) {
        int best = INT32_MAX;
        for (const int value : values) {
            best = std::min(best, (value - v) * (value - v));
        }
        return best;
    };
    Sequence next{11, 0xFF};
    const Bytes blank = MakeBRTEX(8, 8, 14, Bytes(32, 0));
    for (int round = 0; round < 400; ++round) {
        Bytes flat(8 * 8 * 4);
        int least[4];
        for (std::size_t b = 0; b < 4; ++b) {
            const int colour[3] = {static_cast<int>(next()), static_cast<int>(next()), static_cast<int>(next())};
            least[b] = INT32_MAX;
            for (int w = 0; w < 3; ++w) {
                least[b] = std::min(least[b], nearest(five[w], colour[0]) + nearest(six[w], colour[1]) + nearest(five[w], colour[2]));
            }
            for (std::size_t t = 0; t < 16; ++t) {
                const std::size_t at = TexelAt(b, t);
                flat[at] = static_cast<std::uint8_t>(colour[0]), flat[at + 1] = static_cast<std::uint8_t>(colour[1]);
                flat[at + 2] = static_cast<std::uint8_t>(colour[2]), flat[at + 3] = 255;
            }
        }
        std::uint64_t inexact = 0;
        const Bytes got = Decoded(MakeBRTEX(8, 8, 14, Encoded(blank, {}, flat, &inexact)), {});
        for (std::size_t b = 0; b < 4; ++b) {
            const std::size_t at = 4 * (b / 2 * 4 * 8 + b % 2 * 4);
            int error = 0;
            for (std::size_t c = 0; c < 3; ++c) {
                error += (got[at + c] - flat[at + c]) * (got[at + c] - flat[at + c]);
            }
            EXPECT_LE(error, least[b]) << round << ", block " << b;
        }
    }
}

// The block chosen is one that no step of a field, of one endpoint or of
// both, makes nearer the texels: the search ends where it can go no lower.
TEST(Library, CmprBlocksAreLeftWhereNoStepDoesBetter)
{
    // A block's error: each opaque texel by the nearest colour its endpoints give.
    const auto error = [](std::uint32_t c0, std::uint32_t c1, const Bytes& rgba, std::size_t block) {
        const Bytes colours = TileOf(c0, c1, 0x1B);
        std::uint32_t sum = 0;
        for (std::size_t t = 0; t < 16; ++t) {
            const std::size_t at = TexelAt(block, t);
            std::uint32_t least = UINT32_MAX;
            for (std::size_t i = 0; i < (c0 > c1 ? 4u : 3u); ++i) {
                std::uint32_t d = 0;
                for (std::size_t c = 0; c < 3; ++c) {
                    d += static_cast<std::uint32_t>((colours[4 * i + c] - rgba[at + c]) * (colours[4 * i + c] - rgba[at + c]));
                }
                least = std::min(least, d);
            }
            sum += least;
        }
        return sum;
    };
    Sequence next{17, 0xFF};
    const Bytes blank = MakeBRTEX(8, 8, 14, Bytes(32, 0));
    static constexpr std::uint32_t kShift[3] = {11, 5, 0}, kTop[3] = {31, 63, 31};
    for (int round = 0; round < 100; ++round) {
        Bytes rgba(8 * 8 * 4);
        const int from[3] = {static_cast<int>(next()), static_cast<int>(next()), static_cast<int>(next())};
        const int to[3] = {static_cast<int>(next()), static_cast<int>(next()), static_cast<int>(next())};
        for (std::size_t t = 0; t < 64; ++t) { // a ramp, moved by noise
            for (std::size_t c = 0; c < 3; ++c) {
                const int along = from[c] + (to[c] - from[c]) * static_cast<int>(t % 8 + t / 8) / 14;
                rgba[4 * t + c] = static_cast<std::uint8_t>(std::clamp(along + static_cast<int>(next() % 25) - 12, 0, 255));
            }
            rgba[4 * t + 3] = 255;
        }
        std::uint64_t inexact = 0;
        const Bytes texels = Encoded(blank, {}, rgba, &inexact);
        for (std::size_t b = 0; b < 4; ++b) {
            const std::uint32_t c0 = std::uint32_t{texels[8 * b]} << 8 | texels[8 * b + 1], c1 = std::uint32_t{texels[8 * b + 2]} << 8 | texels[8 * b + 3];
            const std::uint32_t held = error(c0, c1, rgba, b);
            for (std::size_t f = 0; f < 3; ++f) {
                for (const int s0 : {-1, 0, 1}) {
                    for (const int s1 : {-1, 0, 1}) {
                        const std::uint32_t n0 = (c0 >> kShift[f] & kTop[f]) + static_cast<std::uint32_t>(s0),
                                            n1 = (c1 >> kShift[f] & kTop[f]) + static_cast<std::uint32_t>(s1);
                        if (n0 > kTop[f] || n1 > kTop[f]) {
                            continue;
                        }
                        const std::uint32_t m0 = (c0 & ~(kTop[f] << kShift[f])) | n0 << kShift[f], m1 = (c1 & ~(kTop[f] << kShift[f])) | n1 << kShift[f];
                        EXPECT_LE(held, error(m0, m1, rgba, b)) << round << ", block " << b << ", field " << f << ", steps " << s0 << " " << s1;
                    }
                }
            }
        }
    }
}
