// The library's interface on any bytes, split as fuzz_convert splits them:
// never a crash, nor a read or write past the bytes and the buffer (which
// is exactly as large as the pixels), and the same pixels and shortfall as
// the tool's reading of the same bytes as files; facts from the first half
// of a file are the whole file's where that half holds the header.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "containers.h"
#include "fuzz_input.h"
#include "kestrune.h"
#include "texels.h"

namespace {

// The tool's reading: the texture's pixels and the texel bytes it lacks.
std::vector<RgbaPixel> ReadAsTheTool(const FuzzFiles& files, std::uint64_t* missing)
{
    TextureData texture{};
    std::FILE* file = OpenMemory(files.texture, files.texture_size);
    FileInput in;
    BeginInput(&in, file);
    ReadBRTEX(&in, &texture);
    const std::uint64_t header_missing = in.missing;
    if (NeedsPalette(texture.format)) {
        std::FILE* palette = OpenMemory(files.palette, files.palette_size);
        FileInput palette_in;
        BeginInput(&palette_in, palette);
        ReadBRPLT(&palette_in, &texture);
        std::fclose(palette);
    }
    std::vector<RgbaPixel> pixels(static_cast<std::size_t>(texture.width) * static_cast<std::size_t>(texture.height));
    texture.pixels = pixels.data();
    ReadTexture(&in, &texture);
    std::fclose(file);
    *missing = in.missing - header_missing;
    return pixels;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const FuzzFiles files = SplitFuzzInput(data, size);
    kestrune_facts facts, half;
    const int found = kestrune_read_facts(files.texture, files.texture_size, &facts);
    if (found == KESTRUNE_OK &&
        kestrune_read_facts_prefix(files.texture, files.texture_size / 2, files.texture_size, &half) == KESTRUNE_OK &&
        std::memcmp(&facts, &half, sizeof facts) != 0) {
        std::abort();
    }
    std::size_t bytes = 0;
    if (found != KESTRUNE_OK || kestrune_rgba_size(&facts, &bytes) != KESTRUNE_OK || bytes > (std::size_t{4} << 20)) {
        return 0;
    }
    std::vector<unsigned char> rgba(bytes), grey(bytes);
    const std::size_t stride = 4 * std::size_t{facts.width};
    kestrune_decode_rgba_grey(files.texture, files.texture_size, grey.data(), bytes, stride);
    if (kestrune_decode_rgba(files.texture, files.texture_size, files.palette, files.palette_size, rgba.data(), bytes, stride) !=
        KESTRUNE_OK) {
        return 0;
    }
    std::uint64_t missing = 0;
    const std::vector<RgbaPixel> pixels = ReadAsTheTool(files, &missing);
    if (missing != facts.missing || (bytes > 0 && std::memcmp(pixels.data(), rgba.data(), bytes) != 0)) {
        std::abort();
    }
    return 0;
}
