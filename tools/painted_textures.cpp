#include "painted_textures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace {

struct Rgba {
    double r, g, b, a;
};

std::uint32_t Hash(std::uint32_t x, std::uint32_t y, std::uint32_t seed)
{
    std::uint32_t h = x * 0x8DA6B343u ^ y * 0xD8163841u ^ (seed + 1) * 0xCB1AB31Fu;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    return h ^ (h >> 15);
}

double Unit(std::uint32_t h)
{
    return (h >> 8) / 16777216.0;
}

// Value noise with smooth steps between lattice points, 0 to 1.
double Noise(double x, double y, std::uint32_t seed)
{
    const double fx = std::floor(x), fy = std::floor(y);
    const auto ix = static_cast<std::uint32_t>(static_cast<std::int64_t>(fx)),
               iy = static_cast<std::uint32_t>(static_cast<std::int64_t>(fy));
    const double tx = x - fx, ty = y - fy;
    const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
    const double top = Unit(Hash(ix, iy, seed)) * (1 - sx) + Unit(Hash(ix + 1, iy, seed)) * sx;
    const double bottom = Unit(Hash(ix, iy + 1, seed)) * (1 - sx) + Unit(Hash(ix + 1, iy + 1, seed)) * sx;
    return top * (1 - sy) + bottom * sy;
}

// Octaves of noise, finer ones fainter, as stone, grass or bark look.
double Fractal(double x, double y, std::uint32_t seed)
{
    double sum = 0, amplitude = 0.5, total = 0;
    for (int octave = 0; octave < 5; ++octave, x *= 2, y *= 2, amplitude /= 2) {
        sum += amplitude * Noise(x, y, seed + static_cast<std::uint32_t>(octave));
        total += amplitude;
    }
    return sum / total;
}

Rgba SeededColour(std::uint32_t seed, std::uint32_t which)
{
    const std::uint32_t h = Hash(which, 77, seed);
    return Rgba{40 + (h & 0xFF) * 0.7, 40 + ((h >> 8) & 0xFF) * 0.7, 40 + ((h >> 16) & 0xFF) * 0.7, 255};
}

Rgba Mix(Rgba a, Rgba b, double t)
{
    return Rgba{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t};
}

Rgba Scaled(Rgba c, double k)
{
    return Rgba{c.r * k, c.g * k, c.b * k, c.a};
}

// Each painter sees coordinates scaled to the image, so that a small and a
// large texture of one seed show the same picture at two resolutions.
Rgba Gradient(double u, double v, std::uint32_t seed)
{
    const Rgba glow = Mix(SeededColour(seed, 0), SeededColour(seed, 1), (u + v) / 2);
    const double d = std::hypot(u - 0.3, v - 0.35);
    return Mix(glow, SeededColour(seed, 2), std::min(1.0, d * 0.9));
}

Rgba Stone(double u, double v, std::uint32_t seed)
{
    const Rgba tint = Mix(SeededColour(seed, 3), SeededColour(seed, 4), Fractal(u * 3, v * 3, seed + 17));
    return Scaled(tint, 0.55 + 0.8 * Fractal(u * 8, v * 8, seed));
}

Rgba Bricks(double u, double v, std::uint32_t seed)
{
    const double rows = 8, across = 4;
    const double row = std::floor(v * rows);
    const double shifted = u * across + (static_cast<int>(row) % 2) * 0.5;
    const double fu = shifted - std::floor(shifted), fv = v * rows - row;
    if (fu < 0.04 || fv < 0.08) {
        return Scaled(Rgba{190, 185, 175, 255}, 0.85 + 0.2 * Fractal(u * 32, v * 32, seed));
    }
    const std::uint32_t brick = Hash(static_cast<std::uint32_t>(std::floor(shifted)), static_cast<std::uint32_t>(row), seed);
    const Rgba red = Mix(Rgba{150, 60, 45, 255}, Rgba{120, 70, 55, 255}, Unit(brick));
    return Scaled(red, 0.8 + 0.35 * Fractal(u * 24, v * 24, seed + 9));
}

Rgba Leaves(double u, double v, std::uint32_t seed)
{
    const double shape = Fractal(u * 4, v * 4, seed) + 0.35 * (1 - 2 * std::hypot(u - 0.5, v - 0.5));
    const Rgba tint = Mix(Rgba{70, 130, 40, 255}, Rgba{120, 140, 30, 255}, Fractal(u * 6, v * 6, seed + 3));
    Rgba green = Scaled(tint, 0.6 + 0.7 * Fractal(u * 16, v * 16, seed + 5));
    green.a = shape > 0.6 ? 255 : 0;
    return green;
}

// A sign or an icon: a few flat colours, a transparent surround.
Rgba Flat(double u, double v, std::uint32_t seed)
{
    const double d = std::hypot(u - 0.5, v - 0.5);
    if (d > 0.48) {
        return Rgba{0, 0, 0, 0};
    }
    if (d > 0.42) {
        return SeededColour(seed, 10);
    }
    if (std::fabs(v - 0.5) < 0.08 && std::fabs(u - 0.5) < 0.3) {
        return Rgba{250, 250, 250, 255};
    }
    return std::fmod(std::floor(u * 10) + std::floor(v * 10), 2) == 0 ? SeededColour(seed, 11) : SeededColour(seed, 12);
}

