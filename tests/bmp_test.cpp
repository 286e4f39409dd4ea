#include <gtest/gtest.h>

#include <filesystem>

#include "bmp.h"
#include "fixtures.h"

namespace {

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
    for (std::int32_t width = 5; width <= 8; ++width) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        const std::int32_t height = 3;
        std::vector<RgbaPixel> pixels;
        Bytes colour_rows, alpha_rows; // bottom-up, as stored
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                const auto a = static_cast<std::uint8_t>(x + 10 * y);
                pixels.push_back(RgbaPixel{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 0x80, a});
                const Bytes colour{0x80, static_cast<std::uint8_t>(height - 1 - y), static_cast<std::uint8_t>(x)};
                colour_rows.insert(colour_rows.end(), colour.begin(), colour.end());
                alpha_rows.insert(alpha_rows.end(), 3, static_cast<std::uint8_t>(x + 10 * (height - 1 - y)));
            }
        }
        EXPECT_EQ(Capture(WriteColorBMP, width, height, pixels), ReferenceBmp(width, height, colour_rows));
        EXPECT_EQ(Capture(WriteAlphaBMP, width, height, pixels), ReferenceBmp(width, height, alpha_rows));
    }
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
