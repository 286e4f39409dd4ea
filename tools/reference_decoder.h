// A plain decoder of the texel formats to hold the real one against: the
// tile walk and the pixel rules as the formats define them, one texel and
// one byte at a time, with no span, no table and no shared pixel store.
// The decoder tests and the whole-conversion fuzz target both use it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "containers.h"

// Decodes `size` texel bytes into texture->pixels, width x height of them,
// by the record's format and palette; bytes past the end read as 0, and a
// code that is no format decodes nothing. Returns the bytes consumed.
std::size_t ReferenceDecode(const std::uint8_t* texels, std::size_t size, TextureData* texture);
