// Pixels and the channel expansions shared by the palette reader and the
// texel decoders. Narrow channels widen to 8 bits by bit replication, so
// that the largest stored value becomes 255 and zero stays zero.
#pragma once

#include <cstdint>

struct RgbaPixel {
    std::uint8_t r;
    std::uint8_t g;
    std::uint8_t b;
    std::uint8_t a;
};

constexpr std::uint8_t Expand3(std::uint32_t v)
{
    return static_cast<std::uint8_t>((v << 5) | (v << 2) | (v >> 1));
}

constexpr std::uint8_t Expand4(std::uint32_t v)
{
    return static_cast<std::uint8_t>((v << 4) | v);
}

constexpr std::uint8_t Expand5(std::uint32_t v)
{
    return static_cast<std::uint8_t>((v << 3) | (v >> 2));
}

constexpr std::uint8_t Expand6(std::uint32_t v)
{
    return static_cast<std::uint8_t>((v << 2) | (v >> 4));
}

// 5:6:5 colour, always opaque.
constexpr RgbaPixel Rgb565(std::uint32_t w)
{
    return RgbaPixel{Expand5((w >> 11) & 0x1F), Expand6((w >> 5) & 0x3F), Expand5(w & 0x1F), 255};
}

// Bit 15 chooses between an opaque 5:5:5 colour and a 3-bit alpha with a
// 4:4:4 colour.
constexpr RgbaPixel Rgb5A3(std::uint32_t w)
{
    if (w & 0x8000) {
        return RgbaPixel{Expand5((w >> 10) & 0x1F), Expand5((w >> 5) & 0x1F), Expand5(w & 0x1F), 255};
    }
    return RgbaPixel{Expand4((w >> 8) & 0xF), Expand4((w >> 4) & 0xF), Expand4(w & 0xF),
                     Expand3((w >> 12) & 7)};
}

// The bytes of one value as a value of another type of the same size, as
// std::bit_cast gives them; some standard libraries still lack that, but
// not the compiler built-in it is made of.
template <typename To, typename From>
constexpr To BitCast(const From& from)
{
    static_assert(sizeof(To) == sizeof(From), "a bit cast keeps the size");
    return __builtin_bit_cast(To, from);
}

constexpr RgbaPixel Grey(std::uint8_t intensity, std::uint8_t alpha)
{
    return RgbaPixel{intensity, intensity, intensity, alpha};
}
