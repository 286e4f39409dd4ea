// PNG input for --import, through libspng: any type and bit depth, into
// R, G, B, A bytes, 16-bit samples rounded to 8, transparency applied and
// colour-space chunks ignored, so that the pixels are those the file stores.
// The size is read first, so that an image of the wrong size is refused
// before its pixels are.
#pragma once

#include <cstdint>
#include <cstdio>

#include "colour.h"

struct spng_ctx;

struct PngReader {
    spng_ctx* context = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool sixteen_bits = false;
};

// Starts reading the PNG `file` (kept open by the caller until the reader
// is closed) and reads its size; false where it is no PNG, or a damaged one.
bool OpenPNG(PngReader* reader, std::FILE* file);

enum class PngPixels { kRead, kDamaged, kNoMemory };

// Its pixels, width x height, rows packed: kRead once read whole, else
// whether the file or the memory failed.
PngPixels ReadPNGPixels(PngReader* reader, RgbaPixel* pixels);

void ClosePNG(PngReader* reader);
