// The compression a PNG is made with, behind the few calls its writer
// makes: zlib itself in the native tools (deflate_zlib.cpp), and in the
// browser the page's pako, which deflates byte for byte as zlib does
// (web/deflate_pako.cpp). Both make one zlib stream with a 32 KiB window,
// memory level 8, the default strategy and kDeflateLevel, so that every
// build writes the same PNG bytes for the same pixels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffer.h"

// Level 7: on textures with the content real ones have, the PNGs come out
// smaller than Pillow's and ImageMagick's, which level 6 does not quite.
constexpr int kDeflateLevel = 7;

struct Deflation; // one stream being made

// A new stream; nullptr when there is no memory for it.
Deflation* StartDeflation();

// Compresses `size` more bytes of input, the last of it when `last` is
// set, and appends what comes out to `out`. False when memory fails; the
// stream must then be ended all the same.
bool Deflate(Deflation* stream, const std::uint8_t* data, std::size_t size, bool last, ByteBuffer* out);

void EndDeflation(Deflation* stream);

// The CRC-32 of zlib and PNG, continued over `size` more bytes from `crc`
// (0 to start).
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
