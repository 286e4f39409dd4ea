// The two row routines of the BMP writer, each against the bytes every
// pixel must give. The end-to-end tests see only the routine this processor
// runs; this holds both, over every length up to past two vector groups, so
// that the vector loop and the tail behind it both end in the right place.
#include <gtest/gtest.h>

#include "bmp.h"
#include "texels.h"
#include "fixtures.h"

namespace {

TEST(BmpRows, BothRoutinesGiveEveryPixelsBytesAndNoMore)
{
    std::vector<RgbaPixel> row(40);
    for (std::size_t i = 0; i < row.size(); ++i) {
        const auto v = static_cast<std::uint8_t>(i);
        row[i] = RgbaPixel{std::uint8_t(7 * v + 1), std::uint8_t(13 * v + 2), std::uint8_t(29 * v + 3), std::uint8_t(31 * v + 4)};
    }
    std::vector<decltype(&PackRow)> routines{PackRow};
    if (VectorRowsAvailable()) {
        routines.push_back(PackRowVector);
    }
    for (const RowBytes kind : {RowBytes::kColour, RowBytes::kAlpha}) {
        for (std::size_t count = 0; count <= row.size(); ++count) {
            Bytes expected;
            for (std::size_t i = 0; i < count; ++i) {
                const RgbaPixel p = row[i];
                const Bytes three = kind == RowBytes::kColour ? Bytes{p.b, p.g, p.r} : Bytes{p.a, p.a, p.a};
                expected.insert(expected.end(), three.begin(), three.end());
            }
            expected.push_back(0xEE); // past the row: must stay as it was
            for (const auto routine : routines) {
                Bytes out(3 * count + 1, 0xEE);
                routine(kind, row.data(), count, out.data());
                EXPECT_EQ(out, expected) << "kind " << int(kind) << ", count " << count;
            }
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The writers use the vector routine exactly where the processor has SSSE3,
// as the compiler's own feature table tells.
TEST(BmpRows, VectorRoutineWhereThereIsSsse3)
{
    EXPECT_EQ(VectorRowsAvailable(), __builtin_cpu_supports("ssse3") != 0);
}
#endif

} // namespace
