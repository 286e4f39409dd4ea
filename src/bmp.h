// Uncompressed 24-bit BMP output: a 54-byte header, then the rows from the
// bottom of the image up, each pixel as blue, green, red, each row padded
// with zero bytes to a multiple of four bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "colour.h"

// 54 + (3 x width + pad) x height, computed without overflow; the caller
// checks it against the 32-bit size field before writing anything.
std::uint64_t BMPFileSize(std::int32_t width, std::int32_t height);

// Writes the header and returns the number of zero bytes that end each row.
int WriteBMPHeader(std::FILE* stream, std::int32_t width, std::int32_t height);

// Both writers stop at the first failed write and leave the error on the
// stream, where the caller finds it with ferror.
void WriteColorBMP(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels);

// The alpha channel as a grey image.
void WriteAlphaBMP(std::FILE* stream, std::int32_t width, std::int32_t height, const RgbaPixel* pixels);

// How a row of pixels becomes the bytes of a BMP row: blue, green and red
// for the colour image, the alpha byte three times for the grey one.
enum class RowBytes { kColour, kAlpha };

// Both write exactly 3 x count bytes and give the same ones. The portable
// routine works everywhere; the vector routine is faster, and where the
// processor lacks it (VectorRowsAvailable() false) it must not be called.
// The writers use the vector routine where it is available.
void PackRow(RowBytes kind, const RgbaPixel* row, std::size_t count, std::uint8_t* out);
void PackRowVector(RowBytes kind, const RgbaPixel* row, std::size_t count, std::uint8_t* out);

// The pixel buffer for the record's image, to be freed with std::free;
// nullptr when the image cannot be converted: its BMP would not fit the
// 32-bit size field, or the memory is not there. The size is checked before
// anything is allocated, so a tiny file that declares a huge image costs
// nothing. The buffer reads as zeros wherever ReadTexture leaves it alone;
// a large one is not zeroed for a format that ReadTexture writes in full.
struct TextureData;
RgbaPixel* AllocatePixels(const TextureData* texture);
