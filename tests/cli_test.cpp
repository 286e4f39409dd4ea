// End-to-end runs of the built tool in a scratch directory, on files made by
// the fixture writer: printed text, exit status and output bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "fixtures.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

// Taken before any test changes directory: the tool sits beside the tests.
const fs::path kTool = fs::current_path() / KESTRUNE_EXE_NAME;

struct ToolRun {
    int status;
    std::string out;
};

std::string Quoted(const std::string& s)
{
    std::string quoted(1, '"');
    quoted += s;
    quoted += '"';
    return quoted;
}

// Runs the tool in the current directory with `arguments` as typed at a
// prompt, so that a wildcard among them is expanded: by the shell on POSIX
// systems, by the program's own runtime on Windows.
ToolRun RunCommandLine(const std::string& arguments)
{
    std::string command = Quoted(kTool.string()) + arguments + " > kestrune-stdout.txt";
#ifdef _WIN32
    command = Quoted(command); // cmd.exe drops the outer pair of quotes
    const int status = std::system(command.c_str());
#else
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    const Bytes out = ReadFile("kestrune-stdout.txt");
    fs::remove("kestrune-stdout.txt");
    return ToolRun{status, std::string(out.begin(), out.end())};
}

// Runs the tool with each argument quoted, as given.
ToolRun RunTool(const std::vector<std::string>& args)
{
    std::string arguments;
    for (const std::string& a : args) {
        arguments += ' ' + Quoted(a);
    }
    return RunCommandLine(arguments);
}

// The console text of a run: the banner, then `lines`. Standard output is a
// text stream, so on Windows every line ends in CR LF.
std::string Console(const std::string& lines)
{
    std::string text = "BRTEX to BMP convertor\n\n" + lines;
#ifdef _WIN32
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    text = crlf;
#endif
    return text;
}

// A 2 x 2 RGB565 texture: red, green on top; blue, white below.
const Bytes kDirectTexture = MakeBRTEX(2, 2, 4, Words({0xF800, 0x07E0, 0x001F, 0xFFFF}));
const Bytes kDirectColour = ReferenceBmp(2, 2, {0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF, 0, 0xFF, 0});
const Bytes kDirectAlpha = ReferenceBmp(2, 2, Bytes(12, 0xFF));

class Cli : public testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = kTool.parent_path() / "cli-scratch" / (std::string(info->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override { fs::current_path(kTool.parent_path()); }

    static void Put(const std::string& name, const Bytes& bytes) { ASSERT_TRUE(WriteFile(name, bytes)); }

    fs::path dir_;
};

} // namespace

// Every way a run can end before or while writing, one case each.
TEST_F(Cli, StatusesAndMessages)
{
    const Bytes indexed = MakeBRTEX(2, 1, 9, Bytes{0, 1});
    struct Case {
        const char* what;
        std::function<void()> setup;
        std::vector<std::string> args;
        int status;
        std::string lines;
        std::vector<std::string> absent; // files that must not exist afterwards
    } cases[] = {
        {"no arguments", [] {}, {}, 1,
         "syntax:\n>kestrune [-a] <filename> [<palette filename>]\n-a : export alpha channel\n", {}},
        {"only the option", [] {}, {"-a", "-a"}, 2, "ERROR: no file specified\n", {}},
        {"missing texture", [] {}, {"none.brtex"}, 3, "ERROR: cannot open file none.brtex\n", {"none.bmp"}},
        {"texture is a directory", [] { fs::create_directory("d.brtex"); }, {"d.brtex"}, 3,
         "ERROR: cannot open file d.brtex\n", {"d.bmp"}},
        {"no section", [] { Put("t.brtex", Bytes{'T', 'T', 'E', 'X', '0'}); }, {"t.brtex"}, 4,
         "ERROR: t.brtex is not a valid BRTEX file\n", {"t.bmp"}},
        {"indexed without palette", [&] { Put("t.brtex", indexed); }, {"-a", "t.brtex"}, 5,
         "ERROR: no palette file specified\n", {"t.bmp", "t_alpha.bmp"}},
        {"missing palette", [&] { Put("t.brtex", indexed); }, {"t.brtex", "p.brplt"}, 6,
         "ERROR: cannot open file p.brplt\n", {"t.bmp"}},
        {"palette is a directory", [&] { Put("t.brtex", indexed); fs::create_directory("p.brplt"); },
         {"t.brtex", "p.brplt"}, 6, "ERROR: cannot open file p.brplt\n", {"t.bmp"}},
        {"palette without section", [&] { Put("t.brtex", indexed); Put("p.brplt", MakeBRTEX(1, 1, 9, {})); },
         {"t.brtex", "p.brplt"}, 7, "ERROR: p.brplt is not a valid BRPLT file\n", {"t.bmp"}},
        {"colour output cannot be created", [] { Put("t.brtex", kDirectTexture); fs::create_directory("t.bmp"); },
         {"t.brtex", "-a"}, 8, "ERROR: cannot write file t.bmp\n", {"t_alpha.bmp"}},
        {"alpha output cannot be created",
         [] { Put("t.brtex", kDirectTexture); fs::create_directory("t_alpha.bmp"); }, {"t.brtex", "-a"}, 9,
         "File t.bmp written\nERROR: cannot write file t_alpha.bmp\n", {}},
        {"image whose BMP passes 4 GiB", [] { Put("t.brtex", MakeBRTEX(65535, 65535, 6, {})); }, {"t.brtex"}, 10,
         "ERROR: t.brtex is too large to convert\n", {"t.bmp"}},
        {"one row past the size field", [] { Put("t.brtex", MakeBRTEX(65535, 21846, 14, {})); }, {"t.brtex"}, 10,
         "ERROR: t.brtex is too large to convert\n", {"t.bmp"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_)) {
            fs::remove_all(entry.path());
        }
        c.setup();
        const auto start = std::chrono::steady_clock::now();
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, Console(c.lines));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        for (const std::string& name : c.absent) {
            EXPECT_FALSE(fs::exists(name)) << name;
        }
    }
}

