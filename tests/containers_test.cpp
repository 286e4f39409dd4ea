#include <gtest/gtest.h>

#include <cstring>

#include "containers.h"
#include "fixtures.h"

namespace {

// Runs `reader` over `bytes` with a record whose fields hold a sentinel.
struct Outcome {
    int found;
    TextureData texture;
    std::uint64_t position;
};

Outcome Read(int (*reader)(InputStream*, TextureData*), const Bytes& bytes)
{
    Outcome out{};
    std::memset(&out.texture, 0x5A, sizeof out.texture);
    std::FILE* file = OpenBytes(bytes);
    EXPECT_NE(file, nullptr);
    InputStream in;
    BeginInput(&in, file);
    out.found = reader(&in, &out.texture);
    out.position = InputPosition(&in);
    std::fclose(file);
    return out;
}

Bytes Text(const char* s)
{
    return Bytes(s, s + std::strlen(s));
}

} // namespace

// A byte that breaks a partial match is never the start of a new one.
TEST(SectionScan, FindsTheFirstMagicThatStartsAfterAFailedByte)
{
    struct Case {
        const char* prefix; // the file's first bytes, ending with the section's magic if it has one
        int start;          // where the section is found, or -1
    } cases[] = {
        {"TEX0", 0},        {"ab\x01TEX0", 3},  {"TTEX0", -1},          {"TETEX0", -1},  {"TEXTEX0", -1},
        {"TTEX0TEX0", 5},   {"TEXTEX0TEX0", 7}, {"TEX1TEX0", 4},        {"TEX", -1},     {"", -1},
        {"TE\xD4TEX0", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix);
        Bytes file = Text(c.prefix);
        const std::size_t header_at = file.size();
        // The rest of a header, then one texel byte, all free of the magic.
        const Bytes tail = MakeBRTEX(300, 7, 0x0102030E, Bytes{0xEE});
        file.insert(file.end(), tail.begin() + 4, tail.end());
        const Outcome got = Read(ReadBRTEX, file);
        if (c.start < 0) {
            EXPECT_EQ(got.found, 0);
            EXPECT_EQ(got.texture.width, 0x5A5A5A5A);
            continue;
        }
        ASSERT_EQ(static_cast<std::size_t>(c.start) + 4, header_at);
        EXPECT_EQ(got.found, 1);
        EXPECT_EQ(got.texture.width, 300);
        EXPECT_EQ(got.texture.height, 7);
        EXPECT_EQ(got.texture.format, 0x0102030Eu);
        EXPECT_EQ(got.position, static_cast<std::uint64_t>(c.start) + 64);
    }
}

// Reads that cross the buffer's refill keep their order and their offsets.
TEST(FieldReaders, SpansAcrossRefills)
{
    Bytes bytes(3 * kInputBufferSize + 7);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    std::FILE* file = OpenBytes(bytes);
    ASSERT_NE(file, nullptr);
    InputStream in;
    BeginInput(&in, file);
    std::size_t at = 0;
    for (std::size_t step = 1; at + step <= bytes.size(); step = step % kMaxSpan + 3) {
        const std::uint8_t* span = ReadSpan(&in, step);
        ASSERT_EQ(0, std::memcmp(span, &bytes[at], step)) << "at " << at;
        at += step;
        ASSERT_EQ(InputPosition(&in), at);
    }
    SkipTo(&in, bytes.size() - 2);
    EXPECT_EQ(R16next(&in), Load16(&bytes[bytes.size() - 2]));
    std::fclose(file);
}

TEST(ReadBRTEX, FileEndingInsideTheHeaderLeavesZeros)
{
    Bytes file = MakeBRTEX(0x1234, 0x5678, 4, {});
    file.resize(29); // the high byte of the width is the last one
    const Outcome got = Read(ReadBRTEX, file);
    EXPECT_EQ(got.found, 1);
    EXPECT_EQ(got.texture.width, 0x1200);
    EXPECT_EQ(got.texture.height, 0);
    EXPECT_EQ(got.texture.format, 0u);
}

TEST(ReadBRPLT, DecodesEachEntryFormat)
{
    struct Case {
        std::uint32_t entry_format;
        std::uint8_t hi, lo;
        RgbaPixel expected;
    } cases[] = {
        {0, 0x7F, 0x80, {0x7F, 0x7F, 0x7F, 0x80}},   // intensity, then alpha
        {1, 0xF8, 0x00, {255, 0, 0, 255}},           // 5:6:5
        {1, 0x07, 0xE0, {0, 255, 0, 255}},           //
        {1, 0x08, 0x21, {8, 4, 8, 255}},             // lowest bit of each field
        {2, 0x80, 0x00, {0, 0, 0, 255}},             // 5:5:5, opaque
        {2, 0xFC, 0x00, {255, 0, 0, 255}},           //
        {3, 0x7F, 0xFF, {255, 255, 255, 255}},       // 3:4:4:4
        {0xFFFFFFFF, 0x00, 0x00, {0, 0, 0, 0}},      //
        {7, 0x31, 0x2F, {0x11, 0x22, 0xFF, 0x6D}},   //
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.entry_format << " entry " << int(c.hi) << " " << int(c.lo));
        const Outcome got = Read(ReadBRPLT, MakeBRPLT(c.entry_format, 1, Bytes{c.hi, c.lo}, 5));
        EXPECT_EQ(got.found, 1);
        EXPECT_TRUE(SamePixel(got.texture.palette[0], c.expected));
        EXPECT_TRUE(SamePixel(got.texture.palette[1], RgbaPixel{0x5A, 0x5A, 0x5A, 0x5A}));
    }
}

TEST(ReadBRPLT, StoresOnlyTheCountedEntriesAndNoMoreThan256)
{
    const RgbaPixel untouched{0x5A, 0x5A, 0x5A, 0x5A};
    struct Case {
        std::uint16_t count;
        std::size_t stored;
    } cases[] = {{0, 0}, {16, 16}, {256, 256}, {300, 256}, {65535, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        Bytes entries;
        for (std::size_t i = 0; i < c.count; ++i) {
            entries.push_back(static_cast<std::uint8_t>(i));
            entries.push_back(0xFF);
        }
        const Outcome got = Read(ReadBRPLT, MakeBRPLT(0, c.count, entries));
        EXPECT_EQ(got.found, 1);
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint8_t v = static_cast<std::uint8_t>(i);
            EXPECT_TRUE(SamePixel(got.texture.palette[i], i < c.stored ? RgbaPixel{v, v, v, 0xFF} : untouched))
                << "entry " << i;
        }
        RgbaPixel* sentinel;
        std::memset(&sentinel, 0x5A, sizeof sentinel);
        EXPECT_EQ(got.texture.pixels, sentinel) << "an entry was stored past the palette";
    }
}
