#include <gtest/gtest.h>

#include <cstring>

#include "containers.h"
#include "fixtures.h"

namespace {

// What a reader did to a record whose every byte was 0x5A.
struct Outcome {
    int found;
    TextureData texture;
    std::uint64_t position;
};

const RgbaPixel kUntouched{0x5A, 0x5A, 0x5A, 0x5A};

Outcome Read(int (*reader)(InputStream*, TextureData*), const Bytes& bytes)
{
    Outcome out{};
    std::memset(&out.texture, 0x5A, sizeof out.texture);
    std::FILE* file = OpenBytes(bytes);
    EXPECT_NE(file, nullptr);
    FileInput in;
    BeginInput(&in, file);
    out.found = reader(&in, &out.texture);
    out.position = InputPosition(&in);
    std::fclose(file);
    return out;
}

} // namespace

// A byte that breaks a partial match is never the start of a new one. The
// magic may lie anywhere, across the reader's first refill too, and the
// header behind it.
TEST(ReadBRTEX, FindsTheFirstMagicThatStartsAfterAFailedByte)
{
    struct Case {
        const char* prefix; // the bytes after `leading` zeros, up to the section's magic if it has one
        std::size_t leading;
        bool found;
    } cases[] = {
        {"TEX0", 0, true},         {"ab\x01TEX0", 0, true}, {"TTEX0", 0, false},     {"TETEX0", 0, false},
        {"TEXTEX0", 0, false},     {"TTEX0TEX0", 0, true},  {"TEXTEX0TEX0", 0, true}, {"TEX1TEX0", 0, true},
        {"TEX", 0, false},         {"", 0, false},          {"TE\xD4TEX0", 0, true},  {"TEX0", 65500, true},
        {"TTEX0TEX0", 65530, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.prefix << " after " << c.leading);
        Bytes file(c.leading, 0); // zero bytes, which a scan must read past
        file.insert(file.end(), c.prefix, c.prefix + std::strlen(c.prefix));
        const std::size_t start = file.size() - 4;
        // The rest of a header, then one texel byte, all free of the magic.
        const Bytes tail = MakeBRTEX(300, 7, 0x0102030E, Bytes{0xEE});
        file.insert(file.end(), tail.begin() + 4, tail.end());
        const Outcome got = Read(ReadBRTEX, file);
        EXPECT_EQ(got.found, c.found ? 1 : 0);
        EXPECT_EQ(got.texture.width, c.found ? 300 : 0x5A5A5A5A);
        if (c.found) {
            EXPECT_EQ(got.texture.height, 7);
            EXPECT_EQ(got.texture.format, 0x0102030Eu);
            EXPECT_EQ(got.position, start + 64);
        }
    }
}

// Each entry decoding, and through it the colour rules: every field at its
// largest value and with one bit set, and each of the eight alpha steps.
TEST(ReadBRPLT, DecodesEachEntryFormatAndColourRule)
{
    struct Case {
        std::uint32_t entry_format;
        std::uint16_t word;
        RgbaPixel expected;
    } cases[] = {
        {0, 0x7F80, {0x7F, 0x7F, 0x7F, 0x80}}, // intensity, then alpha
        {1, 0xF800, {255, 0, 0, 255}},         {1, 0x07E0, {0, 255, 0, 255}},       {1, 0x001F, {0, 0, 255, 255}},
        {1, 0x0821, {8, 4, 8, 255}},           {1, 0x8410, {132, 130, 132, 255}},   {2, 0x8000, {0, 0, 0, 255}},
        {2, 0xFC00, {255, 0, 0, 255}},         {2, 0x83E0, {0, 255, 0, 255}},       {2, 0xC210, {132, 132, 132, 255}},
        {2, 0x0000, {0, 0, 0, 0}},             {3, 0x7FFF, {255, 255, 255, 255}},   {0xFFFFFFFF, 0x1111, {17, 17, 17, 36}},
        {7, 0x2F12, {255, 17, 34, 73}},        {2, 0x3888, {136, 136, 136, 109}},   {2, 0x4124, {17, 34, 68, 146}},
        {2, 0x5000, {0, 0, 0, 182}},           {2, 0x6000, {0, 0, 0, 219}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.entry_format << " entry " << std::hex << c.word);
        const Outcome got = Read(ReadBRPLT, MakeBRPLT(c.entry_format, 1, Words({c.word}), 5));
        EXPECT_EQ(got.found, 1);
        EXPECT_TRUE(SamePixel(got.texture.palette[0], c.expected));
        EXPECT_TRUE(SamePixel(got.texture.palette[1], kUntouched));
    }
}

// Entries past the 256th cannot be indexed and are never stored; a palette
// behind 64 KiB of other bytes is found all the same.
TEST(ReadBRPLT, StoresOnlyTheCountedEntriesAndNoMoreThan256)
{
    for (const auto& [count, leading] : {std::pair{0, 0}, {16, 65537}, {255, 0}, {256, 0}, {300, 3}, {65535, 0}}) {
        SCOPED_TRACE(count);
        Bytes entries;
        for (int i = 0; i < count; ++i) {
            entries.insert(entries.end(), {static_cast<std::uint8_t>(i), 0xFF});
        }
        const Outcome got = Read(ReadBRPLT, MakeBRPLT(0, static_cast<std::uint16_t>(count), entries,
                                                      static_cast<std::size_t>(leading)));
        EXPECT_EQ(got.found, 1);
        for (int i = 0; i < 256; ++i) {
            const auto v = static_cast<std::uint8_t>(i);
            EXPECT_TRUE(SamePixel(got.texture.palette[i], i < count ? RgbaPixel{v, v, v, 0xFF} : kUntouched)) << i;
        }
        RgbaPixel* sentinel;
        std::memset(&sentinel, 0x5A, sizeof sentinel);
        EXPECT_EQ(got.texture.pixels, sentinel) << "an entry was stored past the palette";
    }
    EXPECT_EQ(Read(ReadBRPLT, MakeBRTEX(1, 1, 9, Bytes(64, 0))).found, 0);
}
