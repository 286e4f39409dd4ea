// End-to-end runs of the built tool in a scratch directory: what it prints,
// its exit status and the files it leaves. Decoding details are unit tests.
#include <tuple>

#include <libdeflate.h>

#include "cli_fixture.h"
#include "system.h"

#ifndef _WIN32
#include <sys/sysmacros.h>
#include <sys/wait.h>
#endif

// Every way a run can end, one row each, with the files it must leave (an
// empty expectation: the file must not exist) and no other file.
TEST_F(Cli, StatusesMessagesAndFiles)
{
    const auto head = [](const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + n); };
    const std::u8string unicode = u8"\u30c6\u30af\u30b9\u30c1\u30e3 \u00e9t\u00e9";
    const std::string folder(unicode.begin(), unicode.end());
    const auto converted = [](const std::string& stem) {
        return std::map<std::string, Kept>{{stem + ".bmp", kColour}, {stem + "_alpha.bmp", kAlpha}};
    };
    const auto written = [](const std::string& stem) {
        return "File " + stem + ".bmp written\nFile " + stem + "_alpha.bmp written\n";
    };
    const auto texture = [](const std::string& name) { Put(name, kTexture); };
#ifndef _WIN32
    const auto link = [](const std::string& to, const std::string& name) { fs::create_symlink(to, name); };
    // t.bmp leads through `count` links to d/r, the first to d/l2, the next
    // relative to their own folder, the last holding `last`, each after `pad`.
    const auto chain = [&](int count, const std::string& last, const std::string& pad = "") {
        texture("t.brtex"), fs::create_directory("d"), Put("d/r", kOld);
        std::string name = "t.bmp";
        for (int n = 2; n <= count; ++n) {
            link(pad + (n == 2 ? "d/l" : "l") + std::to_string(n), name);
            name = "d/l" + std::to_string(n);
        }
        link(pad + last, name);
    };
#endif
    // Longer than a whole path may be with a temporary name beside it; on
    // Windows, past 260 characters (in a folder the tests can still list).
#ifdef _WIN32
    const int levels = 4, length = 40;
    const std::string name(80, 't');
#else
    const int levels = 16, length = 254;
    const std::string name = "t";
