// Writes BRTEX and BRPLT files byte by byte: the sample texture, the
// benchmark textures, the fuzz corpus and every test file come from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A BRTEX file: `leading` filler bytes, a TEX0 section header declaring the
// geometry and format, then `texels` as they are. The header fields that the
// converter skips hold non-zero filler, so a reader that looks at them shows.
Bytes MakeBRTEX(std::uint16_t width, std::uint16_t height, std::uint32_t format, const Bytes& texels,
                std::size_t leading = 0);

// A BRPLT file: a PLT0 section with the entry format and count, then `entries`.
Bytes MakeBRPLT(std::uint32_t entry_format, std::uint16_t count, const Bytes& entries, std::size_t leading = 0);

// Big-endian 16-bit words, one after another.
Bytes Words(const std::vector<std::uint16_t>& words);

// Texel bytes of an RGBA8 texture in its tile order, from row-major pixels
// given as R, G, B, A bytes.
Bytes EncodeRGBA8(std::uint16_t width, std::uint16_t height, const Bytes& rgba);

// A stream holding `bytes`, positioned at its start; nullptr if no temporary
// file could be made.
std::FILE* OpenBytes(const Bytes& bytes);

bool WriteFile(const std::string& path, const Bytes& bytes);
