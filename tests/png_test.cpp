// The PNGs read back by a decoder that is not ours (libspng), and by
// libdeflate: every pixel, the type and depth chosen, the palette's order,
// the chunks, the rows' filters and the compressed stream's level.
#include <gtest/gtest.h>

#include <libdeflate.h>
#include <spng.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fixtures.h"
#include "painted_textures.h"
#include "png.h"
#include "texels.h"

namespace {

using Pixels = std::vector<RgbaPixel>;

std::uint32_t Get32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

struct Read {
    spng_ihdr ihdr{};
    Pixels pixels;
    std::vector<RgbaPixel> palette; // with tRNS's alphas, 255 past its end
    std::size_t transparent = 0;    // tRNS entries
    spng_phys phys{};
    std::string chunks; // their types, one after another
    Bytes idat;
};

Read Decode(const ByteBuffer& png)
{
    Read read;
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, png.bytes, png.size);
    std::size_t size = 0;
    EXPECT_EQ(spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size), 0);
    read.pixels.resize(size / 4);
    EXPECT_EQ(spng_decode_image(ctx, read.pixels.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS), 0);
    spng_get_ihdr(ctx, &read.ihdr);
    spng_get_phys(ctx, &read.phys);
    spng_plte plte{};
    spng_trns trns{};
    if (spng_get_plte(ctx, &plte) == 0) {
        const bool has_trns = spng_get_trns(ctx, &trns) == 0;
        read.transparent = has_trns ? trns.n_type3_entries : 0;
        for (std::uint32_t i = 0; i < plte.n_entries; ++i) {
            const auto& e = plte.entries[i];
            read.palette.push_back({e.red, e.green, e.blue, i < read.transparent ? trns.type3_alpha[i] : std::uint8_t{255}});
        }
    }
    spng_ctx_free(ctx);
    for (std::size_t at = 8; at + 8 <= png.size; at += 12 + Get32(png.bytes + at)) {
        read.chunks.append(reinterpret_cast<const char*>(png.bytes + at + 4), 4);
        if (read.chunks.ends_with("IDAT")) {
            read.idat.assign(png.bytes + at + 8, png.bytes + at + 8 + Get32(png.bytes + at));
        }
    }
    return read;
}