#endif
    std::string deep;
    for (int n = 0; n < levels; ++n) {
        deep += std::string(length, 'a' + n) + "/";
    }
    const std::string usage = "syntax:\n>kestrune [-a] <filename> [<palette filename>]\n-a : export alpha channel\n";
    const std::string help = "--png : write PNGs, alpha included, instead of BMPs\n"
                             "--smallest : with --png, the smallest PNGs the tool makes, many times slower\n"
                             "-o DIR, --output DIR : write the outputs in the folder DIR, made where missing\n"
                             "--batch PATH... : convert every texture (*.brtex) in the folders and files given\n"
                             "-j N, --jobs N : with --batch, on N threads (1 to 256; one per processor by default)\n"
                             "--palette FILE : with --batch, for CI4 and CI8 textures without a palette of their own name\n"
                             "--import IMAGE TEXTURE [PALETTE] : encode the PNG IMAGE into TEXTURE, its texels\n"
                             "  replaced and every other byte kept (in place, or below -o DIR)\n"
                             "-q, --quiet : print only errors, warnings and a batch's count\n"
                             "--info PATH... : for each texture, a line of its path, width, height, format,\n"
                             "  palette and missing bytes, tab-separated; nothing is converted\n"
                             "-- : take every argument after it as a name\n"
                             "--help, -h : print this text\n--version : print the version\n"
                             "CI4 and CI8 textures need the palette file; other formats ignore it.\n"
                             "The BMPs go beside the texture: wood.brtex gives wood.bmp (-a: wood_alpha.bmp);\n"
                             "with --png, wood.png (-a: wood_alpha.png, the alpha as grey).\n"
                             "More: man kestrune, and the page kestrune.html in a browser.\n";
    const std::vector<RgbaPixel> colours = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}};
    const Bytes png = Png(PngImage::kColour, 2, 2, colours), alpha_png = Png(PngImage::kAlpha, 2, 2, colours);
    const std::string spaced = kWindows ? "a b" : "a\\b c"; // a name the palette's hint must quote, and escape
    const Case cases[] = {
        {"no arguments", [] {}, {}, 1, usage, {}},
        // Help is asked for wherever it stands, and is no file name.
        {"--help", [&] { texture("t.brtex"); }, {"t.brtex", "--help"}, 0, usage + help, {{"t.bmp", {}}}},
        {"-h", [&] { texture("-h"); }, {"-h", "-a"}, 0, usage + help, {{"-h.bmp", {}}}},
        {"only the option", [] {}, {"-a", "-a"}, 2, "ERROR: no file specified\n", {}},
        {"missing texture", [] {}, {"t.brtex"}, 3, "ERROR: cannot open file t.brtex\n", {{"t.bmp", {}}}},
        {"texture is a directory", [] { fs::create_directory("t.brtex"); }, {"t.brtex"}, 3,
         "ERROR: cannot open file t.brtex\n", {{"t.bmp", {}}}},
        {"empty texture", [] { Put("t.brtex", {}); }, {"t.brtex"}, 4, "ERROR: t.brtex is not a valid BRTEX file\n",
         {{"t.bmp", {}}}},
        {"CI8 without palette", [] { Put("t.brtex", kIndexed), Put("t.brplt.x", kOld); }, {"-a", "t.brtex"}, 5,
         "ERROR: no palette file specified\n", {{"t.bmp", {}}, {"t_alpha.bmp", {}}}, "", {}, ""},
        // Where the batch would have paired one, standard error gives the
        // line that takes it, the user's own options repeated.
        {"CI8, its palette beside", [&] { fs::create_directories(spaced), fs::create_directory("zZ09aA");
                                          Put(spaced + "/t.brtex", kIndexed), Put(spaced + "/t.BRPLT", kOld); },
         {"-q", "-o", "zZ09aA", spaced + "/t.brtex", "--png"}, 5, "ERROR: no palette file specified\n", {{"zZ09aA/t.png", {}}}, "", {},
         kWindows ? "kestrune: t.BRPLT is beside it: kestrune -q -o zZ09aA \"a b/t.brtex\" --png \"a b/t.BRPLT\"\n"
                  : "kestrune: t.BRPLT is beside it: kestrune -q -o zZ09aA \"a\\\\b c/t.brtex\" --png \"a\\\\b c/t.BRPLT\"\n"},
        {"quiet", [&] { texture("t.brtex"); }, {"--quiet", "-a", "t.brtex"}, 0, "", converted("t")},
        {"missing palette", [] { Put("t.brtex", kIndexed); }, {"t.brtex", "p.brplt"}, 6,
         "ERROR: cannot open file p.brplt\n", {{"t.bmp", {}}}},
        {"empty palette", [] { Put("t.brtex", MakeBRTEX(1, 1, 8, {})), Put("p.brplt", {}); }, {"t.brtex", "p.brplt"}, 7,
         "ERROR: p.brplt is not a valid BRPLT file\n", {{"t.bmp", {}}}},
        // PNGs in place of BMPs, by the same rules: "--png" anywhere, any
        // number of times; a palette taken as ever; none of no pixels.
        {"PNGs", [&] { texture("t.brtex"); }, {"--png", "t.brtex", "-a", "--png"}, 0, "File t.png written\nFile t_alpha.png written\n",
         {{"t.png", png}, {"t_alpha.png", alpha_png}, {"t.bmp", {}}}},
        {"the smallest PNG", [] { Put("s.brtex", kPainted); }, {"--smallest", "--png", "s.brtex"}, 0, "File s.png written\n",
         {{"s.png", SmallestPaintedPng()}}},
        {"--smallest alone", [&] { texture("t.brtex"); }, {"--smallest", "t.brtex"}, 2,
         "ERROR: --smallest goes only with --png\n", {{"t.bmp", {}}}},
        {"PNG of a CI8 texture", [] { Put("t.brtex", kIndexed), Put("p.brplt", MakeBRPLT(1, 3, Words({0, 0xF800, 0x07E0}), 2)); },
         {"t*.brtex", "--png", "p*"}, 0, "File t.png written\n",
         {{"t.png", Png(PngImage::kColour, 3, 1, {{0xFF, 0, 0, 255}, {0, 0xFF, 0, 255}, {0, 0, 0, 0}})}}},
        {"PNG of no pixels", [&] { Put("t.brtex", head(MakeBRTEX(0x1234, 0x5678, 4, {}), 29)); }, {"--png", "t.brtex"}, 10,
         "ERROR: t.brtex has no pixels to put in a PNG\n", {{"t.png", {}}}},
        {"colour PNG cannot be created", [&] { texture("t.brtex"), fs::create_directory("t.png"); }, {"t.brtex", "-a", "--png"}, 8,
         "ERROR: cannot write file t.png\n", {{"t_alpha.png", {}}}},
        {"colour output cannot be created", [&] { texture("t.brtex"), fs::create_directory("t.bmp"); },
         {"t.brtex", "-a"}, 8, "ERROR: cannot write file t.bmp\n", {{"t_alpha.bmp", {}}}},
        // A file with another link is rewritten in place, its size reserved
        // first, so that both names see the new BMP or, at a limit, the old.
        {"second link", [&] {
             texture("t.brtex"), Put("t.bmp", Bytes(99, 'x')), fs::create_directory("d"), fs::create_hard_link("t.bmp", "d/l.bmp"); },
         {"t.brtex"}, 0, "File t.bmp written\n", {{"t.bmp", kColour}, {"d/l.bmp", kColour}}},
        {"a long name", [&] { fs::create_directories(deep), texture(deep + name + ".brtex"); }, {deep + name + ".brtex"}, 0,
         "File " + deep + name + ".bmp written\n", {{deep + name + ".bmp", kColour}}},
#ifdef _WIN32
        // The read-only attribute refuses the replacement as it refuses a
        // write; the others stay with the replaced file.
        {"read-only output", [&] { texture("t.brtex"), Put("t.bmp", kOld), fs::permissions("t.bmp", fs::perms(0444)); },
         {"t.brtex"}, 8, "ERROR: cannot write file t.bmp\n", {{"t.bmp", kOld}}},
        {"hidden and system output", [&] { texture("t.brtex"), Put("t.bmp", kOld), Sh("attrib +h +s t.bmp"); }, {"t.brtex"},
         0, "File t.bmp written\n", {{"t.bmp", kColour}}, "", {"attrib t.bmp"}},
#else
        // The file a link leads to is replaced, and the links stay; a link
        // to no file makes it. A write past the file-size limit fails, through
        // the 40 links the system follows too, and keeps the old file; past
        // those links the name cannot be written.
        {"replaced through links", [&] { chain(2, (dir_ / "d/r").string()); }, {"t.brtex"}, 0, "File t.bmp written\n",
         {{"d/r", kColour}}},
        {"link to no file", [&] { texture("t.brtex"), fs::create_directory("d"), link("d/new.bmp", "t.bmp"); },
         {"t.brtex"}, 0, "File t.bmp written\n", {{"d/new.bmp", kColour}}},
        {"size limit, 40 links", [&] { chain(40, "r"), Put("t.brtex", MakeBRTEX(64, 64, 4, {})); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"d/r", kOld}}, "ulimit -f 8; "},
        {"40 links", [&] { chain(40, "r"); }, {"t.brtex"}, 0, "File t.bmp written\n", {{"d/r", kColour}}},
        {"41 links", [&] { chain(41, "r"); }, {"t.brtex"}, 8, "ERROR: cannot write file t.bmp\n", {{"d/r", kOld}}},
        // A file rewritten in place changes only once it can change whole: not
        // under a size limit its old length passes, nor one descriptor short.
        {"second link, size limit", [&] {
             Put("t.brtex", MakeBRTEX(64, 64, 4, {})), Put("t.bmp", Bytes(300000, 'x')), fs::create_hard_link("t.bmp", "l.bmp"); },
         {"t.brtex"}, 8, "ERROR: cannot write file t.bmp\n", {{"t.bmp", Bytes(300000, 'x')}, {"l.bmp", Bytes(300000, 'x')}}, "ulimit -f 8; "},
        {"second link, out of descriptors", [&] { texture("t.brtex"), Put("t.bmp", kOld), fs::create_hard_link("t.bmp", "l.bmp"); },
         {"t.brtex"}, 8, "ERROR: cannot write file t.bmp\n", {{"t.bmp", kOld}, {"l.bmp", kOld}}, "prlimit --nofile=5 "},
        // A replaced file keeps its mode; a new one gets what the umask leaves.
        {"modes", [&] { texture("t.brtex"), Put("t.bmp", kOld), fs::permissions("t.bmp", fs::perms(0604)); },
         {"-a", "t.brtex"}, 0, written("t"), {{"t.bmp", Kept(kColour, 0604)}, {"t_alpha.bmp", Kept(kAlpha, 0640)}}, "umask 026; "},
        // Links to a folder, through a file or nothing name no file; links of a
        // kilobyte and the kernel's own (to the folder, to an open file, which
        // is rewritten in place) lead on. Out of descriptors, nothing changes.
        {"link to a folder", [&] { texture("t.brtex"), fs::create_directory("d"), link("d/", "t.bmp"); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {}},
        {"link through a file", [&] { texture("t.brtex"), Put("f", kOld), link("f/x", "t.bmp"); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"f", kOld}}},
        {"link through nothing", [&] { texture("t.brtex"), link("none/x", "t.bmp"); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {}},
        {"links of a kilobyte", [&] { chain(5, "r", std::string(1000, '/').replace(0, 2, "./")); }, {"t.brtex"}, 0,
         "File t.bmp written\n", {{"d/r", kColour}}},
        {"the kernel's link to the folder", [&] { texture("t.brtex"), Put("t.bmp", kOld); }, {"/proc/self/cwd/t.brtex"},
         0, "File /proc/self/cwd/t.bmp written\n", {{"t.bmp", kColour}}, "", {"!stat -c %i t.bmp"}},
        {"the kernel's link to an open file", [&] { texture("t.brtex"), Put("r", Bytes(99, 'x')), link("/proc/self/fd/5", "t.bmp"); },
         {"t.brtex"}, 0, "File t.bmp written\n", {{"r", kColour}}, "exec 5<> r; ", {"stat -c %i r"}},
        // Without files without a name (a tracer fails the 3rd and 7th opened
        // through the folder), a temporary name stands in, gone after.
        {"no unnamed files", [&] { texture("t.brtex"), Put("t.bmp", kOld), fs::permissions("t.bmp", fs::perms(0604)); },
         {"-a", "t.brtex"}, 0, written("t"), {{"t.bmp", Kept(kColour, 0604)}, {"t_alpha.bmp", Kept(kAlpha, 0640)}},
         "umask 026; " + Failing(dir_.string(), "openat", "EOPNOTSUPP", "3+4"), {"!stat -c %i t.bmp"}},
        {"size limit", [&] { Put("t.brtex", MakeBRTEX(64, 64, 4, {})), Put("t.bmp", kOld); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"t.bmp", kOld}}, "ulimit -f 8; "},
        {"out of descriptors", [&] { texture("t.brtex"), Put("t.bmp", kOld); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"t.bmp", kOld}}, "prlimit --nofile=5 "},
        // One descriptor short of a stream over the new file, or over a device.
        {"out of descriptors for the stream", [&] { texture("t.brtex"), Put("t.bmp", kOld); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"t.bmp", kOld}}, "prlimit --nofile=6 "},
        {"out of descriptors for a device's stream", [&] { texture("t.brtex"), link("/dev/null", "t.bmp"); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {}, "prlimit --nofile=5 "},
#endif
        {"one row past the size field", [] { Put("t.brtex", MakeBRTEX(65535, 21846, 14, {})); }, {"t.brtex"}, 10,
         "ERROR: t.brtex is too large to convert\n", {{"t.bmp", {}}}},
        // Files cut short: after the first word and half the second, and after
        // the width's high byte (4608 x 0 pixels).
        {"truncated texture", [&] { Put("t.brtex", head(kTexture, 67)); }, {"t.brtex"}, 0, "File t.bmp written\n",
         {{"t.bmp", ReferenceBmp(2, 2, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0xE3, 0})}}, "", {},
         "kestrune: warning: t.brtex ends 5 bytes short of its texels\n"},
        {"header cut short", [&] { Put("t.brtex", head(MakeBRTEX(0x1234, 0x5678, 4, {}), 29)); }, {"t.brtex"}, 0,
         "File t.bmp written\n", {{"t.bmp", ReferenceBmp(4608, 0, {})}}, "", {}, "kestrune: warning: t.brtex ends inside its header\n"},
        // Entries 1 and 2 of a 5:6:5 palette; entry 200 is beyond its count and
        // black. Wildcards name the texture and the palette.
        {"CI8 texture", [] { Put("t.brtex", kIndexed), Put("p.brplt", MakeBRPLT(1, 3, Words({0, 0xF800, 0x07E0}), 2)); },
         {"-a", "t*.brtex", "p*"}, 0, written("t"),
         {{"t.bmp", ReferenceBmp(3, 1, {0, 0, 0xFF, 0, 0xFF, 0, 0, 0, 0})},
          {"t_alpha.bmp", ReferenceBmp(3, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0})}}},
        {"CI4 texture", [] { Put("t.brtex", MakeBRTEX(3, 1, 8, {0x12, 0x0F})), Put("p.brplt", MakeBRPLT(0, 3, {0, 0, 9, 8, 7, 6})); },
         {"t.brtex", "p.brplt"}, 0, "File t.bmp written\n",
         {{"t.bmp", ReferenceBmp(3, 1, {9, 9, 9, 7, 7, 7, 0, 0, 0})}, {"t_alpha.bmp", {}}}},
        // Past 64 KiB, the size field's upper half counts; rows wider than the
        // writer's buffer are split, and a row's padding lands past a full one.
        // Its pixel buffer is past 2 MiB, as is that of a code that decodes
        // nothing, whose image stays black.
        {"large BMP", [] { Put("t.brtex", MakeBRTEX(23830, 23, 4, Bytes(1096180, 0xFF))); }, {"t.brtex"}, 0,
         "File t.bmp written\n", {{"t.bmp", ReferenceBmp(23830, 23, Bytes(1644270, 0xFF))}}, kGarbageHeap},
        {"large unknown format", [] { Put("t.brtex", MakeBRTEX(1024, 512, 7, {})); }, {"t.brtex"}, 0,
         "File t.bmp written\n", {{"t.bmp", ReferenceBmp(1024, 512, Bytes(1572864, 0))}}, kGarbageHeap},
        // Output names: "-a" may stand anywhere, a direct-colour texture never
        // opens its palette, and an old output is replaced.
        {"palette ignored", [&] { texture("wood.brtex"), Put("wood.bmp", Bytes(99, 1)); },
         {"wood.brtex", "missing.brplt", "ignored", "-a"}, 0, written("wood"), converted("wood")},
        {"directory kept", [&] { fs::create_directory("d"), texture("d/wood.brtex"); }, {"-a", "d/wood.brtex"}, 0,
         written("d/wood"), converted("d/wood")},
        {"extension in capitals", [&] { texture("wood.BRTEX"); }, {"-a", "wood.BRTEX"}, 0, written("wood.BRTEX"),
         converted("wood.BRTEX")},
        {"only the extension", [&] { texture(".brtex"); }, {"-a", ".brtex"}, 0, written(".brtex"), converted(".brtex")},
        // The messages name the files in UTF-8, the bytes given.
        {"names beyond ASCII", [&] { fs::create_directory(fs::path(unicode)), texture(folder + "/t.brtex"); },
         {"-a", folder + "/t.brtex"}, 0, written(folder + "/t"), converted(folder + "/t")},
    };
    for (const Case& c : cases) {
        Check(c);
    }
}