// "-a" may stand anywhere; the palette name is never opened for a
// direct-colour texture and names after it are ignored.
TEST_F(Cli, OutputNamesKeepTheDirectoryAndCutOnlyAnExactExtension)
{
    fs::create_directory("dir");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"wood.brtex", "missing.brplt", "ignored", "-a"}, "wood"},
        {{"-a", "dir/wood.brtex"}, "dir/wood"},
        {{"-a", "wood.BRTEX"}, "wood.BRTEX"},
        {{"wood.tex", "-a"}, "wood.tex"},
        {{"-a", ".brtex"}, ".brtex"},
        {{"-a", "a.brtex.brtex"}, "a.brtex"},
    };
    for (const auto& [args, stem] : cases) {
        const std::string& input = args[args[0] == "-a" ? 1 : 0];
        SCOPED_TRACE(input);
        Put(input, kDirectTexture);
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, Console("File " + stem + ".bmp written\nFile " + stem + "_alpha.bmp written\n"));
        EXPECT_EQ(ReadFile(stem + ".bmp"), kDirectColour);
        EXPECT_EQ(ReadFile(stem + "_alpha.bmp"), kDirectAlpha);
    }
}

// A texture cut short still converts; the missing bytes read as 0.
TEST_F(Cli, TruncatedTextureConvertsTheSameEveryTime)
{
    Bytes file = kDirectTexture;
    file.resize(file.size() - 5); // keeps the first word and half the second
    Put("t.brtex", file);
    for (int round = 0; round < 2; ++round) {
        const ToolRun run = RunTool({"t.brtex"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, Console("File t.bmp written\n"));
        EXPECT_EQ(ReadFile("t.bmp"), ReferenceBmp(2, 2, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0xE3, 0}));
    }
}

#ifndef _WIN32
// A full device accepts the file's creation and fails its writes: that must
// never be announced as written.
TEST_F(Cli, WriteFailureOnFullDevice)
{
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    Put("t.brtex", kDirectTexture);
    fs::create_symlink("/dev/full", "t.bmp");
    ToolRun run = RunTool({"t.brtex", "-a"});
    EXPECT_EQ(run.status, 8);
    EXPECT_EQ(run.out, Console("ERROR: cannot write file t.bmp\n"));
    EXPECT_FALSE(fs::exists("t_alpha.bmp"));

    fs::remove("t.bmp");
    fs::create_symlink("/dev/full", "t_alpha.bmp");
    run = RunTool({"t.brtex", "-a"});
    EXPECT_EQ(run.status, 9);
    EXPECT_EQ(run.out, Console("File t.bmp written\nERROR: cannot write file t_alpha.bmp\n"));
    EXPECT_EQ(ReadFile("t.bmp"), kDirectColour);
}
#endif

// Both indexed formats through a palette in each entry decoding; index 200
// and nibble 12 name entries the palette file does not fill, which are zero.
TEST_F(Cli, IndexedTexturesThroughEachPaletteDecoding)
{
    const Bytes entries{0x12, 0x34, 0xF8, 0x00, 0x80, 0x1F};
    struct Case {
        std::uint32_t entry_format;
        Bytes colour_bgr; // entries 1, 2 and an unfilled one
        Bytes alpha;
    } cases[] = {
        {0, {0xF8, 0xF8, 0xF8, 0x80, 0x80, 0x80, 0, 0, 0}, {0x00, 0x00, 0x00, 0x1F, 0x1F, 0x1F, 0, 0, 0}},
        {1, {0, 0, 0xFF, 0xFF, 0, 0x84, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}},
        {2, {0, 0, 0xF7, 0xFF, 0, 0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}},
        {0x100, {0, 0, 0xF7, 0xFF, 0, 0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}},
    };
    Put("ci8.brtex", MakeBRTEX(3, 1, 9, Bytes{1, 2, 200}));
    Put("ci4.brtex", MakeBRTEX(3, 1, 8, Bytes{0x12, 0xC7}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry_format);
        Put("p.brplt", MakeBRPLT(c.entry_format, 3, entries, 2));
        for (const std::string stem : {"ci8", "ci4"}) {
            const ToolRun run = RunTool({"-a", stem + ".brtex", "p.brplt"});
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.out, Console("File " + stem + ".bmp written\nFile " + stem + "_alpha.bmp written\n"));
            EXPECT_EQ(ReadFile(stem + ".bmp"), ReferenceBmp(3, 1, c.colour_bgr)) << stem;
            EXPECT_EQ(ReadFile(stem + "_alpha.bmp"), ReferenceBmp(3, 1, c.alpha)) << stem;
        }
    }
}

