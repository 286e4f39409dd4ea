// Writes the benchmark textures: one BRTEX file per format named on the
// command line, of the given size, filled with reproducible pseudo-random
// texel bytes (any bytes are valid texel data), plus a 256-entry palette.
//
//   make_textures <dir> <size> <format>...   formats: I4 I8 IA4 IA8 RGB565 RGB5A3 RGBA8 CI4 CI8 CMPR
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_textures.h"
#include "texture_writer.h"

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_textures <dir> <size> <format>...\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int size = std::atoi(argv[2]);
    if (size < 1 || size > 65535) {
        std::fprintf(stderr, "make_textures: size must be 1 to 65535\n");
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        const BenchFormat* format = FindBenchFormat(argv[i]);
        if (format == nullptr) {
            std::fprintf(stderr, "make_textures: unknown format %s\n", argv[i]);
            return 2;
        }
        const std::string name = dir + "/" + format->name + ".brtex";
        if (!WriteFile(name, BenchTexture(*format, static_cast<std::uint16_t>(size)))) {
            std::fprintf(stderr, "make_textures: cannot write %s\n", name.c_str());
            return 1;
        }
    }
    if (!WriteFile(dir + "/palette.brplt", BenchPalette())) {
        std::fprintf(stderr, "make_textures: cannot write the palette\n");
        return 1;
    }
    return 0;
}
