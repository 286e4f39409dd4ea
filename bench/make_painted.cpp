// Writes painted textures (gradients, noise, patterns, cut-out alpha, flat
// art) for the benchmarks and the browser tests:
//
//   make_painted set <dir> [largest] [seed]
//                                      every content in five formats at 64,
//                                      256 and 1024 (or up to `largest`)
//                                      pixels square, flat in <dir>; another
//                                      `seed` paints another set alike
//   make_painted noise <file> <side>   an RGBA8 texture of noise, every
//                                      byte of its texels drawn at random
//   make_painted tree <dir> <count>    a game's tree of <count> textures in
//                                      nested folders: mostly 32 to 256
//                                      square, a few 1024, CMPR the commonest,
//                                      indexed ones with their palettes
//
// The same arguments write the same bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "painted_textures.h"
#include "texture_writer.h"

namespace {

struct Named {
    const char* name;
    std::uint32_t code;
};

constexpr Named kSetFormats[] = {{"RGBA8", 6}, {"CMPR", 14}, {"RGB5A3", 5}, {"IA8", 3}, {"CI8", 9}};

// Formats and sizes as often as a game's files hold them, out of 100.
constexpr struct {
    Named format;
    int share;
} kTreeFormats[] = {{{"CMPR", 14}, 40}, {{"RGB5A3", 5}, 12}, {{"RGBA8", 6}, 10}, {{"RGB565", 4}, 8}, {{"CI8", 9}, 8},
                    {{"CI4", 8}, 6},    {{"I8", 1}, 4},      {{"IA8", 3}, 4},    {{"IA4", 2}, 4},   {{"I4", 0}, 4}};
constexpr struct {
    int size;
    int share;
} kTreeSizes[] = {{32, 15}, {64, 25}, {128, 25}, {256, 25}, {512, 6}, {1024, 4}};
const char* const kFolders[] = {"maps/forest", "maps/forest/props", "maps/castle", "chars/hero", "chars/enemies",
                                "ui",          "ui/icons",          "fx",          "sky"};

std::uint32_t Draw(std::uint32_t n, std::uint32_t salt)
{
    std::uint32_t h = n * 0x9E3779B1u ^ salt * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    return (h ^ (h >> 12)) % 100;
}

bool Write(const std::string& path, Content content, std::uint32_t code, int size, std::uint32_t seed)
{
    const auto side = static_cast<std::uint16_t>(size);
    Bytes palette;
    const Bytes texels = EncodeTexels(code, side, side, PaintRGBA(content, side, side, seed), &palette);
    const std::string stem = path.substr(0, path.size() - 6); // without ".brtex"
    if (!WriteFile(path, MakeBRTEX(side, side, code, texels)) ||
        (!palette.empty() && !WriteFile(stem + ".brplt", MakeBRPLT(2, static_cast<std::uint16_t>(palette.size() / 2), palette)))) {
        std::fprintf(stderr, "make_painted: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

int WriteSet(const std::string& dir, int largest, std::uint32_t seed)
{
    for (int size = 64; size <= largest; size *= 4) {
        for (const Content content : kContents) {
            for (const Named& format : kSetFormats) {
                const std::string name = std::to_string(size) + "_" + ContentName(content) + "_" + format.name + ".brtex";
                if (!Write(dir + "/" + name, content, format.code, size, static_cast<std::uint32_t>(size) + seed)) {
                    return 1;
                }
            }
        }
    }
    return 0;
}

int WriteNoise(const std::string& path, int side)
{
    const auto edge = static_cast<std::uint16_t>(side);
    Bytes rgba(4 * static_cast<std::size_t>(edge) * edge);
    std::uint32_t state = 0x2545F491u;
    for (std::uint8_t& byte : rgba) { // xorshift
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return WriteFile(path, MakeBRTEX(edge, edge, 6, EncodeTexels(6, edge, edge, rgba, nullptr))) ? 0 : 1;
}

int WriteTree(const std::string& dir, int count)
{
    for (int n = 0; n < count; ++n) {
        const auto un = static_cast<std::uint32_t>(n);
        int pick = static_cast<int>(Draw(un, 1)), size = 0;
        for (const auto& entry : kTreeSizes) {
            size = size == 0 && pick < entry.share ? entry.size : size;
            pick -= entry.share;
        }
        pick = static_cast<int>(Draw(un, 2));
        Named format{};
        for (const auto& entry : kTreeFormats) {
            format = format.name == nullptr && pick < entry.share ? entry.format : format;
            pick -= entry.share;
        }
        const char* folder = kFolders[Draw(un, 3) % (sizeof kFolders / sizeof kFolders[0])];
        std::filesystem::create_directories(dir + "/" + folder);
        char name[32];
        std::snprintf(name, sizeof name, "/tex%04d.brtex", n);
        if (!Write(dir + "/" + folder + name, kContents[Draw(un, 4) % 5], format.code, size, un)) {
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "set") == 0) {
        return WriteSet(argv[2], argc > 3 ? std::atoi(argv[3]) : 1024, argc > 4 ? static_cast<std::uint32_t>(std::atol(argv[4])) : 0);
    }
    if (argc == 4 && std::strcmp(argv[1], "noise") == 0) {
        return WriteNoise(argv[2], std::atoi(argv[3]));
    }
    if (argc == 4 && std::strcmp(argv[1], "tree") == 0) {
        return WriteTree(argv[2], std::atoi(argv[3]));
    }
    std::fprintf(stderr, "usage: make_painted set <dir> [largest] [seed] | make_painted noise <file> <side> | make_painted tree <dir> <count>\n");
    return 2;
}
