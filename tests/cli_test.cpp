// End-to-end runs of the built tool in a scratch directory: what it prints,
// its exit status and the files it leaves. Decoding details are unit tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

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
    return '"' + s + '"';
}

// Runs the tool in the current directory with `args` as typed at a prompt,
// each quoted but for wildcards, which are expanded: by the shell on POSIX
// systems, by the program's own runtime on Windows. `prefix` runs first in
// the same POSIX shell.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& prefix = "")
{
    std::string command = prefix + Quoted(kTool.string());
    for (const std::string& a : args) {
        command += ' ' + (a.find('*') == std::string::npos ? Quoted(a) : a);
    }
    command += " > kestrune-stdout.txt";
#ifdef _WIN32
    const int status = std::system(Quoted(command).c_str()); // cmd.exe drops the outer pair of quotes
#else
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    const Bytes out = ReadFile("kestrune-stdout.txt");
    fs::remove("kestrune-stdout.txt");
    return ToolRun{status, std::string(out.begin(), out.end())};
}

// The banner, then `lines`. Standard output is a text stream, so on Windows
// every line ends in CR LF.
std::string Console(const std::string& lines)
{
    std::string text = "BRTEX to BMP convertor\n\n" + lines;
#ifdef _WIN32
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
        text.insert(at, 1, '\r');
    }
#endif
    return text;
}

// A 2 x 2 RGB565 texture: red, green on top; blue, white below.
const Bytes kTexture = MakeBRTEX(2, 2, 4, Words({0xF800, 0x07E0, 0x001F, 0xFFFF}));
const Bytes kColour = ReferenceBmp(2, 2, {0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF, 0, 0xFF, 0});
const Bytes kAlpha = ReferenceBmp(2, 2, Bytes(12, 0xFF));
const Bytes kIndexed = MakeBRTEX(3, 1, 9, Bytes{1, 2, 200});

void Put(const std::string& name, const Bytes& bytes)
{
    ASSERT_TRUE(WriteFile(name, bytes));
}

#ifdef _WIN32
const std::string kGarbageHeap;
#else
// Under this shell prefix, heap memory handed out without zeroing holds
// 0x5A bytes, so that a pixel left unwritten, or a buffer that should have
// been zeroed and was not, shows in the output.
const std::string kGarbageHeap = "MALLOC_PERTURB_=165 ";

// A shell prefix under which the Nth read of `file` fails with EIO. The leak
// checker of a sanitizer build cannot run under a tracer, and stays off.
std::string FailingRead(const std::string& file, int read)
{
    return "ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 strace -o /dev/null -P " + file + " -e trace=read -e inject=read:error=EIO:when=" + std::to_string(read) +
           " 2> /dev/null ";
}
#endif

class Cli : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = kTool.parent_path() / "cli-scratch" / testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override { fs::current_path(kTool.parent_path()); }
    std::set<std::string> Listing() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::u8string name = entry.path().filename().u8string();
            names.emplace(name.begin(), name.end());
        }
        return names;
    }
    fs::path dir_;
};

} // namespace

