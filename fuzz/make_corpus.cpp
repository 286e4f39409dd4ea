// Writes the seed corpora of the two fuzz targets: one small texture per
// format code (and one code that is no format), with 9 x 7 pixels so that
// every format has partial tiles, the indexed ones with a palette in each
// entry decoding; plus a texture and a palette behind leading bytes.
//
//   make_corpus <convert corpus dir> <containers corpus dir>
#include <cstdint>
#include <cstdio>
#include <string>

#include "texture_writer.h"

namespace {

// Reproducible bytes; any byte values are valid texels and palette entries.
Bytes Noise(std::size_t count, std::uint32_t seed)
{
    Bytes bytes(count);
    for (std::uint8_t& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

Bytes ConvertInput(const Bytes& texture, const Bytes& palette)
{
    Bytes input{static_cast<std::uint8_t>(texture.size() >> 8), static_cast<std::uint8_t>(texture.size())};
    input.insert(input.end(), texture.begin(), texture.end());
    input.insert(input.end(), palette.begin(), palette.end());
    return input;
}

bool Write(const std::string& dir, const std::string& name, const Bytes& bytes)
{
    if (!WriteFile(dir + "/" + name, bytes)) {
        std::fprintf(stderr, "make_corpus: cannot write %s/%s\n", dir.c_str(), name.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_corpus <convert corpus dir> <containers corpus dir>\n");
        return 2;
    }
    const std::string convert = argv[1];
    const std::string containers = argv[2];
    bool ok = true;
    const std::uint32_t formats[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 14};
    for (std::uint32_t format : formats) {
        const Bytes texture = MakeBRTEX(9, 7, format, Noise(256, format));
        const std::string stem = "format" + std::to_string(format);
        ok &= Write(containers, stem + ".brtex", texture);
        if (format != 8 && format != 9) {
            ok &= Write(convert, stem, ConvertInput(texture, {}));
            continue;
        }
        const std::uint16_t entries = format == 8 ? 16 : 256;
        for (std::uint32_t entry_format = 0; entry_format < 3; ++entry_format) {
            const Bytes palette = MakeBRPLT(entry_format, entries, Noise(2u * entries, 100 + entry_format));
            const std::string name = stem + "_entries" + std::to_string(entry_format);
            ok &= Write(convert, name, ConvertInput(texture, palette));
            ok &= Write(containers, name + ".brplt", palette);
        }
    }
    const Bytes late_texture = MakeBRTEX(5, 3, 4, Noise(30, 7), 21);
    const Bytes late_palette = MakeBRPLT(1, 4, Noise(8, 8), 13);
    ok &= Write(convert, "leading_bytes", ConvertInput(MakeBRTEX(5, 3, 9, Noise(15, 9), 21), late_palette));
    ok &= Write(containers, "leading_bytes.brtex", late_texture);
    ok &= Write(containers, "leading_bytes.brplt", late_palette);
    return ok ? 0 : 1;
}
