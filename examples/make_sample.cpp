// Writes the sample texture shipped in examples/: a 128 x 128 RGBA8 image,
// a colour gradient under a checkerboard, with a ring of alpha that fades out
// towards the corners.
#include <cmath>
#include <cstdio>

#include "texture_writer.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample <output.brtex>\n");
        return 2;
    }
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
    if (!WriteFile(argv[1], MakeBRTEX(kSize, kSize, 6, EncodeRGBA8(kSize, kSize, rgba)))) {
        std::fprintf(stderr, "make_sample: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