std::uint8_t Byte(double value)
{
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

using Pixel = const std::uint8_t*;

int Luma(Pixel p)
{
    return (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000;
}

std::uint16_t Pack565(Pixel p)
{
    return static_cast<std::uint16_t>(((p[0] >> 3) << 11) | ((p[1] >> 2) << 5) | (p[2] >> 3));
}

std::uint16_t Pack5A3(Pixel p)
{
    if (p[3] >= 0xE0) {
        return static_cast<std::uint16_t>(0x8000 | ((p[0] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[2] >> 3));
    }
    return static_cast<std::uint16_t>(((p[3] >> 5) << 12) | ((p[0] >> 4) << 8) | ((p[1] >> 4) << 4) | (p[2] >> 4));
}

// What a word of RGB5A3 or 5:6:5 shows, as R, G, B, A.
std::vector<int> Shown5A3(std::uint16_t w)
{
    if (w & 0x8000) {
        const auto e5 = [](int v) { return (v << 3) | (v >> 2); };
        return {e5((w >> 10) & 31), e5((w >> 5) & 31), e5(w & 31), 255};
    }
    const auto e3 = [](int v) { return (v << 5) | (v << 2) | (v >> 1); };
    return {((w >> 8) & 15) * 17, ((w >> 4) & 15) * 17, (w & 15) * 17, e3((w >> 12) & 7)};
}

std::vector<int> Shown565(std::uint16_t w)
{
    return {((w >> 11) << 3) | (w >> 13), (((w >> 5) & 63) << 2) | ((w >> 9) & 3), ((w & 31) << 3) | ((w >> 2) & 7), 255};
}

int Distance(const std::vector<int>& a, Pixel p)
{
    int sum = 0;
    for (int i = 0; i < 4; ++i) {
        sum += (a[i] - p[i]) * (a[i] - p[i]);
    }
    return sum;
}

void Put16(Bytes* out, std::uint16_t w)
{
    out->push_back(static_cast<std::uint8_t>(w >> 8));
    out->push_back(static_cast<std::uint8_t>(w));
}

// The decoder's walk of the texels of tiles `tw` x `th` that lie inside
// the image, in the order it reads them; 4-bit formats visit each column
// pair once, at its left column.
void Walk(int width, int height, int tw, int th, int step, const std::function<void(int, int)>& visit)
{
    for (int ty = 0; ty < height; ty += th) {
        for (int tx = 0; tx < width; tx += tw) {
            for (int y = ty; y < ty + th && y < height; ++y) {
                for (int x = tx; x < tx + tw && x < width; x += step) {
                    visit(x, y);
                }
            }
        }
    }
}

// The most common RGB5A3 words of the image, `count` of them, and each
// pixel's nearest entry.
void Indexes(int width, int height, const Bytes& rgba, int count, Bytes* palette, std::vector<int>* index)
{
    std::map<std::uint16_t, int> uses;
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
        ++uses[Pack5A3(&rgba[i])];
    }
    std::vector<std::pair<int, std::uint16_t>> ranked;
    for (const auto& [word, n] : uses) {
        ranked.push_back({-n, word});
    }
    std::sort(ranked.begin(), ranked.end());
    ranked.resize(static_cast<std::size_t>(count), {0, 0});
    palette->clear();
    std::vector<std::vector<int>> shown;
    for (const auto& entry : ranked) {
        Put16(palette, entry.second);
        shown.push_back(Shown5A3(entry.second));
    }
    std::map<std::uint16_t, int> nearest;
    index->assign(static_cast<std::size_t>(width) * height, 0);
    for (std::size_t i = 0; i < index->size(); ++i) {
        Pixel p = &rgba[4 * i];
        auto found = nearest.find(Pack5A3(p));
        if (found == nearest.end()) {
            int best = 0;
            for (int e = 1; e < count; ++e) {
                best = Distance(shown[e], p) < Distance(shown[best], p) ? e : best;
            }
            found = nearest.emplace(Pack5A3(p), best).first;
        }
        (*index)[i] = found->second;
    }
}

// One 4 x 4 block: endpoints from the brightest and darkest pixels, in the
// order that selects four colours, or three and transparency where any
// pixel is more transparent than opaque; each pixel's nearest index.
void EncodeBlock(int width, int height, const Bytes& rgba, int bx, int by, Bytes* out)
{
    Pixel bright = nullptr, dark = nullptr;
    bool transparent = false;
    for (int y = by; y < by + 4 && y < height; ++y) {
        for (int x = bx; x < bx + 4 && x < width; ++x) {
            Pixel p = &rgba[4 * (static_cast<std::size_t>(y) * width + x)];
            transparent = transparent || p[3] < 128;
            bright = bright == nullptr || Luma(p) > Luma(bright) ? p : bright;
            dark = dark == nullptr || Luma(p) < Luma(dark) ? p : dark;
        }
    }
    std::uint16_t c0 = bright ? Pack565(bright) : 0, c1 = dark ? Pack565(dark) : 0;
    if ((c0 < c1) != transparent && c0 != c1) {
        std::swap(c0, c1);
    }
    Put16(out, c0), Put16(out, c1);
    const std::vector<int> a = Shown565(c0), b = Shown565(c1);
    std::vector<std::vector<int>> choices = {a, b, {}, {}};
    for (int k = 0; k < 3; ++k) {
        const double w2 = c1 < c0 ? 2.0 / 3 : 0.5;
        choices[2].push_back(static_cast<int>(a[k] * w2 + b[k] * (1 - w2)));
        choices[3].push_back(static_cast<int>(a[k] / 3.0 + b[k] * 2.0 / 3));
    }
    choices[2].push_back(255), choices[3].push_back(c1 < c0 ? 255 : 0);
    for (int y = by; y < by + 4; ++y) {
        if (y >= height) {
            continue; // the decoder reads no index byte for it
        }
        std::uint8_t bits = 0;
        for (int x = bx; x < bx + 4; ++x) {
            int best = 0;
            if (x < width) {
                Pixel p = &rgba[4 * (static_cast<std::size_t>(y) * width + x)];
                for (int i = 1; i < 4; ++i) {
                    best = Distance(choices[i], p) < Distance(choices[best], p) ? i : best;
                }
            }
            bits = static_cast<std::uint8_t>(bits << 2 | best);
        }
        out->push_back(bits);
    }
}

} // namespace

const char* ContentName(Content content)
{
    static const char* const kNames[] = {"gradient", "noise", "pattern", "cutout", "flat"};
    return kNames[static_cast<int>(content)];
}

Bytes PaintRGBA(Content content, std::uint16_t width, std::uint16_t height, std::uint32_t seed)
{
    using Painter = Rgba (*)(double, double, std::uint32_t);
    static const Painter kPainters[] = {Gradient, Stone, Bricks, Leaves, Flat};
    const Painter paint = kPainters[static_cast<int>(content)];
    Bytes out;
    out.reserve(4u * width * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgba c = paint((x + 0.5) / width, (y + 0.5) / height, seed);
            for (const double channel : {c.r, c.g, c.b, c.a}) {
                out.push_back(Byte(channel));
            }
        }
    }
    return out;
}

