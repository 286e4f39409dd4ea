// Writes the sample textures shipped in examples/:
// - sample.brtex, a 128 x 128 RGBA8 image: a colour gradient under a
//   checkerboard, with a ring of alpha that fades out towards the corners;
// - sign.brtex, a 64 x 32 CI8 image of a sign board with an arrow and
//   transparent corners, and sign.brplt, its palette of RGB5A3 entries.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "texture_writer.h"

namespace {

Bytes SampleTexture()
{
    constexpr int kSize = 128;
    Bytes rgba;
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const bool dark = ((x / 16) + (y / 16)) % 2 == 0;
            const double dx = x - 63.5, dy = y - 63.5;
            const double radius = std::sqrt(dx * dx + dy * dy);
            const double fade = radius > 90 ? 0.0 : 1.0 - radius / 90;
            const bool ring = radius > 40 && radius < 48;
            rgba.push_back(static_cast<std::uint8_t>(x * 2));
            rgba.push_back(static_cast<std::uint8_t>(y * 2));
            rgba.push_back(static_cast<std::uint8_t>(ring ? 255 : dark ? 64 : 192));
            rgba.push_back(static_cast<std::uint8_t>(ring ? 255 : 255 * fade));
        }
    }
    return MakeBRTEX(kSize, kSize, 6, EncodeRGBA8(kSize, kSize, rgba));
}

constexpr int kSignWidth = 64;
constexpr int kSignHeight = 32;

// Palette indexes of the sign: 0 is transparent, 1 the border, 2 to 9 the
// board shaded from top to bottom, 10 the arrow.
std::uint8_t SignIndex(int x, int y)
{
    const int cx = std::abs(2 * x + 1 - kSignWidth) / 2, cy = std::abs(2 * y + 1 - kSignHeight) / 2;
    const int corner_x = cx - (kSignWidth / 2 - 6), corner_y = cy - (kSignHeight / 2 - 6);
    if (corner_x > 0 && corner_y > 0 && corner_x * corner_x + corner_y * corner_y > 36) {
        return 0; // outside the rounded corner
    }
    if (cx >= kSignWidth / 2 - 2 || cy >= kSignHeight / 2 - 2) {
        return 1;
    }
    const bool shaft = x >= 14 && x < 40 && cy < 3;
    const bool head = x >= 40 && x < 52 && cy <= 51 - x;
    return shaft || head ? 10 : static_cast<std::uint8_t>(2 + y * 8 / kSignHeight);
}

// CI8 stores 8 x 4 tiles, one index byte a texel; the sign's size is a
// whole number of tiles.
Bytes SignTexture()
{
    Bytes texels;
    for (int ty = 0; ty < kSignHeight; ty += 4) {
        for (int tx = 0; tx < kSignWidth; tx += 8) {
            for (int y = ty; y < ty + 4; ++y) {
                for (int x = tx; x < tx + 8; ++x) {
                    texels.push_back(SignIndex(x, y));
                }
            }
        }
    }
    return MakeBRTEX(kSignWidth, kSignHeight, 9, texels);
}

// RGB5A3 entries (entry format 2): a transparent one, then opaque 5:5:5
// colours with bit 15 set.
Bytes SignPalette()
{
    std::vector<std::uint16_t> entries = {0x0000, 0x8000 | 6 << 10 | 3 << 5 | 1};
    for (int shade = 0; shade < 8; ++shade) {
        entries.push_back(static_cast<std::uint16_t>(0x8000 | 31 << 10 | (28 - 2 * shade) << 5 | 4));
    }
    entries.push_back(0x8000 | 2 << 10 | 2 << 5 | 12);
    return MakeBRPLT(2, static_cast<std::uint16_t>(entries.size()), Words(entries));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample <folder>\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const struct {
        const char* name;
        Bytes bytes;
    } files[] = {{"sample.brtex", SampleTexture()}, {"sign.brtex", SignTexture()}, {"sign.brplt", SignPalette()}};
    for (const auto& file : files) {
        if (!WriteFile(folder + file.name, file.bytes)) {
            std::fprintf(stderr, "make_sample: cannot write %s%s\n", folder.c_str(), file.name);
            return 1;
        }
    }
    return 0;
}