#ifndef _WIN32
// A PNG of `type` and `depth`: its signature and header, and where asked,
// its pixels, all 0 bits (black, or the first entry), in a 1-bit grey image,
// their stream's check broken, or colour-space chunks before them, where
// asked.
enum class Body { kNone, kPixels, kBrokenCheck, kColourChunks };
static Bytes PngOf(std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t type, Body body)
{
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto word = [](Bytes* to, std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            to->push_back(static_cast<std::uint8_t>(value >> shift));
        }
    };
    const auto chunk = [&](const char* name, const Bytes& data) { // its length, name, data and check
        Bytes body(name, name + 4);
        body.insert(body.end(), data.begin(), data.end());
        word(&png, static_cast<std::uint32_t>(data.size()));
        png.insert(png.end(), body.begin(), body.end());
        word(&png, libdeflate_crc32(0, body.data(), body.size()));
    };
    Bytes header;
    word(&header, width), word(&header, height);
    header.insert(header.end(), {depth, type, 0, 0, 0});
    chunk("IHDR", header);
    if (body == Body::kColourChunks) { // a gamma of 1/2.2, sRGB
        chunk("gAMA", {0, 0, 0xB1, 0x8F}), chunk("sRGB", {0});
    }
    if (body != Body::kNone) {
        const Bytes rows(static_cast<std::size_t>(height) * (1 + (width + 7) / 8), 0);
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
        Bytes pixels(libdeflate_zlib_compress_bound(compressor, rows.size()));
        pixels.resize(libdeflate_zlib_compress(compressor, rows.data(), rows.size(), pixels.data(), pixels.size()));
        libdeflate_free_compressor(compressor);
        pixels.back() ^= body == Body::kBrokenCheck ? 1 : 0;
        chunk("IDAT", pixels), chunk("IEND", {});
    }
    return png;
}
#endif

