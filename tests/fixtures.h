// What the tests share besides the texture writer: a seeded sequence,
// reading a file back, the BMP a conversion must produce, and pixel
// comparison.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "colour.h"
#include "texture_writer.h"

// A seeded sequence of values (of 8 or 16 bits, as `mask` keeps), the same
// on every machine.
struct Sequence {
    std::uint32_t seed;
    std::uint32_t mask;
    std::uint32_t operator()() { return (seed = seed * 1103515245u + 12345u) >> 16 & mask; }
};

inline Bytes ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// The BMP of a `width` x `height` image whose rows, bottom-up, are given as
// B G R triplets without padding: the header spelled out field by field,
// each row padded with width mod 4 zero bytes.
inline Bytes ReferenceBmp(std::uint32_t width, std::uint32_t height, const Bytes& rows_bgr)
{
    const std::uint32_t pad = width % 4;
    Bytes out{'B', 'M'};
    for (std::uint32_t field : {54 + (3 * width + pad) * height, 0u, 54u, 40u, width, height, 0x00180001u, 0u, 0u,
                                57540u, 57540u, 0u, 0u}) {
        for (int shift = 0; shift < 32; shift += 8) { // 0x00180001: one plane, 24 bits per pixel
            out.push_back(static_cast<std::uint8_t>(field >> shift));
        }
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        out.insert(out.end(), rows_bgr.begin() + 3 * width * y, rows_bgr.begin() + 3 * width * (y + 1));
        out.insert(out.end(), pad, 0);
    }
    return out;
}

inline bool SamePixel(RgbaPixel a, RgbaPixel b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}