// Every way a run can end, one row each, with the files it must leave (an
// empty expectation: the file must not exist) and no other file.
TEST_F(Cli, StatusesMessagesAndFiles)
{
    const bool have_strace = std::system("strace -o /dev/null true 2> /dev/null") == 0;
    const auto head = [](const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + n); };
    const std::u8string unicode = u8"\u30c6\u30af\u30b9\u30c1\u30e3 \u00e9t\u00e9";
    const std::string folder(unicode.begin(), unicode.end());
    const auto converted = [](const std::string& stem) {
        return std::map<std::string, Bytes>{{stem + ".bmp", kColour}, {stem + "_alpha.bmp", kAlpha}};
    };
    const auto written = [](const std::string& stem) {
        return "File " + stem + ".bmp written\nFile " + stem + "_alpha.bmp written\n";
    };
    const auto texture = [](const std::string& name) { Put(name, kTexture); };
    const auto taken = [](int count) { // files under the names a temporary file would take
        for (int n = 0; n < count; ++n) {
            Put(".kestrune-" + std::to_string(n) + ".tmp", {});
        }
    };
    struct Case {
        const char* what;
        std::function<void()> setup;
        std::vector<std::string> args;
        int status;
        std::string lines;
        std::map<std::string, Bytes> files;
        std::string prefix = ""; // run first, in the same POSIX shell
    } cases[] = {
        {"no arguments", [] {}, {}, 1,
         "syntax:\n>kestrune [-a] <filename> [<palette filename>]\n-a : export alpha channel\n", {}},
        {"only the option", [] {}, {"-a", "-a"}, 2, "ERROR: no file specified\n", {}},
        {"missing texture", [] {}, {"t.brtex"}, 3, "ERROR: cannot open file t.brtex\n", {{"t.bmp", {}}}},
        {"texture is a directory", [] { fs::create_directory("t.brtex"); }, {"t.brtex"}, 3,
         "ERROR: cannot open file t.brtex\n", {{"t.bmp", {}}}},
        {"empty texture", [] { Put("t.brtex", {}); }, {"t.brtex"}, 4, "ERROR: t.brtex is not a valid BRTEX file\n",
         {{"t.bmp", {}}}},
        {"CI8 without palette", [] { Put("t.brtex", kIndexed); }, {"-a", "t.brtex"}, 5,
         "ERROR: no palette file specified\n", {{"t.bmp", {}}, {"t_alpha.bmp", {}}}},
        {"missing palette", [] { Put("t.brtex", kIndexed); }, {"t.brtex", "p.brplt"}, 6,
         "ERROR: cannot open file p.brplt\n", {{"t.bmp", {}}}},
        {"empty palette", [] { Put("t.brtex", MakeBRTEX(1, 1, 8, {})), Put("p.brplt", {}); }, {"t.brtex", "p.brplt"}, 7,
         "ERROR: p.brplt is not a valid BRPLT file\n", {{"t.bmp", {}}}},
        {"colour output cannot be created", [&] { texture("t.brtex"), fs::create_directory("t.bmp"); },
         {"t.brtex", "-a"}, 8, "ERROR: cannot write file t.bmp\n", {{"t_alpha.bmp", {}}}},
        // Files the user has are never overwritten by a temporary one; after
        // a hundred taken names the output cannot be written.
        {"99 names taken", [&] { texture("t.brtex"), taken(99); }, {"t.brtex"}, 0, "File t.bmp written\n",
         {{"t.bmp", kColour}}},
        {"100 names taken", [&] { texture("t.brtex"), taken(100); }, {"t.brtex"}, 8, "ERROR: cannot write file t.bmp\n",
         {{"t.bmp", {}}}},
#ifndef _WIN32
        // A full device accepts the file's creation and fails its writes.
        {"colour output on a full device", [&] { texture("t.brtex"), fs::create_symlink("/dev/full", "t.bmp"); },
         {"t.brtex", "-a"}, 8, "ERROR: cannot write file t.bmp\n", {{"t_alpha.bmp", {}}}},
        {"alpha output on a full device", [&] { texture("t.brtex"), fs::create_symlink("/dev/full", "t_alpha.bmp"); },
         {"t.brtex", "-a"}, 9, "File t.bmp written\nERROR: cannot write file t_alpha.bmp\n", {{"t.bmp", kColour}}},
        // A write that fails at a file-size limit keeps the old file.
        {"size limit", [] { Put("t.brtex", MakeBRTEX(64, 64, 4, {})), Put("t.bmp", Bytes(9, 'x')); }, {"-a", "t.brtex"},
         8, "ERROR: cannot write file t.bmp\n", {{"t.bmp", Bytes(9, 'x')}, {"t_alpha.bmp", {}}},
         "trap '' XFSZ; ulimit -f 8; "},
        // A read error fails the run wherever it falls: in the section scan
        // past the first 4 KiB read, in texels past the first 64 KiB, in the palette.
        {"read error in the scan", [] { Put("t.brtex", MakeBRTEX(2, 2, 4, {}, 5000)); }, {"t.brtex"}, 11,
         "ERROR: cannot read file t.brtex\n", {{"t.bmp", {}}}, FailingRead("t.brtex", 2)},
        {"read error in the texels", [] { Put("t.brtex", MakeBRTEX(256, 256, 6, Bytes(262144, 7))); }, {"t.brtex"}, 11,
         "ERROR: cannot read file t.brtex\n", {{"t.bmp", {}}}, FailingRead("t.brtex", 3)},
        {"read error in the palette", [] { Put("t.brtex", kIndexed), Put("p.brplt", MakeBRPLT(1, 3, {}, 5000)); },
         {"t.brtex", "p.brplt"}, 11, "ERROR: cannot read file p.brplt\n", {{"t.bmp", {}}}, FailingRead("p.brplt", 2)},
#endif
        {"one row past the size field", [] { Put("t.brtex", MakeBRTEX(65535, 21846, 14, {})); }, {"t.brtex"}, 10,
         "ERROR: t.brtex is too large to convert\n", {{"t.bmp", {}}}},
        // Files cut short: after the first word and half the second, and after
        // the width's high byte (4608 x 0 pixels).
        {"truncated texture", [&] { Put("t.brtex", head(kTexture, 67)); }, {"t.brtex"}, 0, "File t.bmp written\n",
         {{"t.bmp", ReferenceBmp(2, 2, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0xE3, 0})}}},
        {"header cut short", [&] { Put("t.brtex", head(MakeBRTEX(0x1234, 0x5678, 4, {}), 29)); }, {"t.brtex"}, 0,
         "File t.bmp written\n", {{"t.bmp", ReferenceBmp(4608, 0, {})}}},
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
        SCOPED_TRACE(c.what);
        if (c.prefix.find("strace") != std::string::npos && !have_strace) {
            continue;
        }
        for (const auto& entry : fs::directory_iterator(dir_)) {
            fs::remove_all(entry.path());
        }
        c.setup();
        std::set<std::string> expected = Listing();
        const ToolRun run = RunTool(c.args, c.prefix);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, Console(c.lines));
        for (const auto& [name, bytes] : c.files) {
            EXPECT_EQ(fs::is_regular_file(std::u8string(name.begin(), name.end())), !bytes.empty()) << name;
            EXPECT_EQ(bytes.empty() ? Bytes{} : ReadFile(name), bytes) << name;
            if (!bytes.empty() && name.find('/') == std::string::npos) {
                expected.insert(name);
            }
        }
        EXPECT_EQ(Listing(), expected);
    }
}

#ifndef _WIN32
// A replaced BMP keeps its permissions, a new one gets those the umask
// leaves.
TEST_F(Cli, OutputsKeepPermissions)
{
    Put("t.brtex", kTexture);
    Put("t.bmp", Bytes(9, 'x'));
    fs::permissions("t.bmp", fs::perms(0604));
    EXPECT_EQ(RunTool({"-a", "t.brtex"}, "umask 026; ").status, 0);
    EXPECT_EQ(ReadFile("t.bmp"), kColour);
    EXPECT_EQ(fs::status("t.bmp").permissions(), fs::perms(0604));
    EXPECT_EQ(fs::status("t_alpha.bmp").permissions(), fs::perms(0640));
}
#endif