// A PNG back into the texture it came from: unedited, the same bytes;
// edited, the nearest values; every byte outside the texel data kept; each
// failure its line and status, with nothing written.
TEST_F(Cli, Imports)
{
    const std::vector<RgbaPixel> colours = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}};
    std::vector<RgbaPixel> edited = colours;
    edited[3] = {12, 0, 0, 255}; // between two values of red: the upper
    const Bytes png = Png(PngImage::kColour, 2, 2, colours), changed = Png(PngImage::kColour, 2, 2, edited);
    Bytes large = MakeBRTEX(512, 512, 1, Bytes(262144, 128));
    const Bytes reds = MakeBRPLT(2, 256, Words(std::vector<std::uint16_t>(256, 0xFC00))), reds_texture = MakeBRTEX(8, 4, 9, Bytes(32, 0));
    large.insert(large.end(), 70000, 'm');
    Bytes framed = MakeBRTEX(2, 2, 4, Words({0xF800, 0x07E0, 0x001F, 0xFFFF}), 7);
    framed.insert(framed.end(), {'m', 'i', 'p'}); // a level the tool does not read
    Bytes framed_edited = framed, black = framed;
    std::fill(black.begin() + 7 + 64, black.end() - 3, 0);
    framed_edited[7 + 64 + 6] = 0x10, framed_edited[7 + 64 + 7] = 0x00;
    const Bytes indexed = MakeBRTEX(2, 1, 9, {1, 0}), palette = MakeBRPLT(1, 2, Words({0xF800, 0x07E0}));
    const auto inputs = [&](const Bytes& texture, const Bytes& image) { return [=] { Put("t.brtex", texture), Put("t.png", image); }; };
    const Case cases[] = {
        {"unedited", inputs(framed, png), {"--import", "t.png", "t.brtex"}, 0, "File t.brtex written\n",
         {{"t.brtex", framed}, {"t.png", png}}},
        {"edited", inputs(framed, changed), {"--import", "t.png", "t.brtex"}, 0, "File t.brtex written\n", {{"t.brtex", framed_edited}}, "",
         {}, ""},
        {"below -o", inputs(framed, changed), {"t.png", "--import", "-o", "out", "t.brtex"}, 0,
         std::string("File out") + kSeparator + "t.brtex written\n", {{"t.brtex", framed}, {"out/t.brtex", framed_edited}}},
        {"another size", [&] { inputs(indexed, changed)(), Put("p.brplt", palette); }, {"--import", "t.png", "t.brtex", "p.brplt"},
         15, "ERROR: t.png is 2x2 and t.brtex is 2x1\n", {{"t.brtex", indexed}}},
        {"indexed, nearest entries", [&] { inputs(indexed, Png(PngImage::kColour, 2, 1, {{250, 0, 0, 255}, {0, 0, 255, 255}}))(),
                                             Put("p.brplt", palette); },
         {"--import", "t.png", "t.brtex", "p.brplt"}, 0, "File t.brtex written\n", {{"t.brtex", MakeBRTEX(2, 1, 9, {0, 0})}}, "", {},
         "kestrune: warning: 2 texels of t.png are not in p.brplt; the nearest entries were used\n"},
        {"indexed, one texel not in the palette", [&] { inputs(indexed, Png(PngImage::kColour, 2, 1, {{0, 255, 0, 255}, {250, 0, 0, 255}}))(),
                                                        Put("p.brplt", palette); },
         {"--import", "-q", "t.png", "t.brtex", "p.brplt"}, 0, "", {{"t.brtex", indexed}}, "", {},
         "kestrune: warning: 1 texel of t.png is not in p.brplt; the nearest entry was used\n"},
        {"indexed, unedited", [&] { inputs(indexed, Png(PngImage::kColour, 2, 1, {{0, 255, 0, 255}, {255, 0, 0, 255}}))(),
                                    Put("p.brplt", palette); },
         {"--import", "t.png", "t.brtex", "p.brplt"}, 0, "File t.brtex written\n", {{"t.brtex", indexed}}, "", {}, ""},
        {"no palette", [&] { inputs(indexed, png)(), Put("t.brplt", palette); }, {"--import", "t.png", "t.brtex"}, 5,
         "ERROR: no palette file specified\n", {{"t.brtex", indexed}}, "", {},
         "kestrune: t.brplt is beside it: kestrune --import t.png t.brtex t.brplt\n"},
        {"missing image", [&] { Put("t.brtex", framed); }, {"--import", "t.png", "t.brtex"}, 14, "ERROR: cannot read image t.png\n",
         {{"t.brtex", framed}}},
        {"no PNG", inputs(framed, Bytes(40, 'x')), {"--import", "t.png", "t.brtex"}, 14, "ERROR: cannot read image t.png\n",
         {{"t.brtex", framed}}},
        {"a PNG cut short", inputs(framed, Bytes(png.begin(), png.end() - 20)), {"--import", "t.png", "t.brtex"}, 14,
         "ERROR: cannot read image t.png\n", {{"t.brtex", framed}}},
        {"no texel format", inputs(MakeBRTEX(2, 2, 7, Bytes(8, 0)), png), {"--import", "t.png", "t.brtex"}, 16,
         "ERROR: t.brtex has a format the tool cannot encode\n", {{"t.brtex", MakeBRTEX(2, 2, 7, Bytes(8, 0))}}},
        {"no texture", inputs(Bytes(10, 'x'), png), {"--import", "t.png", "t.brtex"}, 4, "ERROR: t.brtex is not a valid BRTEX file\n",
         {{"t.brtex", Bytes(10, 'x')}}},
        {"one name", inputs(framed, png), {"--import", "t.png"}, 2,
         "ERROR: --import needs an image, a texture and, for CI4 and CI8, a palette\n", {{"t.brtex", framed}}},
        {"with -a", inputs(framed, png), {"--import", "-a", "t.png", "t.brtex"}, 2, "ERROR: -a does not go with --import\n",
         {{"t.brtex", framed}}},
        // A template read in more than one piece, every byte kept.
        {"a template past 64 KiB", inputs(large, Png(PngImage::kColour, 512, 512, std::vector<RgbaPixel>(262144, {128, 128, 128, 255}))),
         {"--import", "t.png", "t.brtex"}, 0, "File t.brtex written\n", {{"t.brtex", large}}},
        {"an output that cannot be made", [&] { inputs(framed, png)(), fs::create_directories("out/t.brtex"); },
         {"--import", "t.png", "t.brtex", "-o", "out"}, 8, std::string("ERROR: cannot write file out") + kSeparator + "t.brtex\n",
         {{"t.brtex", framed}}},
        {"not a palette", [&] { inputs(indexed, Png(PngImage::kColour, 2, 1, colours))(), Put("p.brplt", Bytes(10, 'x')); },
         {"--import", "t.png", "t.brtex", "p.brplt"}, 7, "ERROR: p.brplt is not a valid BRPLT file\n", {{"t.brtex", indexed}}},
        // A template that ends inside its texel data gets them whole, its
        // missing bytes read as 0 (entry 0 of equal entries, not the one
        // that unset memory would name).
        {"template cut short, read as 0", [&] { Put("t.brtex", Bytes(reds_texture.begin(), reds_texture.begin() + 65)), Put("p.brplt", reds),
                                                 Put("t.png", Png(PngImage::kColour, 8, 4, std::vector<RgbaPixel>(32, {255, 0, 0, 255}))); },
         {"--import", "t.png", "t.brtex", "p.brplt"}, 0, "File t.brtex written\n", {{"t.brtex", reds_texture}}, kGarbageHeap},
#ifndef _WIN32
        {"-o a file", [&] { inputs(framed, png)(), Put("out", kOld); }, {"--import", "t.png", "t.brtex", "-o", "out"}, 8,
         "ERROR: cannot write file out\n", {{"t.brtex", framed}, {"out", kOld}}},
        {"a full device", [&] { inputs(framed, png)(), fs::create_directory("out"), fs::create_symlink("/dev/full", "out/t.brtex"); },
         {"--import", "t.png", "t.brtex", "-o", "out"}, 8, "ERROR: cannot write file out/t.brtex\n", {{"t.brtex", framed}}},
        // A PNG whose pixels' stream fails its check; one wider than any texture.
        {"a broken check", inputs(framed, PngOf(2, 2, 1, 0, Body::kBrokenCheck)), {"--import", "t.png", "t.brtex"}, 14,
         "ERROR: cannot read image t.png\n", {{"t.brtex", framed}}},
        {"colour-space chunks", inputs(framed, PngOf(2, 2, 1, 0, Body::kColourChunks)), {"--import", "t.png", "t.brtex"}, 0,
         "File t.brtex written\n", {{"t.brtex", black}}},
        {"wider than any texture", inputs(framed, PngOf(70000, 2, 1, 0, Body::kNone)), {"--import", "t.png", "t.brtex"}, 15,
         "ERROR: t.png is 70000x2 and t.brtex is 2x2\n", {{"t.brtex", framed}}},
        // 1 GiB of pixels, 512 MiB of 16-bit samples beside 256 MiB of
        // pixels, and a template of 600 MiB, where 512 MiB are to be had;
        // 256 MiB of pixels, as much of new texels and again of a template's,
        // where 667 MiB are.
        {"no memory for the pixels", inputs(MakeBRTEX(16384, 16384, 6, {}), PngOf(16384, 16384, 8, 6, Body::kNone)),
         {"--import", "t.png", "t.brtex"}, 10, "ERROR: t.brtex is too large to convert\n", {{"t.brtex", MakeBRTEX(16384, 16384, 6, {})}},
         kMemoryLimit},
#ifndef KESTRUNE_SANITIZED // each of its blocks is within a sanitizer's limit; all three are not
        {"no memory for the template's texels", inputs(MakeBRTEX(8192, 8192, 6, {}), PngOf(8192, 8192, 1, 0, Body::kPixels)),
         {"--import", "t.png", "t.brtex"}, 10, "ERROR: t.brtex is too large to convert\n", {{"t.brtex", MakeBRTEX(8192, 8192, 6, {})}},
         "prlimit --as=700000000 "},
#endif
        {"no memory for the template", [&] { inputs(framed, png)(), fs::resize_file("t.brtex", 600 << 20); },
         {"--import", "t.png", "t.brtex"}, 10, "ERROR: t.brtex is too large to convert\n", {}, kMemoryLimit, {"stat -c '%s %i %Y' t.brtex"}},
        {"no memory for 16-bit samples", inputs(MakeBRTEX(8192, 8192, 6, {}), PngOf(8192, 8192, 16, 6, Body::kNone)),
         {"--import", "t.png", "t.brtex"}, 10, "ERROR: t.brtex is too large to convert\n", {{"t.brtex", MakeBRTEX(8192, 8192, 6, {})}},
         kMemoryLimit},
#endif
    };
    for (const Case& c : cases) {
        Check(c);
    }
}

