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
// below 255. The rows are filtered in whichever of a few ways compresses
// best on a trial: no filter, up on every row, or each row the filter
// whose bytes, read as signed, sum to the least in absolute value (the
// lower filter on a tie); for the smallest PNGs, any one of the five
// filters on every row as well. The trial compresses a sample of rows (the
// whole image where it is small) with libdeflate; the rows chosen are then
// compressed once, whole, as one zlib stream in one IDAT chunk, at
// kPngLevel (kLargePngLevel past kLargeRows) or kSmallestPngLevel; noise (a
// sample that no filtering lets a fast level compress by a sixteenth) is
// stored, uncompressed. The other chunks are IHDR, PLTE and tRNS where
// indexed, pHYs with the BMPs' 57,540 pixels a metre, and IEND. No time,
// text or other chunk: the bytes depend on the pixels alone, and libdeflate
// 1.14 makes the same bytes in every build.
#pragma once

#include <cstdint>

#include "buffer.h"
#include "colour.h"

// The image a PNG holds: the pixels with their alpha, or the alpha alone
// as a grey image, as the alpha BMP shows it.
enum class PngImage { kColour, kAlpha };

// How hard the compression works: the default, or "--smallest", which
// tries every filtering on a larger sample and compresses at libdeflate's
// highest level, many times slower.
enum class PngEffort { kDefault, kSmallest };
// libdeflate's levels for each; by default, rows of more than kLargeRows
// bytes take kLargePngLevel, where level 8's deeper search would take
// seconds for a few percent.
constexpr int kPngLevel = 8, kSmallestPngLevel = 12, kLargePngLevel = 6;
constexpr std::size_t kLargeRows = 8 << 20;

// Appends the PNG of the `width` x `height` image (both at least 1) to
// `png`. False when the memory is not there or the compressed pixels
// would pass the 2 GiB that one chunk can hold; `png` may then hold part
// of it, which the caller frees.
bool MakePNG(PngImage image, std::int32_t width, std::int32_t height, const RgbaPixel* pixels, PngEffort effort,
             ByteBuffer* png);
