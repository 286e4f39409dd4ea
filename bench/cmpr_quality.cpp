// The CMPR encoder against the encoders a user would pick instead:
// libsquish's iterative cluster fit and stb_dxt's high-quality mode, on the
// same pixels. Each encoder's blocks are decoded by this tool's decoder
// (theirs written in our block layout), and the squared error of red, green
// and blue is pooled over every texel whose source alpha is at least 128,
// across all the images of a set, into one PSNR. Prints per image and per
// set the PSNR and the encoding time of each, on one core.
//
//   cmpr_quality [SIZE [PNG...]]     default 1024: the painted set at that
//                                    size, then the PNGs given as a set of
//                                    their own (images kept apart from the
//                                    generator, e.g. bench/cmpr.sh makes them)
#include <spng.h>
#include <squish.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define STB_DXT_IMPLEMENTATION
#include <stb/stb_dxt.h>

#include "kestrune.h"
#include "painted_textures.h"
#include "texture_writer.h"

namespace {

struct Image {
    std::string name;
    int width, height;
    Bytes rgba;
};

// A DXT1 block (little-endian endpoints, indexes from the low bits) in our
// layout: big-endian endpoints, column 0 in each row byte's top bits.
void OurLayout(const unsigned char* dxt, unsigned char* block)
{
    block[0] = dxt[1], block[1] = dxt[0], block[2] = dxt[3], block[3] = dxt[2];
    for (int r = 0; r < 4; ++r) {
        unsigned in = dxt[4 + r], out = 0;
        for (int k = 0; k < 4; ++k) {
            out |= ((in >> (2 * k)) & 3) << (6 - 2 * k);
        }
        block[4 + r] = static_cast<unsigned char>(out);
    }
}

// The texel data of a CMPR texture from blocks in raster order, walked as
// the decoder walks it.
Bytes Tiled(int width, int height, const std::vector<unsigned char>& blocks)
{
    Bytes out;
    const int across = (width + 3) / 4;
    const unsigned char none[8] = {};
    for (int y0 = 0; y0 < height; y0 += 8) {
        for (int x0 = 0; x0 < width; x0 += 8) {
            for (int b = 0; b < 4; ++b) {
                const int bx = x0 / 4 + b % 2, by = y0 / 4 + b / 2, rows = std::max(0, std::min(4, height - 4 * by));
                const unsigned char* block = bx < across && rows > 0 ? &blocks[8 * (static_cast<std::size_t>(by) * across + bx)] : none;
                out.insert(out.end(), block, block + 4 + rows);
            }
        }
    }
    return out;
}

// The pixels of a block, edge texels repeated; which are inside.
int BlockOf(const Image& image, int bx, int by, unsigned char pixels[64])
{
    int inside = 0;
    for (int k = 0; k < 16; ++k) {
        const int x = 4 * bx + k % 4, y = 4 * by + k / 4;
        inside |= (x < image.width && y < image.height ? 1 : 0) << k;
        const std::size_t at = 4 * (static_cast<std::size_t>(std::min(y, image.height - 1)) * image.width + std::min(x, image.width - 1));
        std::memcpy(pixels + 4 * k, &image.rgba[at], 4);
    }
    return inside;
}

// Squared error and channel count of the decoded texture against the image.
void Pool(const Image& image, const Bytes& texels, double* squared, double* channels)
{
    const Bytes file = MakeBRTEX(static_cast<std::uint16_t>(image.width), static_cast<std::uint16_t>(image.height), 14, texels);
    Bytes rgba(image.rgba.size());
    kestrune_decode_rgba(file.data(), file.size(), nullptr, 0, rgba.data(), rgba.size(), 4 * static_cast<std::size_t>(image.width));
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
        if (image.rgba[i + 3] >= 128) {
            for (int c = 0; c < 3; ++c) {
                const double d = static_cast<double>(image.rgba[i + c]) - static_cast<double>(rgba[i + c]);
                *squared += d * d;
            }
            *channels += 3;
        }
    }
}

struct Score {
    double squared = 0, channels = 0, seconds = 0;
    double Psnr() const { return channels > 0 ? 10 * std::log10(255.0 * 255.0 * channels / std::max(squared, 1e-9)) : 0; }
};

