// Fuzz target for the whole conversion, in the order the tool runs it: the
// texture's section scan and header, the palette for the indexed formats,
// the size rule and allocation, the texel decode and both BMP writers. The
// decode is held against the plain reference decoder: the same pixels from
// the same bytes, and the same number of bytes consumed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmp.h"
#include "containers.h"
#include "fuzz_input.h"
#include "reference_decoder.h"
#include "texels.h"

namespace {

// Images up to this many pixels are decoded; larger ones would only slow
// the search. The size rule still runs on every header.
constexpr std::uint64_t kMaxFuzzPixels = 1u << 16;

void WriteBoth(const TextureData* texture)
{
    std::FILE* sink = std::fopen("/dev/null", "wb");
    if (sink == nullptr) {
        std::abort();
    }
    WriteColorBMP(sink, texture->width, texture->height, texture->pixels);
    WriteAlphaBMP(sink, texture->width, texture->height, texture->pixels);
    if (std::fflush(sink) != 0 || std::ferror(sink)) {
        std::abort();
    }
    std::fclose(sink);
}

// Aborts unless the reference decoder makes the same pixels of the texels,
// which start at `start` in the texture file, and consumes `consumed` bytes.
void CompareWithReference(const FuzzFiles& files, std::uint64_t start, std::uint64_t consumed, const TextureData* texture)
{
    const std::size_t count = static_cast<std::size_t>(texture->width) * static_cast<std::size_t>(texture->height);
    TextureData reference = *texture;
    reference.pixels = static_cast<RgbaPixel*>(std::calloc(count > 0 ? count : 1, sizeof(RgbaPixel)));
    if (reference.pixels == nullptr) {
        std::abort();
    }
    const std::size_t used = ReferenceDecode(files.texture + start, files.texture_size - start, &reference);
    if (used != consumed || std::memcmp(reference.pixels, texture->pixels, count * sizeof(RgbaPixel)) != 0) {
        std::abort();
    }
    std::free(reference.pixels);
}

void Convert(const FuzzFiles& files)
{
    std::FILE* texture_file = OpenMemory(files.texture, files.texture_size);
    if (texture_file == nullptr) {
        std::abort();
    }
    FileInput in;
    BeginInput(&in, texture_file);
    TextureData texture{};
    if (ReadBRTEX(&in, &texture)) {
        bool palette_ok = true;
        if (texture.format == kCI4 || texture.format == kCI8) {
            std::FILE* palette_file = OpenMemory(files.palette, files.palette_size);
            if (palette_file == nullptr) {
                std::abort();
            }
            FileInput palette_in;
            BeginInput(&palette_in, palette_file);
            palette_ok = ReadBRPLT(&palette_in, &texture) == 1;
            std::fclose(palette_file);
        }
        const std::uint64_t pixels = static_cast<std::uint64_t>(texture.width) * static_cast<std::uint64_t>(texture.height);
        const bool fits = BMPFileSize(texture.width, texture.height) <= UINT32_MAX;
        if (palette_ok && fits && pixels <= kMaxFuzzPixels) {
            texture.pixels = AllocatePixels(&texture);
            if (texture.pixels == nullptr) {
                std::abort(); // a small image must always get its buffer
            }
            const std::uint64_t start = InputPosition(&in);
            ReadTexture(&in, &texture);
            if (InputPosition(&in) > files.texture_size) {
                std::abort(); // the position never passes the end of the file
            }
            CompareWithReference(files, start, InputPosition(&in) - start, &texture);
            WriteBoth(&texture);
            std::free(texture.pixels);
        }
    }
    std::fclose(texture_file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Convert(SplitFuzzInput(data, size));
    return 0;
}