Bytes EncodeTexels(std::uint32_t format, std::uint16_t width, std::uint16_t height, const Bytes& rgba, Bytes* palette)
{
    Bytes out;
    const auto at = [&](int x, int y) { return &rgba[4 * (static_cast<std::size_t>(y) * width + x)]; };
    const auto nibbles = [&](int x, int y, const std::function<int(int, int)>& value) {
        out.push_back(static_cast<std::uint8_t>(value(x, y) << 4 | (x + 1 < width ? value(x + 1, y) : 0)));
    };
    std::vector<int> index;
    switch (format) {
    case 0:
        Walk(width, height, 8, 8, 2, [&](int x, int y) { nibbles(x, y, [&](int u, int v) { return Luma(at(u, v)) >> 4; }); });
        break;
    case 1:
        Walk(width, height, 8, 4, 1, [&](int x, int y) { out.push_back(static_cast<std::uint8_t>(Luma(at(x, y)))); });
        break;
    case 2:
        Walk(width, height, 8, 4, 1, [&](int x, int y) {
            out.push_back(static_cast<std::uint8_t>((at(x, y)[3] >> 4) << 4 | Luma(at(x, y)) >> 4));
        });
        break;
    case 3:
        Walk(width, height, 4, 4, 1, [&](int x, int y) {
            out.push_back(at(x, y)[3]), out.push_back(static_cast<std::uint8_t>(Luma(at(x, y))));
        });
        break;
    case 4:
        Walk(width, height, 4, 4, 1, [&](int x, int y) { Put16(&out, Pack565(at(x, y))); });
        break;
    case 5:
        Walk(width, height, 4, 4, 1, [&](int x, int y) { Put16(&out, Pack5A3(at(x, y))); });
        break;
    case 6:
        return EncodeRGBA8(width, height, rgba);
    case 8:
        Indexes(width, height, rgba, 16, palette, &index);
        Walk(width, height, 8, 8, 2, [&](int x, int y) {
            nibbles(x, y, [&](int u, int v) { return index[static_cast<std::size_t>(v) * width + u]; });
        });
        break;
    case 9:
        Indexes(width, height, rgba, 256, palette, &index);
        Walk(width, height, 8, 4, 1, [&](int x, int y) {
            out.push_back(static_cast<std::uint8_t>(index[static_cast<std::size_t>(y) * width + x]));
        });
        break;
    case 14:
        for (int ty = 0; ty < height; ty += 8) {
            for (int tx = 0; tx < width; tx += 8) {
                for (int block = 0; block < 4; ++block) {
                    EncodeBlock(width, height, rgba, tx + 4 * (block % 2), ty + 4 * (block / 2), &out);
                }
            }
        }
        break;
    default:
        break;
    }
    return out;
}
