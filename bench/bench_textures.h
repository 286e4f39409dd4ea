// The textures both benchmarks convert: square, every format, texel bytes
// from a fixed pseudo-random sequence so that every run sees the same data.
#pragma once

#include <cstdint>
#include <cstring>

#include "texture_writer.h"

struct BenchFormat {
    const char* name;
    std::uint32_t code;
    std::uint32_t bits_per_texel;
};

inline constexpr BenchFormat kBenchFormats[] = {
    {"I4", 0, 4},      {"I8", 1, 8},      {"IA4", 2, 8}, {"IA8", 3, 16}, {"RGB565", 4, 16},
    {"RGB5A3", 5, 16}, {"RGBA8", 6, 32},  {"CI4", 8, 4}, {"CI8", 9, 8},  {"CMPR", 14, 4},
};

inline const BenchFormat* FindBenchFormat(const char* name)
{
    for (const BenchFormat& f : kBenchFormats) {
        if (std::strcmp(f.name, name) == 0) {
            return &f;
        }
    }
    return nullptr;
}

inline Bytes PseudoRandomBytes(std::size_t count, std::uint64_t seed)
{
    Bytes out(count);
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        out[i] = static_cast<std::uint8_t>(state >> 24);
    }
    return out;
}

// The texel data of a size x size texture; for sizes that are multiples of
// 8 this is exactly what the decoder consumes.
inline Bytes BenchTexels(const BenchFormat& format, std::uint16_t size)
{
    const std::size_t texels = static_cast<std::size_t>(size) * size;
    return PseudoRandomBytes(texels * format.bits_per_texel / 8, format.code);
}

inline Bytes BenchTexture(const BenchFormat& format, std::uint16_t size)
{
    return MakeBRTEX(size, size, format.code, BenchTexels(format, size));
}

inline Bytes BenchPalette()
{
    return MakeBRPLT(2, 256, PseudoRandomBytes(512, 99));
}
