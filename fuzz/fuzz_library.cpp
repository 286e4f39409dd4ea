// The library's interface on any bytes, split as fuzz_convert splits them:
// never a crash, nor a read or write past the bytes and the buffer (which
// is exactly as large as the pixels), and the same pixels and shortfall as
// the tool's reading of the same bytes as files; facts from the first half
// of a file are the whole file's where that half holds the header; and its
// pixels encoded back into it give back its texel bytes.
#include <algorithm>
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
    // Encoded back into the same texture, its own pixels give back its
    // texel bytes, those past its end as 0.
    std::vector<unsigned char> texels(facts.texel_length);
    if (kestrune_encode_rgba(files.texture, files.texture_size, files.palette, files.palette_size, rgba.data(), bytes, stride,
                             texels.data(), texels.size(), nullptr) == KESTRUNE_OK) {
        const std::uint64_t there = files.texture_size > facts.texel_offset ? files.texture_size - facts.texel_offset : 0;
        const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(there, texels.size()));
        if ((kept > 0 && std::memcmp(texels.data(), files.texture + facts.texel_offset, kept) != 0) ||
            std::any_of(texels.begin() + static_cast<std::ptrdiff_t>(kept), texels.end(), [](unsigned char b) { return b != 0; })) {
            std::abort();
        }
    }
    return 0;
}
