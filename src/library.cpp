// The library's C interface, over the same container readers, texel
// decoder and pairing rule that the tool runs: every texture is read from
// memory where it lies, and decoded into the caller's buffer.
#include "kestrune.h"

#include <algorithm>
#include <cstring>

#include "containers.h"
#include "pairing.h"
#include "texels.h"

namespace {

// A texture's header, read from some bytes of its file.
struct Header {
    TextureData texture;
    std::uint64_t texel_offset;
};

// The readers live on the caller's stack, which may be a small thread's.
static_assert(sizeof(MemoryInput) < 512, "a memory reader holds a span, not a file's buffer");

// Starts `in` at `size` bytes of a file and reads the header there.
bool ReadHeader(MemoryInput* in, const void* bytes, std::size_t size, Header* header)
{
    BeginMemoryInput(in, static_cast<const std::uint8_t*>(bytes), size);
    header->texture = TextureData{};
    std::uint64_t section = 0;
    if (!ReadBRTEX(in, &header->texture, &section)) {
        return false;
    }
    header->texel_offset = section + 64; // the header's length
    return true;
}

void FillFacts(const Header& header, std::uint64_t file_size, kestrune_facts* facts)
{
    const TextureData& texture = header.texture;
    const std::uint64_t length = TexelBytes(texture.format, texture.width, texture.height);
    const std::uint64_t there = file_size > header.texel_offset ? file_size - header.texel_offset : 0;
    *facts = kestrune_facts{};
    facts->size = sizeof(kestrune_facts);
    facts->width = static_cast<std::uint32_t>(texture.width);
    facts->height = static_cast<std::uint32_t>(texture.height);
    facts->format = texture.format;
    facts->needs_palette = NeedsPalette(texture.format) ? 1 : 0;
    facts->header_cut = header.texel_offset > file_size ? 1 : 0;
    facts->missing = length > there ? length - there : 0;
    facts->texel_offset = header.texel_offset;
    facts->texel_length = length;
}

bool Missing(const void* bytes, std::size_t size)
{
    return bytes == nullptr && size > 0;
}

// The bytes from the first row's first pixel to the last row's last, rows
// `stride` bytes apart (at least 4 x width): false where a size_t cannot
// hold them.
bool SpanOf(std::uint32_t width, std::uint32_t height, std::size_t stride, std::size_t* span)
{
    if (width == 0 || height == 0) {
        *span = 0;
        return true;
    }
    const std::size_t rows = height - 1;
    if (rows > (SIZE_MAX - 4 * std::size_t{width}) / stride) {
        return false;
    }
    *span = rows * stride + 4 * std::size_t{width};
    return true;
}

// A palette file's bytes into the record; false where they hold none.
bool ReadPaletteBytes(const void* palette, std::size_t size, TextureData* texture)
{
    MemoryInput in;
    BeginMemoryInput(&in, static_cast<const std::uint8_t*>(palette), size);
    return ReadBRPLT(&in, texture) != 0;
}

// The grey stand-in for an indexed texture's palette.
void GreyPalette(TextureData* texture)
{
    const int step = texture->format == kCI4 ? 17 : 1;
    int index = 0;
    for (RgbaPixel& entry : texture->palette) {
        const auto grey = static_cast<std::uint8_t>(std::min(255, step * index++));
        entry = RgbaPixel{grey, grey, grey, 255};
    }
}

// The palette an indexed texture needs into its record: the grey stand-in,
// or the palette's bytes.
int TakePalette(TextureData* texture, const void* palette, std::size_t palette_size, bool grey)
{
    if (!NeedsPalette(texture->format)) {
        return KESTRUNE_OK;
    }
    if (grey) {
        GreyPalette(texture);
        return KESTRUNE_OK;
    }
    if (palette == nullptr) {
        return KESTRUNE_NO_PALETTE;
    }
    return ReadPaletteBytes(palette, palette_size, texture) ? KESTRUNE_OK : KESTRUNE_NOT_BRPLT;
}

// The span of the caller's pixels, rows `stride` bytes apart, checked
// against the buffer's size.
int CheckPixels(const TextureData& texture, const void* rgba, std::size_t rgba_size, std::size_t stride, std::size_t* span)
{
    const auto width = static_cast<std::uint32_t>(texture.width), height = static_cast<std::uint32_t>(texture.height);
    if (width > 0 && height > 0 && (stride % 4 != 0 || stride < 4 * std::size_t{width})) {
        return KESTRUNE_BAD_ARGUMENT;
    }
    if (!SpanOf(width, height, stride, span)) {
        return KESTRUNE_TOO_LARGE;
    }
    if (rgba_size < *span) {
        return KESTRUNE_BUFFER_TOO_SMALL;
    }
    return *span > 0 && rgba == nullptr ? KESTRUNE_BAD_ARGUMENT : KESTRUNE_OK;
}

int Decode(const void* texture_bytes, std::size_t texture_size, const void* palette, std::size_t palette_size, bool grey,
           unsigned char* rgba, std::size_t rgba_size, std::size_t stride)
{
    if (Missing(texture_bytes, texture_size) || Missing(palette, palette_size)) {
        return KESTRUNE_BAD_ARGUMENT;
    }
    MemoryInput in;
    Header header;
    if (!ReadHeader(&in, texture_bytes, texture_size, &header)) {
        return KESTRUNE_NOT_BRTEX;
    }
    TextureData& texture = header.texture;
    std::size_t span = 0;
    int result = TakePalette(&texture, palette, palette_size, grey);
    if (result == KESTRUNE_OK) {
        result = CheckPixels(texture, rgba, rgba_size, stride, &span);
    }
    if (result != KESTRUNE_OK || span == 0) {
        return result; // no pixels: nothing to write
    }
    const auto width = static_cast<std::size_t>(texture.width);
    if (FormatName(texture.format) == nullptr) { // no texel format: black and clear
        for (std::int32_t y = 0; y < texture.height; ++y) {
            std::memset(rgba + static_cast<std::size_t>(y) * stride, 0, 4 * width);
        }
        return KESTRUNE_OK;
    }
    texture.pixels = reinterpret_cast<RgbaPixel*>(rgba);
    texture.stride = stride / 4;
    ReadTexture(&in, &texture);
    return KESTRUNE_OK;
}

} // namespace

