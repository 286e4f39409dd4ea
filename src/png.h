// PNG output of a decoded image, made whole in memory: every pixel exact,
// in the first of these types that holds them all, which is also the one
// with the fewest bits a pixel:
//   indexed, 1, 2 or 4 bits, for at most 2, 4 or 16 distinct RGBA values;
//   grey, 8 bits, where every pixel is grey (R = G = B) and opaque;
//   indexed, 8 bits, for at most 256 distinct RGBA values;
//   grey with alpha, where every pixel is grey;
//   RGB, where every pixel is opaque;
//   RGBA.
// A palette lists the values in the order they first appear, row by row,
// and its tRNS chunk reaches no further than the last entry with an alpha
// below 255. Grey, grey-with-alpha, RGB and RGBA rows each take the filter
// whose bytes, read as signed, sum to the least in absolute value (the
// lower filter on a tie); indexed rows are not filtered. The rows are one
// zlib stream in one IDAT chunk; the other chunks are IHDR, PLTE and tRNS
// where indexed, pHYs with the BMPs' 57,540 pixels a metre, and IEND. No
// time, text or other chunk: the bytes depend on the pixels alone.
#pragma once

#include <cstdint>

#include "buffer.h"
#include "colour.h"

// The image a PNG holds: the pixels with their alpha, or the alpha alone
// as a grey image, as the alpha BMP shows it.
enum class PngImage { kColour, kAlpha };

// Appends the PNG of the `width` x `height` image (both at least 1) to
// `png`. False when the memory is not there or the compressed pixels
// would pass the 2 GiB that one chunk can hold; `png` may then hold part
// of it, which the caller frees.
bool MakePNG(PngImage image, std::int32_t width, std::int32_t height, const RgbaPixel* pixels, ByteBuffer* png);
