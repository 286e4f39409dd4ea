#include "reference_decoder.h"

#include "colour.h"

namespace {

// The format codes as files store them.
enum Code : std::uint32_t { I4, I8, IA4, IA8, RGB565, RGB5A3, RGBA8, CI4 = 8, CI8, CMPR = 14 };

// Past the end of the data the reference reads zeros and stays where it is.
struct Reader {
    const std::uint8_t* bytes;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t Byte() { return at < size ? bytes[at++] : 0; }
    std::uint32_t Word()
    {
        const std::uint32_t high = Byte(); // read first: the operands of | are not sequenced
        return high << 8 | Byte();
    }
};

std::uint8_t Blend(std::uint8_t a, std::uint8_t b, float w)
{
    return static_cast<std::uint8_t>(static_cast<int>(a * double{w} + b * (1.0 - double{w})));
}

// Four 4 x 4 blocks a tile: endpoints always, index bytes for image rows.
void ReferenceCmpr(Reader* in, TextureData* t)
{
    for (int ty = 0; ty < (t->height + 7) / 8; ++ty) {
        for (int tx = 0; tx < (t->width + 7) / 8; ++tx) {
            for (int block = 0; block < 4; ++block) {
                const std::uint32_t c0 = in->Word(), c1 = in->Word();
                const RgbaPixel p0 = Rgb565(c0), p1 = Rgb565(c1);
                for (int y = (ty * 2 + block / 2) * 4; y < (ty * 2 + block / 2) * 4 + 4 && y < t->height; ++y) {
                    const std::uint8_t indexes = in->Byte();
                    for (int k = 0, x = (tx * 2 + block % 2) * 4; k < 4 && x < t->width; ++k, ++x) {
                        const int i = (indexes >> (6 - 2 * k)) & 3;
                        const float w = i == 0 ? 1.0f : i == 1 ? 0.0f : i == 3 ? 0.33333334f : c1 < c0 ? 0.6666667f : 0.5f;
                        const auto alpha = std::uint8_t(i == 3 && c1 >= c0 ? 0 : 255);
                        const RgbaPixel p{Blend(p0.r, p1.r, w), Blend(p0.g, p1.g, w), Blend(p0.b, p1.b, w), alpha};
                        t->pixels[y * t->width + x] = p;
                    }
                }
            }
        }
    }
}

void DecodeAny(Reader* in, TextureData* t)
{
    const std::uint32_t f = t->format;
    if (f == CMPR) {
        return ReferenceCmpr(in, t);
    }
    if (f > CI8 || f == 7) {
        return; // not a texel format
    }
    const bool nibbles = f == I4 || f == CI4;
    const bool words = f == IA8 || f == RGB565 || f == RGB5A3;
    const int tw = words || f == RGBA8 ? 4 : 8;
    const int th = nibbles ? 8 : 4;
    for (int ty = 0; ty < (t->height + th - 1) / th; ++ty) {
        for (int tx = 0; tx < (t->width + tw - 1) / tw; ++tx) {
            for (int pass = 0; pass < (f == RGBA8 ? 2 : 1); ++pass) {
                for (int y = ty * th; y < ty * th + th && y < t->height; ++y) {
                    for (int x = tx * tw; x < tx * tw + tw && x < t->width; x += nibbles ? 2 : 1) {
                        RgbaPixel* p = &t->pixels[y * t->width + x];
                        const std::uint32_t v = words ? in->Word() : in->Byte();
                        const std::uint8_t hi = Expand4(v >> 4), lo = Expand4(v & 15);
                        if (nibbles) {
                            p[0] = f == I4 ? Grey(hi, hi) : t->palette[v >> 4];
                            if (x + 1 < t->width) {
                                p[1] = f == I4 ? Grey(lo, lo) : t->palette[v & 15];
                            }
                        } else if (f == RGBA8) {
                            (pass == 0 ? p->a : p->g) = std::uint8_t(v);
                            (pass == 0 ? p->r : p->b) = in->Byte();
                        } else {
                            *p = f == I8 ? Grey(std::uint8_t(v), std::uint8_t(v)) : f == IA4 ? Grey(lo, hi)
                                : f == CI8 ? t->palette[v] : f == IA8 ? Grey(std::uint8_t(v), std::uint8_t(v >> 8))
                                : f == RGB565 ? Rgb565(v) : Rgb5A3(v);
                        }
                    }
                }
            }
        }
    }
}

} // namespace

std::size_t ReferenceDecode(const std::uint8_t* texels, std::size_t size, TextureData* texture)
{
    Reader reader{texels, size};
    DecodeAny(&reader, texture);
    return reader.at;
}
