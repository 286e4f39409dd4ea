#include <gtest/gtest.h>

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

// Widths 5 to 8 take every padding; 255 x 256 makes a file past 64 KiB, so
// the size field's upper half counts, and rows fill the writer's buffer at
// every offset, the padding of one row included.
TEST(BmpWriter, HeaderPaddingAndBottomUpRows)
{
    for (const auto& [width, height] : {std::pair{5, 3}, {6, 3}, {7, 3}, {8, 3}, {255, 256}}) {
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        std::vector<RgbaPixel> pixels;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                pixels.push_back(RgbaPixel{std::uint8_t(x), std::uint8_t(y), std::uint8_t(x ^ 0x80), std::uint8_t(x + y)});
            }
        }
        Bytes colour, alpha; // bottom-up, as stored
        for (int y = height - 1; y >= 0; --y) {
            for (int x = 0; x < width; ++x) {
                const RgbaPixel p = pixels[static_cast<std::size_t>(y * width + x)];
                colour.insert(colour.end(), {p.b, p.g, p.r});
                alpha.insert(alpha.end(), 3, p.a);
            }
        }
        EXPECT_EQ(Capture(WriteColorBMP, width, height, pixels), ReferenceBmp(width, height, colour));
        EXPECT_EQ(Capture(WriteAlphaBMP, width, height, pixels), ReferenceBmp(width, height, alpha));
    }
}
