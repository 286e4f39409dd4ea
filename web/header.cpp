// What the page needs beside a conversion: the texture's width, height,
// format name and whether it needs a palette, read by the tool's own
// container reader from the file the tool is given. The page's worker calls
// these besides the tool's main.
#include <emscripten.h>

#include <cstdint>
#include <cstdio>

#include "containers.h"
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