// The version answers alone, before any other argument is looked at.
TEST_F(Cli, Version)
{
    const ToolRun run = RunTool({"t.brtex", "--version", "-h"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Text("kestrune " KESTRUNE_VERSION "\n"));
}

#ifndef _WIN32
// A read error fails the run wherever it falls: in the section scan past
// the first 4 KiB read, in texels past the first 64 KiB, in the palette.
TEST_F(Cli, ReadErrors)
{
    if (std::system("strace -o /dev/null true 2> /dev/null") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const Case cases[] = {
        {"in the scan", [] { Put("t.brtex", MakeBRTEX(2, 2, 4, {}, 5000)); }, {"t.brtex"}, 11,
         "ERROR: cannot read file t.brtex\n", {{"t.bmp", {}}}, Failing("t.brtex", "read", "EIO", "2")},
        {"in the texels", [] { Put("t.brtex", MakeBRTEX(256, 256, 6, Bytes(262144, 7))); }, {"t.brtex"}, 11,
         "ERROR: cannot read file t.brtex\n", {{"t.bmp", {}}}, Failing("t.brtex", "read", "EIO", "3")},
        {"in the palette", [] { Put("t.brtex", kIndexed), Put("p.brplt", MakeBRPLT(1, 3, {}, 5000)); },
         {"t.brtex", "p.brplt"}, 11, "ERROR: cannot read file p.brplt\n", {{"t.bmp", {}}}, Failing("p.brplt", "read", "EIO", "2")},
        {"in an import's template", [] { Put("t.brtex", MakeBRTEX(2, 2, 4, {}, 5000)), Put("t.png", Bytes(8, 0)); },
         {"--import", "t.png", "t.brtex"}, 11, "ERROR: cannot read file t.brtex\n", {}, Failing("t.brtex", "read", "EIO", "2")},
    };
    for (const Case& c : cases) {
        Check(c);
    }
    Put("t.brtex", MakeBRTEX(2, 2, 4, {}, 5000)); // its header past the first part read
    const ToolRun info = RunTool({"--info", "t.brtex"}, Failing("t.brtex", "read", "EIO", "2"));
    EXPECT_EQ(std::make_pair(info.status, info.out), std::make_pair(13, Text("t.brtex\tERROR: cannot read file t.brtex\n")));
}

// A temporary name that a killed run of the same process id left is
// passed over, and the file stays.
TEST_F(Cli, TemporaryNamesPassOverFilesLeftBehind)
{
    Put("t.brtex", kTexture), Put("t.bmp", kOld);
    EXPECT_EQ(RunTool({"t.brtex"}, "echo $$ > pid; for n in 0 1; do echo x > .kestrune-$$-$n.tmp; done; exec ").status, 0);
    EXPECT_EQ(ReadFile("t.bmp"), kColour);
    const Bytes pid = ReadFile("pid");
    const std::string stem = ".kestrune-" + std::string(pid.begin(), pid.end() - 1) + "-";
    EXPECT_EQ(Listing(), (std::set<std::string>{"pid", "t.brtex", "t.bmp", stem + "0.tmp", stem + "1.tmp"}));
}

// Standard output that cannot take the messages fails the run, after the
// files, with the one line that goes to standard error.
TEST_F(Cli, BrokenStandardOutput)
{
    for (const char* redirect : {"> /dev/full", ">&-"}) {
        Put("t.brtex", kTexture);
        EXPECT_EQ(Shell("{ exec 2>&1; " + Quoted(kTool.string()) + " t.brtex " + redirect + "; echo $?; }"),
                  "kestrune: cannot write to standard output\n12\n") << redirect;
        EXPECT_EQ(ReadFile("t.bmp"), kColour) << redirect;
    }
}

// A name that leads to a pipe through the kernel's own links is written
// to the pipe, before the messages.
TEST_F(Cli, ThroughStandardOutput)
{
    Put("t.brtex", kTexture), fs::create_symlink("/dev/stdout", "t.bmp");
    EXPECT_EQ(Shell(Quoted(kTool.string()) + " t.brtex | cat"), std::string(kColour.begin(), kColour.end()) + Console("File t.bmp written\n"));
}


// Any signal that ends a process, sent while a BMP is written, leaves the
// old file and no other and ends the run as it ends any process; one that
// is ignored stays so; a rewrite in place ends whole. A run that outpaces
// the watch is tried again.
TEST_F(Cli, InterruptsLeaveTheOldFileAndNoOther)
{
    // Each signal and how: to a run that replaces the file, one that rewrites a file with a second link;
    // for some, one under a tracer that takes files without a name away, and one whose tracer sends it as
    // the rewrite reserves its size; to a run that ignores it, one past its colour BMP into the alpha one.
    std::vector<std::pair<int, std::string>> interrupts = {{SIGINT, "ignored"}, {SIGTERM, "alpha"}};
    const bool tracer = std::system("strace -o /dev/null true 2> /dev/null") == 0;
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGXCPU, SIGVTALRM,
                          SIGPROF, SIGRTMIN + 3}) {
        interrupts.push_back({sig, ""}), interrupts.push_back({sig, "linked"});
        if (tracer && (sig == SIGINT || sig == SIGTERM || sig == SIGQUIT || sig == SIGUSR1 || sig == SIGPIPE || sig == SIGHUP)) {
            interrupts.push_back({sig, sig == SIGINT ? "traced, ignored" : "traced"}), interrupts.push_back({sig, "reserved"});
        }
    }
    // Grey, so that a half-written BMP never reads as whole where the disk
    // holds zeros for the rest.
    Put("t.brtex", MakeBRTEX(2048, 2048, 6, Bytes(2048 * 2048 * 4, 0x7F)));
    const Bytes converted = ReferenceBmp(2048, 2048, Bytes(2048 * 2048 * 3, 0x7F));
    for (const auto& [sig, how] : interrupts) {
        SCOPED_TRACE(testing::Message() << "signal " << sig << ", " << how);
        const bool ignored = how.ends_with("ignored"), reserved = how == "reserved", linked = how == "linked" || reserved;
        const bool traced = how.starts_with("traced");
        bool ended_as_told = false;
        for (int attempt = 0; attempt < 20 && !ended_as_told; ++attempt) {
            fs::remove("l.bmp"), Put("t.bmp", kOld), Put("t_alpha.bmp", kOld); // there whether or not a late signal lets it be replaced
            if (linked) {
                fs::create_hard_link("t.bmp", "l.bmp");
            }
            const std::set<std::string> before = Listing();
            const std::string tracer = traced     ? "env " + Failing(dir_.string(), "openat", "EOPNOTSUPP", "3")
                                       : reserved ? "env " + Injecting("t.bmp", "fallocate", "signal=" + std::to_string(sig), "1")
                                                  : "";
            const pid_t pid = Start(tracer + Quoted(kTool.string()) + (how == "alpha" ? " -a" : "") + " t.brtex", ignored ? sig : 0);
            int status = 0;
            pid_t writer = 0;
            std::error_code renamed;
            while (!reserved && ((writer = Writer(pid)) == 0 || (how == "alpha" && fs::file_size("t.bmp", renamed) != converted.size())) &&
                   waitpid(pid, &status, WNOHANG) == 0) {
            }
            const bool named = std::any_of(fs::directory_iterator("."), fs::directory_iterator(),
                                           [](const auto& entry) { return entry.path().filename().string().starts_with(".kestrune-"); });
            if (reserved || (writer != 0 && kill(writer, sig) == 0)) {
                waitpid(pid, &status, 0);
            }
            const Bytes bmp = ReadFile("t.bmp");
            EXPECT_TRUE(bmp == kOld || bmp == converted);
            EXPECT_EQ(Listing(), before);
            const bool finished = bmp == converted && (!linked || ReadFile("l.bmp") == converted);
            ended_as_told = (!traced || named) && (ignored ? WIFEXITED(status) && WEXITSTATUS(status) == 0 && finished
                                                           : WIFSIGNALED(status) && WTERMSIG(status) == sig &&
                                                                 (how == "alpha" ? finished && ReadFile("t_alpha.bmp") == kOld
                                                                  : linked ? finished : bmp == kOld));
        }
        EXPECT_TRUE(ended_as_told);
    }
}


