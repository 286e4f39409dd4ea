// Textures with the content that games ship, painted from a seed: smooth
// gradients, noise like stone or grass, patterns like bricks, cut-out alpha
// like leaves, and flat art of few colours; and encoders into every texel
// format, so that benchmarks and browser tests measure what real textures
// cost, not random bytes. Reproducible: the same arguments give the same
// bytes on every machine.
#pragma once

#include <cstdint>

#include "texture_writer.h"

enum class Content { kGradient, kNoise, kPattern, kCutout, kFlat };
inline constexpr Content kContents[] = {Content::kGradient, Content::kNoise, Content::kPattern, Content::kCutout,
                                        Content::kFlat};
const char* ContentName(Content content);

// Row-major R, G, B, A bytes of a `width` x `height` image.
Bytes PaintRGBA(Content content, std::uint16_t width, std::uint16_t height, std::uint32_t seed);

// The texel data of the image in `format` (any texel format code), as the
// decoder walks it. For CI4 and CI8, `*palette` receives the palette's
// entries as RGB5A3 words (entry format 2): 16 or 256 of them.
Bytes EncodeTexels(std::uint32_t format, std::uint16_t width, std::uint16_t height, const Bytes& rgba, Bytes* palette);
