#include "containers.h"

#include <algorithm>
#include <cstring>
#include <iterator>

// The fields every reader starts with, over its own storage.
static void Begin(InputStream* in, std::FILE* file, std::uint8_t* storage)
{
    in->file = file;
    in->buffer = storage;
    in->base = storage;
    in->buffer_offset = 0;
    in->next = storage;
    in->end = storage;
    in->at_end = false;
    in->failed = false;
    in->missing = 0;
}

void BeginInput(FileInput* in, std::FILE* file)
{
    Begin(in, file, in->storage);
}

void BeginMemoryInput(MemoryInput* in, const std::uint8_t* bytes, std::size_t size)
{
    Begin(in, nullptr, in->storage);
    in->base = in->next = bytes;
    in->end = bytes + size;
    in->at_end = true;
}

std::uint64_t InputPosition(const InputStream* in)
{
    return in->buffer_offset + static_cast<std::uint64_t>(in->next - in->base);
}

// Moves the unread bytes to the front of the buffer and fills the rest from
// the file. A short read ends the input for good: a file that has reached
// its end is not asked again for every later byte, and one that failed is
// not retried.
static void Refill(InputStream* in)
{
    const std::size_t kept = static_cast<std::size_t>(in->end - in->next);
    in->buffer_offset += static_cast<std::uint64_t>(in->next - in->base);
    if (kept > 0) { // an empty span in memory may have no address at all
        std::memmove(in->buffer, in->next, kept);
    }
    in->base = in->buffer;
    std::size_t got = 0;
    if (!in->at_end) {
        const std::size_t wanted = kInputBufferSize - kept;
        got = std::fread(in->buffer + kept, 1, wanted, in->file);
        if (got < wanted) {
            in->at_end = true;
            in->failed = std::ferror(in->file) != 0;
        }
    }
    in->next = in->buffer;
    in->end = in->buffer + kept + got;
}

int ReadByteSlow(InputStream* in)
{
    Refill(in);
    if (in->next == in->end) {
        ++in->missing;
        return -1;
    }
    return *in->next++;
}

const std::uint8_t* ReadSpanSlow(InputStream* in, std::size_t count)
{
    Refill(in);
    std::uint8_t* span = in->buffer;
    const std::size_t real = static_cast<std::size_t>(in->end - in->next);
    if (real >= count) {
        in->next += count;
        return span;
    }
    // The file ended inside the span: the missing bytes read as 0 and the
    // position stops at the end of the file.
    std::memset(span + real, 0, count - real);
    in->next = in->end;
    in->missing += count - real;
    return span;
}

void SkipTo(InputStream* in, std::uint64_t offset)
{
    while (InputPosition(in) < offset) {
        const std::uint64_t wanted = offset - InputPosition(in);
        const std::size_t buffered = static_cast<std::size_t>(in->end - in->next);
        if (wanted <= buffered) {
            in->next += wanted;
            return;
        }
        in->next = in->end;
        if (in->at_end) {
            in->missing += offset - InputPosition(in);
            return;
        }
        Refill(in);
    }
}

// Finds the four-byte magic. A byte that breaks a partial match is not tried
// again as the start of a new one, so "TTEX0" holds no "TEX0". Returns the
// offset just past the magic, or 0 when the file ends first.
static std::uint64_t ScanForMagic(InputStream* in, const char* magic)
{
    int matched = 0;
    for (;;) {
        const int byte = NextByte(in);
        if (byte < 0) {
            return 0;
        }
        matched = (byte == static_cast<unsigned char>(magic[matched])) ? matched + 1 : 0;
        if (matched == 4) {
            return InputPosition(in);
        }
    }
}

int ReadBRTEX(InputStream* in, TextureData* texture, std::uint64_t* section)
{
    const std::uint64_t after_magic = ScanForMagic(in, "TEX0");
    if (after_magic == 0) {
        return 0;
    }
    const std::uint64_t start = after_magic - 4;
    if (section != nullptr) {
        *section = start;
    }
    SkipTo(in, start + 28); // a word and 20 bytes of header that the conversion does not use
    texture->width = static_cast<std::int32_t>(R16next(in));
    texture->height = static_cast<std::int32_t>(R16next(in));
    texture->format = R32next(in);
    SkipTo(in, start + 64);
    return 1;
}

static RgbaPixel ReadPaletteEntry(InputStream* in, std::uint32_t entry_format)
{
    const std::uint8_t* bytes = ReadSpan(in, 2);
    switch (entry_format) {
    case 0:
        return Grey(bytes[0], bytes[1]);
    case 1:
        return Rgb565(Load16(bytes));
    default:
        return Rgb5A3(Load16(bytes));
    }
}

int ReadBRPLT(InputStream* in, TextureData* texture)
{
    const std::uint64_t after_magic = ScanForMagic(in, "PLT0");
    if (after_magic == 0) {
        return 0;
    }
    const std::uint64_t start = after_magic - 4;
    SkipTo(in, start + 24);
    const std::uint32_t entry_format = R32next(in);
    const std::uint32_t count = R16next(in);
    SkipTo(in, start + 64);
    // The record holds 256 entries; any further ones cannot be indexed by a
    // texel and are left unread.
    const std::uint32_t stored = std::min<std::uint32_t>(count, std::size(texture->palette));
    for (std::uint32_t i = 0; i < stored; ++i) {
        texture->palette[i] = ReadPaletteEntry(in, entry_format);
    }
    texture->palette_count = stored;
    return 1;
}