// A run ends as a write in place would leave it: the same owner, group and
// mode; a file the user may not write is refused; a file the user may write
// in a folder they may not, or whose owner a new file cannot be given, is
// rewritten in place.
TEST_F(AsRootAndAnother, RunsEndAsAWriteInPlaceWould)
{
    constexpr int kNobody = 65534;
    const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const auto old = [](const std::string& name, int owner, int mode) {
        Put(name, kOld), fs::permissions(name, fs::perms(mode));
        ASSERT_EQ(chown(name.c_str(), owner, owner), 0);
    };
    const auto texture = [](const std::string& name) { Put(name, kTexture); };
    // d/t.bmp leads to r through a link of `link_owner`'s, in a folder of
    // `folder_owner`'s with `folder_mode`.
    const auto shared = [&](int folder_owner, int folder_mode, int link_owner) {
        return [=] {
            fs::create_directory("d"), texture("d/t.brtex"), Put("r", kOld), fs::create_symlink("../r", "d/t.bmp");
            ASSERT_EQ(lchown("d/t.bmp", link_owner, link_owner) | chown("d", folder_owner, folder_owner), 0);
            fs::permissions("d", fs::perms(folder_mode));
        };
    };
    // d/t.bmp, a file or a FIFO of `owner`'s, stands in a folder of root's with `folder_mode`.
    const auto planted = [&](int folder_mode, int owner, bool fifo) {
        return [=] {
            fs::create_directory("d"), texture("d/t.brtex"), fifo ? Sh("mkfifo -m 666 d/t.bmp") : old("d/t.bmp", owner, 0666);
            ASSERT_EQ(chown("d/t.bmp", owner, owner), 0);
            fs::permissions("d", fs::perms(folder_mode));
        };
    };
    const std::vector<std::string> attributes = {"getfacl -p t.bmp", "getfattr -d -m - t.bmp", "lsattr t.bmp",
                                                 "stat -c %a:%u:%g t.bmp", "!stat -c %i t.bmp"};
    // Devices of the folder's own, which no fault of the tool can take the
    // place of the system's: one that swallows all, one that fails writes.
    const auto device = [](const char* name, unsigned minor) {
        ASSERT_EQ(mknod(name, S_IFCHR | 0666, makedev(1, minor)), 0);
    };
    const Case cases[] = {
        {"colour output on a full device", [&] { texture("t.brtex"), device("t.bmp", 7); }, {"t.brtex", "-a"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"t_alpha.bmp", {}}}},
        {"alpha PNG on a full device", [&] { texture("t.brtex"), device("t_alpha.png", 7); }, {"t.brtex", "-a", "--png"}, 9,
         "File t.png written\nERROR: cannot write file t_alpha.png\n", {{"t.png", Png(PngImage::kColour, 2, 2,
         {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}})}}},
        {"alpha output on a full device", [&] {
             texture("t.brtex"), device("null", 3), fs::create_symlink("null", "t.bmp"), device("t_alpha.bmp", 7); },
         {"t.brtex", "-a"}, 9, "File t.bmp written\nERROR: cannot write file t_alpha.bmp\n", {}},
        {"a user's new file", [&] { texture("t.brtex"); }, {"t.brtex"}, 0, "File t.bmp written\n",
         {{"t.bmp", Kept(kColour, -1, kNobody)}}, as_nobody},
#ifndef KESTRUNE_SANITIZED // whose run-time cannot start without /proc
        // Without /proc, a file made without a name is named through itself.
        {"no /proc", [&] { texture("t.brtex"), Put("t.bmp", kOld); }, {"-a", "t.brtex"}, 0,
         "File t.bmp written\nFile t_alpha.bmp written\n", {{"t.bmp", kColour}, {"t_alpha.bmp", kAlpha}},
         "unshare -m sh -c 'umount -l /proc && exec \"$0\" \"$@\"' ", {"!stat -c %i t.bmp"}},
