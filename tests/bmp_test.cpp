#include <gtest/gtest.h>

#include <filesystem>

#include "bmp.h"
#include "fixtures.h"

namespace {

std::uint32_t Le32(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint32_t Le16(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8);
}

Bytes Capture(void (*writer)(std::FILE*, std::int32_t, std::int32_t, const RgbaPixel*), std::int32_t width,
              std::int32_t height, const std::vector<RgbaPixel>& pixels)
{
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    writer(file, width, height, pixels.data());
    Bytes out(static_cast<std::size_t>(std::ftell(file)));
    std::rewind(file);
    EXPECT_EQ(std::fread(out.data(), 1, out.size(), file), out.size());
    std::fclose(file);
    return out;
}

} // namespace

// Widths 5 to 8 take every padding from 1 to 3 and none; both writers share
// the header and row order and differ only in the bytes of a pixel.
TEST(BmpWriter, HeaderPaddingAndBottomUpRows)
{
    for (bool alpha : {false, true}) {
        for (std::int32_t width = 5; width <= 8; ++width) {
            SCOPED_TRACE(testing::Message() << "width " << width << (alpha ? " alpha" : " colour"));
            const std::int32_t height = 2;
            std::vector<RgbaPixel> pixels;
            for (std::int32_t y = 0; y < height; ++y) {
                for (std::int32_t x = 0; x < width; ++x) {
                    pixels.push_back(RgbaPixel{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 0x80,
                                               static_cast<std::uint8_t>(x + 10 * y)});
                }
            }
            const Bytes file = Capture(alpha ? WriteAlphaBMP : WriteColorBMP, width, height, pixels);
            const std::size_t pad = (4 - (3 * width) % 4) % 4;
            const std::size_t row = 3 * width + pad;
            ASSERT_EQ(file.size(), 54 + row * height);
            EXPECT_EQ(pad, static_cast<std::size_t>(width % 4));
            EXPECT_EQ(file[0], 'B');
            EXPECT_EQ(file[1], 'M');
            const std::vector<std::pair<std::size_t, std::uint32_t>> fields = {
                {2, static_cast<std::uint32_t>(file.size())}, {6, 0}, {10, 54}, {14, 40},
                {18, static_cast<std::uint32_t>(width)}, {22, 2}, {30, 0}, {34, 0}, {38, 57540}, {42, 57540},
                {46, 0}, {50, 0}};
            for (const auto& [offset, value] : fields) {
                EXPECT_EQ(Le32(file, offset), value) << "header offset " << offset;
            }
            EXPECT_EQ(Le16(file, 26), 1u);
            EXPECT_EQ(Le16(file, 28), 24u);
            for (std::int32_t y = 0; y < height; ++y) {
                const std::size_t start = 54 + row * static_cast<std::size_t>(height - 1 - y);
                for (std::int32_t x = 0; x < width; ++x) {
                    const std::uint8_t* got = &file[start + 3 * x];
                    const std::uint8_t a = static_cast<std::uint8_t>(x + 10 * y);
                    const Bytes expected = alpha ? Bytes{a, a, a} : Bytes{0x80, static_cast<std::uint8_t>(y),
                                                                          static_cast<std::uint8_t>(x)};
                    EXPECT_EQ(Bytes(got, got + 3), expected) << "pixel " << x << "," << y;
                }
                for (std::size_t p = 0; p < pad; ++p) {
                    EXPECT_EQ(file[start + 3 * width + p], 0) << "padding of row " << y;
                }
            }
        }
    }
}

TEST(BmpWriter, SizeFieldOfLargestDimensions)
{
    EXPECT_EQ(BMPFileSize(5, 2), 86u);
    EXPECT_EQ(BMPFileSize(0, 65535), 54u);
    EXPECT_EQ(BMPFileSize(65535, 65535), 54u + (3u * 65535u + 3u) * 65535ull);
}

// A stream that refuses writes must carry the error out of the writer.
TEST(BmpWriter, LeavesWriteErrorOnStream)
{
    const std::string path = (std::filesystem::temp_directory_path() / "kestrune-read-only.bin").string();
    ASSERT_TRUE(WriteFile(path, Bytes{1}));
    std::FILE* read_only = std::fopen(path.c_str(), "rb");
    ASSERT_NE(read_only, nullptr);
    const std::vector<RgbaPixel> pixels(64 * 64);
    WriteColorBMP(read_only, 64, 64, pixels.data());
    EXPECT_NE(std::ferror(read_only), 0);
    std::fclose(read_only);
    std::remove(path.c_str());
}
