// The texture record, a buffered big-endian reader over a stdio stream, and
// the readers of the two input containers: BRTEX (a TEX0 section holding the
// image header and texels) and BRPLT (a PLT0 section holding the palette).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "colour.h"

struct TextureData {
    std::int32_t width;   // 0..65535, from a 16-bit header field
    std::int32_t height;  // 0..65535
    std::uint32_t format; // texel format code
    RgbaPixel palette[256];
    RgbaPixel* pixels; // width x height, row-major, top row first; owned by the caller
    std::size_t stride; // pixels from one row's start to the next's; 0 for `width`
    std::uint32_t palette_count; // the entries the palette file holds, at most 256
};

// The reader's buffer. The fuzz targets build with a few hundred bytes, so
// that every input crosses many refills; it must hold the largest span.
#ifndef KESTRUNE_INPUT_BUFFER_SIZE
#define KESTRUNE_INPUT_BUFFER_SIZE (64 * 1024)
#endif
constexpr std::size_t kInputBufferSize = KESTRUNE_INPUT_BUFFER_SIZE;
constexpr std::size_t kMaxSpan = 128; // the largest run ReadSpan hands out at once
static_assert(kInputBufferSize >= kMaxSpan, "a span must fit the buffer");

// Reads a stdio stream through its own buffer so that the per-byte cost is a
// pointer comparison, not a locking library call; or bytes in memory where
// they lie, at the same cost, copied into the buffer only within a span of
// their end. Bytes past the end of the file read as 0 and do not advance
// the position. A read error ends the input the same way but is remembered
// in `failed`: the caller must not take what it decoded for the file's
// content. The reader only moves forward: every seek in both containers
// goes to a later offset.
struct InputStream {
    std::FILE* file;             // none for bytes in memory
    const std::uint8_t* base;    // where the bytes from `next` on are held: the buffer, or the memory
    std::uint64_t buffer_offset; // file offset of base[0]
    const std::uint8_t* next;
    const std::uint8_t* end; // end of the real bytes in the buffer
    bool at_end;             // the file has delivered its last byte
    bool failed;             // ... because a read failed, not because the file ended
    std::uint64_t missing;   // bytes asked for, or skipped to, past the end of the file
    std::uint8_t* buffer;    // the storage of the reader that holds this one
};

// A file's reader, with its buffer: kInputBufferSize bytes read at a time,
// and room for a span that ends past them.
struct FileInput : InputStream {
    std::uint8_t storage[kInputBufferSize + kMaxSpan];
};

// A reader of bytes in memory, which it reads where they lie. Its buffer
// holds only a span that runs past their end, so that it is small enough
// for any thread's stack.
struct MemoryInput : InputStream {
    std::uint8_t storage[kMaxSpan];
};

// Starts reading `file` at its current position, which counts as offset 0.
void BeginInput(FileInput* in, std::FILE* file);

// Starts reading `size` bytes at `bytes` as a whole file, which must stay
// where it is while it is read.
void BeginMemoryInput(MemoryInput* in, const std::uint8_t* bytes, std::size_t size);

// Offset of the next byte to be read.
std::uint64_t InputPosition(const InputStream* in);

// Moves forward to `offset`; an offset behind the current one is ignored.
void SkipTo(InputStream* in, std::uint64_t offset);

// The refill paths, out of line so that the fast paths below stay small.
int ReadByteSlow(InputStream* in);
const std::uint8_t* ReadSpanSlow(InputStream* in, std::size_t count);

// The next byte, or -1 once the file has no more.
inline int NextByte(InputStream* in)
{
    if (in->next != in->end) {
        return *in->next++;
    }
    return ReadByteSlow(in);
}

// `count` (at most kMaxSpan) consecutive bytes; those past the end of the
// file are 0. The pointer is valid until the next read.
inline const std::uint8_t* ReadSpan(InputStream* in, std::size_t count)
{
    if (static_cast<std::size_t>(in->end - in->next) >= count) {
        const std::uint8_t* span = in->next;
        in->next += count;
        return span;
    }
    return ReadSpanSlow(in, count);
}

inline std::uint32_t Load16(const std::uint8_t* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 8) | p[1];
}

inline std::uint32_t Load32(const std::uint8_t* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

// Big-endian field readers.
inline std::uint32_t R16next(InputStream* in)
{
    return Load16(ReadSpan(in, 2));
}

inline std::uint32_t R32next(InputStream* in)
{
    return Load32(ReadSpan(in, 4));
}

// Each returns 1 when its section was found and read, 0 when the file holds
// none (the record is then untouched). ReadBRTEX leaves the stream at the
// first texel byte, and gives the section's offset where asked.
int ReadBRTEX(InputStream* in, TextureData* texture, std::uint64_t* section);
inline int ReadBRTEX(InputStream* in, TextureData* texture)
{
    return ReadBRTEX(in, texture, nullptr);
}
int ReadBRPLT(InputStream* in, TextureData* texture);