Bytes Inflate(const Bytes& stream, std::size_t size)
{
    Bytes out(size);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    EXPECT_EQ(libdeflate_zlib_decompress(d, stream.data(), stream.size(), out.data(), size, nullptr), LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(d);
    return out;
}

Bytes Deflate(const Bytes& data, int level)
{
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_zlib_compress_bound(c, data.size()));
    out.resize(libdeflate_zlib_compress(c, data.data(), data.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
}

// What filter `f` predicts of a byte from the one to its left (`a`),
// above (`b`) and above that one (`c`).
int Predict(int f, int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    const int predicted[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
    return predicted[f];
}

// The filter PNG's rule asks for: of the five, the one whose bytes, read
// as signed, have the least sum of absolute values; the first on a tie.
int BestFilter(const std::uint8_t* row, const std::uint8_t* above, std::size_t stride, std::size_t bpp)
{
    long best_sum = -1;
    int best = 0;
    for (int f = 0; f < 5; ++f) {
        long sum = 0;
        for (std::size_t i = 0; i < stride; ++i) {
            const int a = i < bpp ? 0 : row[i - bpp], c = i < bpp ? 0 : above[i - bpp];
            sum += std::abs(static_cast<std::int8_t>(row[i] - Predict(f, a, above[i], c)));
        }
        if (best_sum < 0 || sum < best_sum) {
            best_sum = sum, best = f;
        }
    }
    return best;
}

// The pixels as the image shows them.
Pixels Shown(PngImage image, const Pixels& pixels)
{
    Pixels shown = pixels;
    for (RgbaPixel& p : shown) {
        p = image == PngImage::kAlpha ? RgbaPixel{p.a, p.a, p.a, 255} : p;
    }
    return shown;
}

// The pixels copied to end right before a page that cannot be read, so
// that a writer reading past the image's last row stops the test in any
// build (never unmapped: a test's few megabytes).
const RgbaPixel* Guarded(const Pixels& pixels)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), bytes = pixels.size() * sizeof(RgbaPixel);
    const std::size_t size = (bytes + page - 1) / page * page + page;
    auto* map = static_cast<std::uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(map + size - page, page, PROT_NONE);
    return static_cast<const RgbaPixel*>(std::memcpy(map + size - page - bytes, pixels.data(), bytes));
}

constexpr int kAdaptive = 5;

// Makes the PNG and holds it to everything it must be, its stream what
// libdeflate makes at `level`; adds the filters its rows took to `filters`
// and gives how they were filtered: 0 to 4, that filter on every row;
// kAdaptive, each row the filter of least weight; -1, neither.
int Check(PngImage image, int width, int height, const Pixels& pixels, PngEffort effort, int level, int type,
          int depth, std::set<int>* filters)
{
    ByteBuffer png;
    EXPECT_TRUE(MakePNG(image, width, height, Guarded(pixels), effort, &png));
    const Read read = Decode(png);
    const Pixels shown = Shown(image, pixels);
    EXPECT_EQ(read.ihdr.color_type, type);
    EXPECT_EQ(read.ihdr.bit_depth, depth);
    EXPECT_TRUE(std::equal(shown.begin(), shown.end(), read.pixels.begin(), read.pixels.end(), SamePixel));
    EXPECT_EQ(read.chunks, type == 3 ? (read.transparent ? "IHDRPLTEtRNSpHYsIDATIEND" : "IHDRPLTEpHYsIDATIEND") : "IHDRpHYsIDATIEND");
    EXPECT_TRUE(read.phys.ppu_x == 57540 && read.phys.ppu_y == 57540 && read.phys.unit_specifier == 1);
    // The palette: each value once, in the order the rows first show it,
    // alphas as far as the last below 255.
    Pixels order;
    std::size_t transparent = 0;
    for (const RgbaPixel& p : shown) {
        if (type == 3 && std::none_of(order.begin(), order.end(), [&](RgbaPixel q) { return SamePixel(p, q); })) {
            order.push_back(p);
            transparent = p.a < 255 ? order.size() : transparent;
        }
    }
    EXPECT_TRUE(std::equal(order.begin(), order.end(), read.palette.begin(), read.palette.end(), SamePixel));
    EXPECT_EQ(read.transparent, transparent);
    // The rows unfiltered, each filter held to the rule, and the level.
    const std::size_t bpp = type == 0 || type == 3 ? 1 : type == 4 ? 2 : type == 2 ? 3 : 4;
    const std::size_t stride = type == 3 ? (static_cast<std::size_t>(width) * depth + 7) / 8 : width * bpp;
    const Bytes filtered = Inflate(read.idat, (stride + 1) * height);
    EXPECT_TRUE(read.idat == Deflate(filtered, level));
    bool same = true, adaptive = true;
    Bytes above(stride, 0), row(stride);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = &filtered[y * (stride + 1)];
        for (std::size_t i = 0; i < stride; ++i) {
            row[i] = static_cast<std::uint8_t>(in[1 + i] + Predict(in[0] % 5, i < bpp ? 0 : row[i - bpp], above[i],
                                                                    i < bpp ? 0 : above[i - bpp]));
        }
        same = same && in[0] == filtered[0];
        adaptive = adaptive && in[0] == BestFilter(row.data(), above.data(), stride, bpp);
        filters->insert(in[0]);
        above = row;
    }
    FreeBuffer(&png);
    return same ? filtered[0] : adaptive ? kAdaptive : -1;
}