// The three encoders on one image.
void Encode(const Image& image, Score scores[3])
{
    const auto w = static_cast<std::uint16_t>(image.width), h = static_cast<std::uint16_t>(image.height);
    const Bytes blank = MakeBRTEX(w, h, 14, {});
    kestrune_facts facts;
    kestrune_read_facts(blank.data(), blank.size(), &facts);
    Bytes ours(facts.texel_length);
    auto start = std::chrono::steady_clock::now();
    kestrune_encode_rgba(blank.data(), blank.size(), nullptr, 0, image.rgba.data(), image.rgba.size(), 4 * std::size_t{w},
                         ours.data(), ours.size(), nullptr);
    const auto since = [&start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    scores[0].seconds += since();
    Pool(image, ours, &scores[0].squared, &scores[0].channels);
    const int across = (w + 3) / 4, down = (h + 3) / 4;
    std::vector<unsigned char> blocks(8 * static_cast<std::size_t>(across) * down);
    for (int peer = 1; peer <= 2; ++peer) {
        start = std::chrono::steady_clock::now();
        for (int by = 0; by < down; ++by) {
            for (int bx = 0; bx < across; ++bx) {
                unsigned char pixels[64], dxt[8];
                const int inside = BlockOf(image, bx, by, pixels);
                if (peer == 1) {
                    squish::CompressMasked(pixels, inside, dxt, squish::kDxt1 | squish::kColourIterativeClusterFit);
                } else {
                    stb_compress_dxt_block(dxt, pixels, 0, STB_DXT_HIGHQUAL);
                }
                OurLayout(dxt, &blocks[8 * (static_cast<std::size_t>(by) * across + bx)]);
            }
        }
        scores[peer].seconds += since();
        Pool(image, Tiled(w, h, blocks), &scores[peer].squared, &scores[peer].channels);
    }
}

bool ReadPng(const char* name, Image* image)
{
    std::FILE* file = std::fopen(name, "rb");
    spng_ctx* context = spng_ctx_new(0);
    spng_ihdr header{};
    std::size_t size = 0;
    bool read = file != nullptr && context != nullptr && spng_set_png_file(context, file) == 0 &&
                spng_get_ihdr(context, &header) == 0 && header.width <= 65535 && header.height <= 65535 &&
                spng_decoded_image_size(context, SPNG_FMT_RGBA8, &size) == 0;
    if (read) {
        image->rgba.resize(size);
        read = spng_decode_image(context, image->rgba.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) == 0;
        image->width = static_cast<int>(header.width), image->height = static_cast<int>(header.height);
        const char* slash = std::strrchr(name, '/');
        image->name = slash != nullptr ? slash + 1 : name;
    }
    spng_ctx_free(context);
    if (file != nullptr) {
        std::fclose(file);
    }
    return read;
}

void Report(const char* set, const std::vector<Image>& images)
{
    Score total[3];
    std::printf("%-28s %18s %18s %18s\n", set, "kestrune", "squish ICF", "stb_dxt HQ");
    for (const Image& image : images) {
        Score scores[3];
        Encode(image, scores);
        std::printf("%-28s", image.name.c_str());
        for (int e = 0; e < 3; ++e) {
            std::printf("  %6.2f dB %6.3f s", scores[e].Psnr(), scores[e].seconds);
            total[e].squared += scores[e].squared, total[e].channels += scores[e].channels, total[e].seconds += scores[e].seconds;
        }
        std::printf("\n");
    }
    std::printf("%-28s", "pooled");
    for (const Score& score : total) {
        std::printf("  %6.2f dB %6.3f s", score.Psnr(), score.seconds);
    }
    std::printf("\n\n");
}

} // namespace

int main(int argc, char** argv)
{
    const int size = argc > 1 ? std::atoi(argv[1]) : 1024;
    if (size < 1 || size > 65535) {
        std::fprintf(stderr, "usage: cmpr_quality [SIZE [PNG...]]\n");
        return 2;
    }
    std::vector<Image> painted;
    for (const Content content : kContents) {
        const auto side = static_cast<std::uint16_t>(size);
        painted.push_back(Image{std::string(ContentName(content)) + " " + std::to_string(size), size, size,
                                PaintRGBA(content, side, side, 7)});
    }
    Report("painted", painted);
    std::vector<Image> apart;
    for (int i = 2; i < argc; ++i) {
        Image image;
        if (!ReadPng(argv[i], &image)) {
            std::fprintf(stderr, "cmpr_quality: cannot read %s\n", argv[i]);
            return 1;
        }
        apart.push_back(image);
    }
    if (!apart.empty()) {
        Report("kept apart", apart);
    }
    return 0;
}
