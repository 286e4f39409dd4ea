// Builds BRTEX and BRPLT files byte by byte, for the tests, the benchmarks,
// the fuzz corpus and the sample texture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "containers.h"

using Bytes = std::vector<std::uint8_t>;

// A BRTEX file: `leading` filler bytes, a TEX0 section header declaring the
// geometry and format, then `texels` as they are. The header fields that the
// converter skips hold non-zero filler, so a reader that looks at them shows.
Bytes MakeBRTEX(std::uint16_t width, std::uint16_t height, std::uint32_t format, const Bytes& texels,
                std::size_t leading = 0);

// A BRPLT file: a PLT0 section with the entry format and count, then `entries`.
Bytes MakeBRPLT(std::uint32_t entry_format, std::uint16_t count, const Bytes& entries, std::size_t leading = 0);

inline bool SamePixel(RgbaPixel a, RgbaPixel b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

// Big-endian 16-bit words, one after another.
Bytes Words(const std::vector<std::uint16_t>& words);

// A stream holding `bytes`, positioned at its start; nullptr if no temporary
// file could be made.
std::FILE* OpenBytes(const Bytes& bytes);

bool WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

// The BMP the converter must write for a `width` x `height` image whose
// rows, bottom-up, are given as B G R triplets without padding: the header
// spelled out field by field, each row padded with width mod 4 zero bytes.
Bytes ReferenceBmp(std::uint32_t width, std::uint32_t height, const Bytes& rows_bgr);

// Texel bytes of an RGBA8 texture in its tile order, from row-major pixels
// given as R, G, B, A bytes.
Bytes EncodeRGBA8(std::uint16_t width, std::uint16_t height, const Bytes& rgba);
