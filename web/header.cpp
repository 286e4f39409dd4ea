// What the page needs beside a conversion, from the tool's own code, so
// that the page copies none of its rules: the texture's width, height,
// format name and whether it needs a palette, read by the tool's container
// reader; the palette a texture takes among those beside it, as --batch
// pairs them; and the stem its outputs are named by. The page's worker
// calls these besides the tool's main.
#include <emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "batch.h"
#include "pairing.h"
#include "containers.h"
#include "conversion.h"
#include "bmp.h"
#include "texels.h"

// Fills width, height, format code and whether that format needs a palette
// (1 or 0) into `fields` and returns 1, or
// returns 0 when the file cannot be opened or holds no TEX0 section.
extern "C" EMSCRIPTEN_KEEPALIVE int kestrune_header(const char* name, std::uint32_t* fields)
{
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return 0;
    }
    static_assert(sizeof(InputStream) < 128 * 1024, "the reader lives on the stack");
    InputStream in;
    BeginInput(&in, file);
    TextureData texture{};
    const int found = ReadBRTEX(&in, &texture) && !in.failed;
    std::fclose(file);
    fields[0] = static_cast<std::uint32_t>(texture.width);
    fields[1] = static_cast<std::uint32_t>(texture.height);
    fields[2] = texture.format;
    fields[3] = NeedsPalette(texture.format) ? 1 : 0;
    return found;
}

// The format's name, or an empty string for a code that is no texel format.
extern "C" EMSCRIPTEN_KEEPALIVE const char* kestrune_format_name(std::uint32_t format)
{
    const char* name = FormatName(format);
    return name != nullptr ? name : "";
}

namespace {

// The palette named `name` into the record; false where it cannot be read.
bool ReadPalette(const char* name, TextureData* texture)
{
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return false;
    }
    static_assert(sizeof(InputStream) < 128 * 1024, "two readers live on the stack");
    InputStream in;
    BeginInput(&in, file);
    const bool read = ReadBRPLT(&in, texture) && !in.failed;
    std::fclose(file);
    return read;
}

} // namespace

// The palette the texture named `texture` takes among `names`, the palettes
// beside it, joined by "/" (which no file name holds), as --batch pairs
// them; an empty string for none.
extern "C" EMSCRIPTEN_KEEPALIVE const char* kestrune_palette_beside(const char* texture, const char* names)
{
    static std::string chosen;
    std::vector<std::string> folder;
    for (std::string rest = names; !rest.empty();) {
        const std::size_t slash = rest.find('/');
        folder.push_back(rest.substr(0, slash));
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    }
    std::sort(folder.begin(), folder.end()); // in byte order, as a folder is listed
    chosen = PaletteBeside(texture, folder);
    return chosen.c_str();
}

// The stem a texture's outputs are named by, as a single run names them.
extern "C" EMSCRIPTEN_KEEPALIVE const char* kestrune_output_stem(const char* texture)
{
    static std::string stem;
    stem = OutputStem(texture);
    return stem.c_str();
}

// What a name found in a folder is to a batch: 1 a texture, 2 a palette,
// 0 neither.
extern "C" EMSCRIPTEN_KEEPALIVE int kestrune_kind_of_name(const char* name)
{
    return IsTextureName(name) ? 1 : IsPaletteName(name) ? 2 : 0;
}

// The texture's pixels, R, G, B and A, decoded by the tool's own code with
// the palette where its format needs one, for the page to show what the
// tool's outputs hold: malloc'd, for the page to free, with the width and
// height in `fields`; nullptr where the tool would convert nothing.
extern "C" EMSCRIPTEN_KEEPALIVE RgbaPixel* kestrune_pixels(const char* texture_name, const char* palette_name,
                                                           std::uint32_t* fields)
{
    std::FILE* file = std::fopen(texture_name, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    InputStream in;
    BeginInput(&in, file);
    TextureData texture{};
    RgbaPixel* pixels = nullptr;
    if (ReadBRTEX(&in, &texture) && !in.failed && (!NeedsPalette(texture.format) || ReadPalette(palette_name, &texture))) {
        pixels = AllocatePixels(&texture);
        texture.pixels = pixels;
        if (pixels != nullptr) {
            ReadTexture(&in, &texture);
        }
    }
    std::fclose(file);
    fields[0] = static_cast<std::uint32_t>(texture.width);
    fields[1] = static_cast<std::uint32_t>(texture.height);
    return pixels;
}
