#include "png_read.h"

#include <spng.h>

#include <algorithm>
#include <cstdlib>

bool OpenPNG(PngReader* reader, std::FILE* file)
{
    reader->context = spng_ctx_new(0);
    spng_ihdr header{};
    // Ancillary chunks are bounded so that a file cannot ask for more memory
    // than its image needs. The image's size is the caller's to check, as
    // it must be the texture's, before any pixel is read.
    if (reader->context == nullptr || spng_set_chunk_limits(reader->context, 1u << 24, 1u << 26) != 0 ||
        spng_set_png_file(reader->context, file) != 0 || spng_get_ihdr(reader->context, &header) != 0) {
        return false;
    }
    reader->width = header.width;
    reader->height = header.height;
    reader->sixteen_bits = header.bit_depth == 16;
    return true;
}

namespace {

// What a decode's result means for the caller.
PngPixels Outcome(int read)
{
    return read == 0 ? PngPixels::kRead : read == SPNG_EMEM ? PngPixels::kNoMemory : PngPixels::kDamaged;
}

} // namespace

PngPixels ReadPNGPixels(PngReader* reader, RgbaPixel* pixels)
{
    const std::size_t count = std::size_t{reader->width} * reader->height;
    if (!reader->sixteen_bits) {
        return Outcome(spng_decode_image(reader->context, pixels, 4 * count, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS));
    }
    // libspng narrows 16-bit samples by dropping their low byte: they are
    // read whole here and rounded to the nearest 8-bit value.
    auto* wide = static_cast<std::uint16_t*>(std::malloc(8 * std::max<std::size_t>(count, 1)));
    if (wide == nullptr) {
        return PngPixels::kNoMemory;
    }
    const int read = spng_decode_image(reader->context, wide, 8 * count, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS);
    auto* bytes = reinterpret_cast<std::uint8_t*>(pixels);
    for (std::size_t i = 0; read == 0 && i < 4 * count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((std::uint32_t{wide[i]} * 255 + 32767) / 65535);
    }
    std::free(wide);
    return Outcome(read);
}

void ClosePNG(PngReader* reader)
{
    spng_ctx_free(reader->context);
    reader->context = nullptr;
}