int kestrune_read_facts(const void* texture, size_t texture_size, kestrune_facts* facts)
{
    return kestrune_read_facts_prefix(texture, texture_size, texture_size, facts);
}

int kestrune_read_facts_prefix(const void* prefix, size_t prefix_size, uint64_t file_size, kestrune_facts* facts)
{
    if (Missing(prefix, prefix_size) || facts == nullptr || prefix_size > file_size) {
        return KESTRUNE_BAD_ARGUMENT;
    }
    MemoryInput in;
    Header header;
    if (!ReadHeader(&in, prefix, prefix_size, &header)) {
        return KESTRUNE_NOT_BRTEX;
    }
    // The fields end 36 bytes into the section: a prefix that stops short
    // of them, in a file that does not, cannot tell them.
    const std::uint64_t fields_end = header.texel_offset - 28;
    if (prefix_size < fields_end && file_size > prefix_size) {
        return KESTRUNE_SHORT_PREFIX;
    }
    FillFacts(header, file_size, facts);
    return KESTRUNE_OK;
}

int kestrune_rgba_size(const kestrune_facts* facts, size_t* size)
{
    if (facts == nullptr || size == nullptr) {
        return KESTRUNE_BAD_ARGUMENT;
    }
    const std::uint64_t bytes = 4 * std::uint64_t{facts->width} * facts->height;
    if (bytes > SIZE_MAX) {
        return KESTRUNE_TOO_LARGE;
    }
    *size = static_cast<std::size_t>(bytes);
    return KESTRUNE_OK;
}

int kestrune_decode_rgba(const void* texture, size_t texture_size, const void* palette, size_t palette_size,
                         unsigned char* rgba, size_t rgba_size, size_t stride)
{
    return Decode(texture, texture_size, palette, palette_size, false, rgba, rgba_size, stride);
}