#endif
        {"a user's own read-only file", [&] { texture("t.brtex"), old("t.bmp", kNobody, 0444); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"t.bmp", Kept(kOld, 0444, kNobody)}}, as_nobody},
        {"root's file", [&] { texture("t.brtex"), old("t.bmp", 0, 0644); }, {"t.brtex"}, 8,
         "ERROR: cannot write file t.bmp\n", {{"t.bmp", Kept(kOld, 0644, 0)}}, as_nobody},
        {"root's file, writable by all", [&] { texture("t.brtex"), old("t.bmp", 0, 0666); }, {"t.brtex"}, 0,
         "File t.bmp written\n", {{"t.bmp", Kept(kColour, 0666, 0)}}, as_nobody, {"stat -c %i t.bmp"}},
        // A link in a sticky folder that all may write is followed only where
        // it is the caller's or the folder owner's, as anyone could have
        // planted it; elsewhere, whoever's it is.
        {"another's link in a shared folder", shared(0, 01777, kNobody), {"d/t.brtex"}, 8,
         "ERROR: cannot write file d/t.bmp\n", {{"r", kOld}}},
        {"another's link on the way, in a shared folder", [&] {
             shared(0, 01777, kNobody)(), fs::create_directory("e"), texture("e/t.brtex"), fs::create_symlink("../e", "d/e");
             ASSERT_EQ(lchown("d/e", kNobody, kNobody), 0); }, {"d/e/t.brtex"}, 8, "ERROR: cannot write file d/e/t.bmp\n", {}},
        {"own link in another's shared folder", shared(kNobody, 01777, 0), {"d/t.brtex"}, 0, "File d/t.bmp written\n",
         {{"r", kColour}}},
        {"the shared folder owner's link", shared(kNobody, 01777, kNobody), {"d/t.brtex"}, 0, "File d/t.bmp written\n",
         {{"r", kColour}}},
        {"another's link, folder not sticky", shared(0, 0777, kNobody), {"d/t.brtex"}, 0, "File d/t.bmp written\n",
         {{"r", kColour}}},
        {"another's link, sticky folder not all may write", shared(0, 01775, kNobody), {"d/t.brtex"}, 0,
         "File d/t.bmp written\n", {{"r", kColour}}},
        // A replaced file keeps all that a write in place keeps, a new one of
        // its own standing (the inode number tells), and gains nothing of
        // the folder's default access list.
        {"access list, attributes, flags", [&] {
             texture("t.brtex"), old("t.bmp", kNobody, 0640);
             Sh("setfacl -m u:1234:rw,g:5678:r t.bmp && setfattr -n user.a -v 1 t.bmp && setfattr -n user.empty t.bmp && "
                "setfattr -n trusted.b -v 2 t.bmp && chattr +d +A +S +s +u +c +t +x t.bmp"); },
         {"t.brtex"}, 0, "File t.bmp written\n", {{"t.bmp", kColour}}, "", attributes},
        {"the user's own attributes", [&] {
             texture("t.brtex"), old("t.bmp", kNobody, 0600), Sh("setfattr -n user.a -v 1 t.bmp && chattr +d t.bmp"); },
         {"t.brtex"}, 0, "File t.bmp written\n", {{"t.bmp", Kept(kColour, 0600, kNobody)}}, as_nobody, attributes},
        {"a folder's default access list", [&] {
             fs::create_directory("d"), texture("d/t.brtex"), old("d/t.bmp", 0, 0600);
             Sh("setfattr -n user.a -v 1 d/t.bmp && setfacl -d -m u:65534:rw d"); },
         {"d/t.brtex"}, 0, "File d/t.bmp written\n", {{"d/t.bmp", Kept(kColour, 0600, 0)}}, "",
         {"getfacl -p d/t.bmp", "getfattr -d -m - d/t.bmp", "!stat -c %i d/t.bmp"}},
        {"a folder the user may not write", [&] {
             fs::create_directory("d"), texture("d/t.brtex"), old("d/t.bmp", kNobody, 0666), fs::permissions("d", fs::perms(0555)); },
         {"-a", "d/t.brtex"}, 9, "File d/t.bmp written\nERROR: cannot write file d/t_alpha.bmp\n",
         {{"d/t.bmp", Kept(kColour, 0666, kNobody)}, {"d/t_alpha.bmp", {}}}, as_nobody},
        {"a folder the user may pass but not read", [&] {
             fs::create_directory("d"), texture("d/t.brtex"), old("d/t.bmp", kNobody, 0666), fs::permissions("d", fs::perms(0711)); },
         {"d/t.brtex"}, 0, "File d/t.bmp written\n", {{"d/t.bmp", Kept(kColour, 0666, kNobody)}}, as_nobody},
        // So is a file or a FIFO, in a sticky folder that its group may write
        // too, and never opened: a FIFO would wait for ever.
        {"another's file in a shared folder", planted(01777, kNobody, false), {"d/t.brtex"}, 8,
         "ERROR: cannot write file d/t.bmp\n", {{"d/t.bmp", Kept(kOld, 0666, kNobody)}}},
        {"another's FIFO in a shared folder", planted(01777, kNobody, true), {"d/t.brtex"}, 8,
         "ERROR: cannot write file d/t.bmp\n", {}, "timeout 10 "},
        {"another's file in a group's sticky folder", planted(01770, kNobody, false), {"d/t.brtex"}, 8,
         "ERROR: cannot write file d/t.bmp\n", {{"d/t.bmp", Kept(kOld, 0666, kNobody)}}},
        {"another's file in a group's folder, not sticky", planted(0770, kNobody, false), {"d/t.brtex"}, 0,
         "File d/t.bmp written\n", {{"d/t.bmp", Kept(kColour, 0666, kNobody)}}},
        {"own file in a shared folder", planted(01777, kNobody, false), {"d/t.brtex"}, 0, "File d/t.bmp written\n",
         {{"d/t.bmp", Kept(kColour, 0666, kNobody)}}, as_nobody},
        {"root's sticky folder", [&] {
             fs::create_directory("d"), texture("d/t.brtex"), old("d/t.bmp", 0, 0666), fs::permissions("d", fs::perms(01777)); },
         {"d/t.brtex"}, 0, "File d/t.bmp written\n", {{"d/t.bmp", Kept(kColour, 0666, 0)}}, as_nobody},
    };
    for (const Case& c : cases) {
        Check(c);
    }
}