// 12 x 10 CMPR: every block holds blue over red (three colours and
// transparency) with indexes 0, 1, 2, 3 across each row. Blocks right of the
// image still store index bytes for image rows; blocks below store none.
TEST_F(Cli, BlockCompressedTextureWithPartialTiles)
{
    Bytes texels;
    for (int tile_top : {0, 8}) {
        for (int tile = 0; tile < 2; ++tile) {
            for (int block_top : {tile_top, tile_top + 4}) {
                for (int block = 0; block < 2; ++block) {
                    const Bytes endpoints = Words({0x001F, 0xF800});
                    texels.insert(texels.end(), endpoints.begin(), endpoints.end());
                    const int rows = std::min(4, std::max(0, 10 - block_top));
                    texels.insert(texels.end(), static_cast<std::size_t>(rows), 0x1B);
                }
            }
        }
    }
    ASSERT_EQ(texels.size(), 104u);
    Put("c.brtex", MakeBRTEX(12, 10, 14, texels));
    const ToolRun run = RunTool({"c.brtex", "-a"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Console("File c.bmp written\nFile c_alpha.bmp written\n"));
    const Bytes colour_quad{255, 0, 0, 0, 0, 255, 127, 0, 127, 85, 0, 169};
    const Bytes alpha_quad{255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0};
    Bytes colour, alpha;
    for (int i = 0; i < 30; ++i) {
        colour.insert(colour.end(), colour_quad.begin(), colour_quad.end());
        alpha.insert(alpha.end(), alpha_quad.begin(), alpha_quad.end());
    }
    EXPECT_EQ(ReadFile("c.bmp"), ReferenceBmp(12, 10, colour));
    EXPECT_EQ(ReadFile("c_alpha.bmp"), ReferenceBmp(12, 10, alpha));
}

// `kestrune *.brtex` takes the first match as the texture and the second as
// its palette. Each file is both a one-pixel CI8 texture and a palette whose
// entry 0 is its own colour, so the match order, which the file system
// decides, does not matter: one BMP, in the other file's colour.
TEST_F(Cli, WildcardNamesTextureAndPalette)
{
    const auto texture_and_palette = [](std::uint16_t colour) {
        Bytes file = MakeBRTEX(1, 1, 9, Bytes{0});
        const Bytes palette = MakeBRPLT(1, 1, Words({colour}));
        file.insert(file.end(), palette.begin(), palette.end());
        return file;
    };
    Put("w1.brtex", texture_and_palette(0xF800));
    Put("w2.brtex", texture_and_palette(0x001F));
    const ToolRun run = RunCommandLine(" *.brtex");
    EXPECT_EQ(run.status, 0);
    const bool w1_first = fs::exists("w1.bmp");
    EXPECT_NE(w1_first, fs::exists("w2.bmp"));
    const std::string stem = w1_first ? "w1" : "w2";
    EXPECT_EQ(run.out, Console("File " + stem + ".bmp written\n"));
    EXPECT_EQ(ReadFile(stem + ".bmp"), ReferenceBmp(1, 1, w1_first ? Bytes{0xFF, 0, 0} : Bytes{0, 0, 0xFF}));
}

// A texture in a folder named beyond ASCII converts beside itself, and the
// messages name it in UTF-8, the bytes it was given.
TEST_F(Cli, NamesBeyondAscii)
{
    const std::u8string folder = u8"\u30c6\u30af\u30b9\u30c1\u30e3 \u00e9t\u00e9";
    ASSERT_TRUE(fs::create_directory(fs::path(folder)));
    const std::string name = std::string(folder.begin(), folder.end()) + "/wood";
    Put(name + ".brtex", kDirectTexture);
    const ToolRun run = RunTool({"-a", name + ".brtex"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Console("File " + name + ".bmp written\nFile " + name + "_alpha.bmp written\n"));
    EXPECT_EQ(ReadFile(name + ".bmp"), kDirectColour);
    EXPECT_EQ(ReadFile(name + "_alpha.bmp"), kDirectAlpha);
    // Where the UTF-8 name is taken for what it says, not as another code page.
    EXPECT_TRUE(fs::exists(fs::path(folder + u8"/wood_alpha.bmp")));
}