int kestrune_decode_rgba_grey(const void* texture, size_t texture_size, unsigned char* rgba, size_t rgba_size, size_t stride)
{
    return Decode(texture, texture_size, nullptr, 0, true, rgba, rgba_size, stride);
}

int kestrune_encode_rgba(const void* texture, size_t texture_size, const void* palette, size_t palette_size,
                         const unsigned char* rgba, size_t rgba_size, size_t stride, unsigned char* texels,
                         size_t texels_size, uint64_t* inexact)
{
    if (Missing(texture, texture_size) || Missing(palette, palette_size)) {
        return KESTRUNE_BAD_ARGUMENT;
    }
    MemoryInput in;
    Header header;
    if (!ReadHeader(&in, texture, texture_size, &header)) {
        return KESTRUNE_NOT_BRTEX;
    }
    TextureData& data = header.texture;
    std::size_t span = 0;
    int result = TakePalette(&data, palette, palette_size, false);
    if (result == KESTRUNE_OK) {
        result = CheckPixels(data, rgba, rgba_size, stride, &span);
    }
    if (result != KESTRUNE_OK) {
        return result;
    }
    const std::uint64_t length = TexelBytes(data.format, data.width, data.height);
    if (FormatName(data.format) == nullptr) {
        return KESTRUNE_CANNOT_ENCODE;
    }
    if (texels_size < length) {
        return KESTRUNE_BUFFER_TOO_SMALL;
    }
    if (length > 0 && texels == nullptr) {
        return KESTRUNE_BAD_ARGUMENT;
    }
    std::uint64_t count = 0;
    if (span > 0) {
        WriteTexture(&in, &data, reinterpret_cast<const RgbaPixel*>(rgba), stride / 4, texels, &count);
    }
    if (inexact != nullptr) {
        *inexact = count;
    }
    return KESTRUNE_OK;
}

int kestrune_check_palette(const void* palette, size_t palette_size)
{
    if (Missing(palette, palette_size)) {
        return KESTRUNE_BAD_ARGUMENT;
    }
    TextureData texture{};
    return ReadPaletteBytes(palette, palette_size, &texture) ? KESTRUNE_OK : KESTRUNE_NOT_BRPLT;
}

long kestrune_palette_beside(const char* texture_name, const char* const* names, size_t count)
{
    if (texture_name == nullptr || (names == nullptr && count > 0)) {
        return -1;
    }
    return PaletteIndex(texture_name, names, count);
}

size_t kestrune_output_stem(const char* texture_name, char* stem, size_t stem_size)
{
    if (texture_name == nullptr) {
        texture_name = "";
    }
    const std::size_t length = OutputStemLength(texture_name, std::strlen(texture_name));
    if (stem != nullptr && stem_size > length) {
        std::memcpy(stem, texture_name, length);
        stem[length] = '\0';
    }
    return length;
}

const char* kestrune_format_name(uint32_t format)
{
    return FormatName(format);
}

const char* kestrune_result_text(int result)
{
    switch (result) {
    case KESTRUNE_OK:
        return "no error";
    case KESTRUNE_NOT_BRTEX:
        return "not a BRTEX texture: no TEX0 section";
    case KESTRUNE_NOT_BRPLT:
        return "not a BRPLT palette: no PLT0 section";
    case KESTRUNE_NO_PALETTE:
        return "an indexed texture needs a palette, and none was given";
    case KESTRUNE_TOO_LARGE:
        return "too large: its pixels cannot be held in memory";
    case KESTRUNE_BUFFER_TOO_SMALL:
        return "the buffer is too small for the pixels";
    case KESTRUNE_BAD_ARGUMENT:
        return "a bad argument: no bytes where bytes are needed, or a stride too small or not a multiple of 4";
    case KESTRUNE_SHORT_PREFIX:
        return "the part of the file given ends inside the texture's header";
    case KESTRUNE_CANNOT_ENCODE:
        return "the texture's format is none the library encodes";
    default:
        return "an unknown result";
    }
}

const char* kestrune_version(void)
{
    return KESTRUNE_VERSION;
}