// A disk with no room for a second copy, and a name that something is
// mounted on, take the BMP in place, as a write in place would; a file
// system without reservations or inode flags, without them. A disk with
// room for neither leaves the old file as it was, times and all, whether
// its file system gives a failed reservation back (tmpfs) or not (ext4).
TEST_F(AsRootAndAnother, MountedFileSystems)
{
    if (std::system("mkdir m && mount -t tmpfs none m && umount m && rmdir m") != 0) {
        GTEST_SKIP() << "cannot mount";
    }
    const Bytes texture = MakeBRTEX(64, 64, 4, {});
    const Bytes bmp = ReferenceBmp(64, 64, Bytes(64 * 64 * 3, 0)), white = ReferenceBmp(64, 64, Bytes(64 * 64 * 3, 0xFF));
    const auto full = [&](const std::string& mount, const Bytes& old, const Bytes& content) {
        fs::create_directory("m"), Sh(mount), Put("m/t.brtex", content), Put("m/t.bmp", old);
        Sh("mountpoint -q m && (head -c 16M /dev/zero > m/fill 2> /dev/null; true)");
    };
    std::vector<Case> cases = {
        {"a full disk, no unnamed files", [&] { full("mount -t tmpfs -o size=64k none m", Bytes(bmp.size(), 'x'), texture); },
         {"m/t.brtex"}, 0, "File m/t.bmp written\n", {{"m/t.bmp", bmp}}, Failing((dir_ / "m").string(), "openat", "EOPNOTSUPP", "3"),
         {"stat -c %i m/t.bmp"}},
        {"a full disk, a second link", [&] { full("mount -t tmpfs -o size=64k none m", kOld, texture), fs::create_hard_link("m/t.bmp", "m/l.bmp"); },
         {"m/t.brtex"}, 8, "ERROR: cannot write file m/t.bmp\n", {{"m/t.bmp", kOld}}, "", {"stat -c %y m/t.bmp"}},
        {"a name mounted on", [&] { Put("t.brtex", texture), Put("t.bmp", kOld), Put("r", kOld), Sh("mount --bind r t.bmp"); },
         {"t.brtex"}, 0, "File t.bmp written\n", {{"r", bmp}}},
        {"no reservation, no inode flags", [&] {
             fs::create_directory("m"), Sh("mount -t ramfs none m"), Put("m/t.brtex", texture), Put("m/t.bmp", kOld);
             Put("m/t_alpha.bmp", kOld), fs::create_hard_link("m/t_alpha.bmp", "m/l.bmp"); },
         {"-a", "m/t.brtex"}, 0, "File m/t.bmp written\nFile m/t_alpha.bmp written\n",
         {{"m/t.bmp", bmp}, {"m/t_alpha.bmp", white}, {"m/l.bmp", white}}, "", {"!stat -c %i m/t.bmp"}},
        {"no reservation, a size limit", [&] {
             fs::create_directory("m"), Sh("mount -t ramfs none m"), Put("m/t.brtex", texture), Put("m/t.bmp", kOld); },
         {"m/t.brtex"}, 8, "ERROR: cannot write file m/t.bmp\n", {{"m/t.bmp", kOld}}, "ulimit -f 8; "},
    };
    if (std::system("truncate -s 16M ext4 && mkfs.ext4 -q ext4 && mkdir e && mount -o loop ext4 e && umount e") == 0) {
        cases.push_back({"a full ext4 disk", [&] {
                             full("truncate -s 16M ext4 && mkfs.ext4 -q ext4 && mount -o loop ext4 m", Bytes(15000, 'x'),
                                  MakeBRTEX(256, 256, 4, {}));
                             Sh("truncate -s -100K m/fill"); },
                         {"m/t.brtex"}, 8, "ERROR: cannot write file m/t.bmp\n", {{"m/t.bmp", Bytes(15000, 'x')}}});
        // ext2 reserves nothing, so the full disk shows only as the writes
        // fail, and the temporary name must go then.
        cases.push_back({"a full ext2 disk, no reservation, no unnamed files", [&] {
                             full("truncate -s 16M ext2 && mkfs.ext2 -q ext2 && mount -o loop ext2 m", kOld, texture); },
                         {"m/t.brtex"}, 8, "ERROR: cannot write file m/t.bmp\n", {{"m/t.bmp", kOld}},
                         Failing((dir_ / "m").string(), "openat", "EOPNOTSUPP", "3")});
    }
    for (const Case& c : cases) {
        Check(c);
        std::system("umount m t.bmp 2> /dev/null");
    }
}

// A folder that renames and removes no name keeps any temporary one for
// good: there an old file is rewritten in place, a new one is named only
// where it was made without a name, and none is left under another name.
TEST_F(AsRootAndAnother, FoldersThatKeepTheirNames)
{
    if (std::system("mkdir k && chattr +a k && chattr -a k && rmdir k") != 0) {
        GTEST_SKIP() << "no append-only folders here";
    }
    const auto folder = [&](bool with_old) {
        return [=] {
            fs::create_directory("d"), Put("d/t.brtex", kTexture);
            if (with_old) {
                Put("d/t.bmp", kOld);
            }
            Sh("chattr +a d");
        };
    };
    const Case cases[] = {
        {"an old file", folder(true), {"d/t.brtex"}, 0, "File d/t.bmp written\n", {{"d/t.bmp", kColour}}, "", {"stat -c %i d/t.bmp"}},
        {"a new file", folder(false), {"d/t.brtex"}, 0, "File d/t.bmp written\n", {{"d/t.bmp", kColour}}},
        {"a new file, no unnamed files", folder(false), {"d/t.brtex"}, 8, "ERROR: cannot write file d/t.bmp\n", {{"d/t.bmp", {}}},
         Failing((dir_ / "d").string(), "openat", "EOPNOTSUPP", "2")},
    };
    for (const Case& c : cases) {
        Check(c);
        Sh("chattr -a d");
    }
}

// Another user swaps two names of theirs as fast as the system lets them
// while root converts: links to their folder and to root's, the two
// folders themselves, their BMP and a link to root's set-uid one. Each run
// works wholly where the name led when it looked, so every run converts
// (or refuses, for the BMP swapped under it), every BMP keeps its folder's
// owner, its own mode and its old bytes or the new ones, and no temporary
// file is left.
TEST_F(AsRootAndAnother, RacesHandNoFileToAnother)
{
    struct Race {
        const char *what, *texture, *a, *b;
        bool may_refuse;
    };
    const Race races[] = {
        {"links to two folders", "d/t.brtex", "d", "e", false},
        {"two folders", "mine/t.brtex", "mine", "root", false},
        {"a BMP and a link", "mine/t.brtex", "mine/t.bmp", "mine/evil", true},
    };
    for (const Race& race : races) {
        SCOPED_TRACE(race.what);
        fs::remove_all("mine"), fs::remove_all("root"), fs::remove_all("d"), fs::remove_all("e");
        for (const auto& [folder, owner, mode] : {std::tuple{"mine", 65534, 0600}, std::tuple{"root", 0, 04755}}) {
            const std::string bmp = folder + std::string("/t.bmp");
            fs::create_directory(folder), Put(folder + std::string("/t.brtex"), kTexture), Put(bmp, kOld);
            ASSERT_EQ(chown(folder, owner, owner) | chown(bmp.c_str(), owner, owner), 0); // before the mode: it clears set-id bits
            fs::permissions(bmp, fs::perms(mode));
        }
        fs::create_symlink("mine", "d"), fs::create_symlink("root", "e");
        if (race.may_refuse) {
            fs::create_symlink("../root/t.bmp", "mine/evil");
        }
        ASSERT_EQ(lchown("d", 65534, 65534) | lchown("e", 65534, 65534) | lchown("mine/evil", 65534, 65534) * race.may_refuse, 0);
        const std::set<std::string> before = Listing(true);
        const pid_t swapper = fork();
        if (swapper == 0) {
            for (;;) {
                renameat2(AT_FDCWD, race.a, AT_FDCWD, race.b, RENAME_EXCHANGE);
            }
        }
        for (int run = 0; run < 200; ++run) {
            int status = 0;
            waitpid(Start(Quoted(tool_.string()) + " " + race.texture), &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || (race.may_refuse && WEXITSTATUS(status) == 8)))
                << status;
        }
        kill(swapper, SIGKILL), waitpid(swapper, nullptr, 0);
        EXPECT_EQ(Listing(true), before);
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            struct stat file = {}, folder = {};
            if (entry.is_symlink() || entry.path().extension() != ".bmp" || lstat(entry.path().c_str(), &file) != 0 ||
                stat(entry.path().parent_path().c_str(), &folder) != 0) {
                continue;
            }
            EXPECT_EQ(file.st_uid, folder.st_uid) << entry.path();
            EXPECT_EQ(file.st_mode & 07777, file.st_uid == 0 ? 04755u : 0600u) << entry.path();
            const Bytes bytes = ReadFile(entry.path());
            EXPECT_TRUE(bytes == kOld || bytes == kColour) << entry.path();
        }
    }
}
#endif