// `count` distinct values over a `width` x `height` image, each pixel
// `i`'s value (i * 7) mod count, so that the first appearances come out of
// order; grey, opaque or neither as asked.
Pixels Distinct(int count, int width, int height, bool grey, bool opaque)
{
    Pixels pixels;
    for (int i = 0; i < width * height; ++i) {
        const int v = i * 7 % count;
        const auto c = static_cast<std::uint8_t>(v % 251), d = static_cast<std::uint8_t>(v / 251 * 40 + 3);
        pixels.push_back(grey ? RgbaPixel{c, c, c, opaque ? std::uint8_t{255} : d}
                              : RgbaPixel{c, d, static_cast<std::uint8_t>(c ^ 0x55), opaque ? std::uint8_t{255} : static_cast<std::uint8_t>(255 - v % 3)});
    }
    return pixels;
}

Pixels Painted(Content content, int width, int height)
{
    const Bytes rgba = PaintRGBA(content, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 3);
    const auto* p = reinterpret_cast<const RgbaPixel*>(rgba.data());
    return {p, p + rgba.size() / 4};
}

// Noise in every channel of every pixel; or, `rising`, opaque noise along
// each row that every row repeats one higher.
Pixels Noise(int width, int height, bool rising)
{
    std::vector<std::uint32_t> noise(static_cast<std::size_t>(width) * height);
    std::generate(noise.begin(), noise.end(), std::mt19937(7));
    Pixels pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t at = noise[rising ? x : y * width + x];
            pixels.push_back({static_cast<std::uint8_t>(rising ? (at >> 24) + y : at), static_cast<std::uint8_t>(at >> 8),
                              static_cast<std::uint8_t>(at >> 16), rising ? std::uint8_t{255} : static_cast<std::uint8_t>(at >> 24)});
        }
    }
    return pixels;
}

} // namespace

// Each type and depth, reached from the least values that take it, and
// from painted images whose rows take every filter. Each image is made
// with either effort, at its level or, noise, stored; its rows filtered
// all alike or each by the rule, the filtering the trial finds best where
// the image makes it plain.
TEST(Png, EachTypeHoldsItsPixelsExactly)
{
    Pixels cutout = Painted(Content::kCutout, 96, 64), alphas = Distinct(17, 9, 4, false, false);
    // A 257th value, the first a palette cannot hold: stored past its end
    // (which the sanitizers stop), it would read as a count of 4.
    Pixels last_nearly_zero = Distinct(256, 32, 8, false, false);
    last_nearly_zero.insert(last_nearly_zero.end(), 32, RgbaPixel{4, 0, 0, 0});
    for (std::size_t i = 0; i < alphas.size(); ++i) {
        alphas[i].a = static_cast<std::uint8_t>(i * 7 % 17 * 15); // seventeen of them
    }
    // Values that halve from one pixel to the next, which only the average
    // of the pixels left and above predicts.
    Pixels halving = Painted(Content::kNoise, 96, 64);
    for (int x = 0; x < 96; ++x) {
        const auto half = [&](int shift) { return static_cast<std::uint8_t>(255 >> (x + shift) % 8); };
        halving[x] = {half(0), half(3), half(5), 255};
    }
    const struct {
        const char* what;
        PngImage image;
        int width, height;
        Pixels pixels;
        int type, depth;
        int filtering = -1; // what the trial must choose, if anything
        bool noise = false;
    } cases[] = {
        {"one value", PngImage::kColour, 3, 2, Distinct(1, 3, 2, false, true), 3, 1},
        {"two values, odd width", PngImage::kColour, 9, 3, Distinct(2, 9, 3, false, false), 3, 1, 0}, // tried alike: the first
        {"three values", PngImage::kColour, 5, 3, Distinct(3, 5, 3, false, true), 3, 2},
        {"four values", PngImage::kColour, 7, 2, Distinct(4, 7, 2, false, false), 3, 2},
        {"five values", PngImage::kColour, 3, 5, Distinct(5, 3, 5, true, true), 3, 4},
        {"sixteen values", PngImage::kColour, 17, 3, Distinct(16, 17, 3, false, false), 3, 4},
        {"seventeen opaque greys", PngImage::kColour, 17, 3, Distinct(17, 17, 3, true, true), 0, 8},
        {"seventeen values", PngImage::kColour, 17, 3, Distinct(17, 17, 3, false, true), 3, 8},
        {"256 values", PngImage::kColour, 32, 9, Distinct(256, 32, 9, false, false), 3, 8},
        {"257 greys", PngImage::kColour, 33, 9, Distinct(257, 33, 9, true, false), 4, 8},
        {"257 opaque values", PngImage::kColour, 33, 9, Distinct(257, 33, 9, false, true), 2, 8},
        {"257 values", PngImage::kColour, 33, 9, Distinct(257, 33, 9, false, false), 6, 8},
        {"257 values, the last nearly zero", PngImage::kColour, 32, 9, last_nearly_zero, 6, 8},
        {"stone", PngImage::kColour, 96, 64, Painted(Content::kNoise, 96, 64), 2, 8, kAdaptive},
        {"leaves", PngImage::kColour, 96, 64, cutout, 6, 8},
        {"leaves' alpha", PngImage::kAlpha, 96, 64, cutout, 3, 1, 0},
        {"seventeen alphas", PngImage::kAlpha, 9, 4, alphas, 0, 8},
        {"rows that rise", PngImage::kColour, 64, 64, Noise(64, 64, true), 2, 8},
        {"stone, its first row halving", PngImage::kColour, 96, 64, halving, 2, 8, kAdaptive},
        {"noise", PngImage::kColour, 128, 128, Noise(128, 128, false), 6, 8, 0, true},
        // Rows wider than a trial's band, sampled one to a band.
        {"wide rows", PngImage::kColour, 40000, 10, Distinct(257, 40000, 10, false, false), 6, 8},
    };
    std::set<int> filters;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const PngEffort effort : {PngEffort::kDefault, PngEffort::kSmallest}) {
            const int level = c.noise ? 0 : effort == PngEffort::kDefault ? kPngLevel : kSmallestPngLevel;
            const int made = Check(c.image, c.width, c.height, c.pixels, effort, level, c.type, c.depth, &filters);
            EXPECT_EQ(made, c.filtering < 0 && made >= 0 ? made : c.filtering);
        }
    }
    EXPECT_EQ(filters.size(), 5u);
    // Rows of more than kLargeRows, by default, at kLargePngLevel.
    Check(PngImage::kColour, 2048, 1025, Distinct(257, 2048, 1025, false, false), PngEffort::kDefault, kLargePngLevel, 6, 8, &filters);
}

// Every texel format, decoded as the tool decodes it, comes back from its
// PNG pixel for pixel, odd sizes included.
TEST(Png, EveryFormatComesBackExactly)
{
    for (const std::uint32_t format : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 8u, 9u, 14u}) {
        for (const Content content : kContents) {
            SCOPED_TRACE(testing::Message() << FormatName(format) << ", " << ContentName(content));
            const int width = 37, height = 21;
            Bytes palette;
            const Bytes texels = EncodeTexels(format, width, height, PaintRGBA(content, width, height, format), &palette);
            TextureData texture{};
            texture.width = width, texture.height = height, texture.format = format;
            for (std::size_t i = 0; i < palette.size() / 2; ++i) {
                texture.palette[i] = Rgb5A3(static_cast<std::uint16_t>(palette[2 * i] << 8 | palette[2 * i + 1]));
            }
            Pixels pixels(width * height);
            texture.pixels = pixels.data();
            std::FILE* file = OpenBytes(texels);
            ASSERT_NE(file, nullptr);
            FileInput in;
            BeginInput(&in, file);
            ReadTexture(&in, &texture);
            std::fclose(file);
            for (const PngImage image : {PngImage::kColour, PngImage::kAlpha}) {
                ByteBuffer png;
                ASSERT_TRUE(MakePNG(image, width, height, pixels.data(), PngEffort::kDefault, &png));
                const Pixels shown = Shown(image, pixels), read = Decode(png).pixels;
                EXPECT_TRUE(std::equal(shown.begin(), shown.end(), read.begin(), read.end(), SamePixel));
                FreeBuffer(&png);
            }
        }
    }
}
