// The batch, end to end: what it finds and in what order, the palette each
// texture takes, where the outputs go, its lines, counts and statuses, its
// threads, interrupts and limits; and how a drop on the Windows executable
// is told from a run at a prompt.
#include <tuple>

#include "cli_fixture.h"
#include "command_line.h"
#include "kestrune.h"
#include "painted_textures.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

#ifdef _WIN32
const std::string kSep = "\\";
#else
const std::string kSep = "/";
#endif

// A painted texture of `format`, `size` pixels square, with its palette
// written beside it as `palette` where it is indexed and one is named.
void Painted(const std::string& name, std::uint32_t format, int size, std::uint32_t seed, const std::string& palette = "")
{
    const auto side = static_cast<std::uint16_t>(size);
    Bytes entries;
    const Bytes texels = EncodeTexels(format, side, side, PaintRGBA(kContents[seed % 5], side, side, seed), &entries);
    fs::create_directories(fs::path(name).parent_path().empty() ? "." : fs::path(name).parent_path());
    Put(name, MakeBRTEX(side, side, format, texels));
    if (!palette.empty()) {
        Put(palette, MakeBRPLT(2, static_cast<std::uint16_t>(entries.size() / 2), entries));
    }
}

// Every BMP and PNG under the current folder, with its bytes, each removed.
std::map<std::string, Bytes> TakeOutputs()
{
    std::map<std::string, Bytes> outputs;
    for (const auto& entry : fs::recursive_directory_iterator(".")) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && (extension == ".bmp" || extension == ".png")) {
            outputs[entry.path().lexically_relative(".").generic_string()] = ReadFile(entry.path().string());
        }
    }
    for (const auto& [name, bytes] : outputs) {
        fs::remove(name);
    }
    return outputs;
}

// A name as a walk joins it, with the system's separator.
std::string Native(std::string name)
{
    std::replace(name.begin(), name.end(), '/', kSep[0]);
    return name;
}

// The line "--info" must give of a texture it names so: the library's facts
// of the whole file, with the palette given; a backslash, tab or newline
// in a name written as "\\", "\t", "\n".
std::string InfoLine(const std::string& name, const std::string& palette)
{
    const auto escaped = [](const std::string& text) {
        std::string out;
        for (const char c : text) {
            out += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : std::string(1, c);
        }
        return out;
    };
    const Bytes bytes = ReadFile(name);
    kestrune_facts f{};
    if (kestrune_read_facts(bytes.data(), bytes.size(), &f) != KESTRUNE_OK) {
        return escaped(name) + "\tERROR: " + escaped(name) + " is not a valid BRTEX file\n";
    }
    const char* format = kestrune_format_name(f.format);
    return escaped(name) + "\t" + std::to_string(f.width) + "\t" + std::to_string(f.height) + "\t" +
           (format != nullptr ? format : "code " + std::to_string(f.format)) + "\t" +
           (f.needs_palette == 0 ? "-" : palette.empty() ? "none" : escaped(palette)) + "\t" +
           (f.header_cut != 0 ? "header" : std::to_string(f.missing)) + "\n";
}

std::string WithoutBanner(const std::string& out)
{
    return out.substr(Console("").size());
}

} // namespace

// A tree, then each texture's single run with the palette the batch must
// choose for it: the batch converts each as that run does, prints its lines
// in the order found (a palette missing names the texture), and counts.
TEST_F(Cli, BatchIsSingleRunsInTheOrderFound)
{
    const auto head = [](const std::string& name, std::size_t n) {
        const Bytes bytes = ReadFile(name);
        Put(name, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)));
    };
    Painted("tree/a/wood.brtex", 14, 16, 1), Painted("tree/a/sub/deep.brtex", 6, 12, 2);
    Painted("tree/a/Leaf.BRTEX", 9, 8, 3, "tree/a/Leaf.brplt"), Painted("tree/a/x.brtex", 9, 8, 4, "tree/a/Leaf.BRPLT");
    Painted("tree/a/sky.brtex", 8, 8, 5, "tree/a/sky.BrPlT"), Painted("tree/a/sign.brtex", 9, 8, 6);
    Painted("tree/a/short.brtex", 5, 16, 7), head("tree/a/short.brtex", 200);
    Painted("tree/a/cut.brtex", 5, 16, 8), head("tree/a/cut.brtex", 30);
    Painted("tree/b c/with space.brtex", 3, 8, 9), Painted("-dash.brtex", 0, 8, 10), Put("tree/a/photo.BMP", kOld);
    Put("pal.brplt", ReadFile("tree/a/sky.BrPlT"));
    struct Single {
        std::string texture, palette;
    };
    std::vector<Single> singles = {{"tree/a/Leaf.BRTEX", "tree/a/Leaf.brplt"}, {"tree/a/cut.brtex", ""},
        {"tree/a/short.brtex", ""}, {"tree/a/sign.brtex", ""}, {"tree/a/sky.brtex", "tree/a/sky.BrPlT"},
        {"tree/a/sub/deep.brtex", ""}, {"tree/a/wood.brtex", ""}, {"tree/a/x.brtex", ""}, {"tree/b c/with space.brtex", ""}};
#ifndef _WIN32
    // A link to a file is a texture found; a link to a folder is not walked.
    fs::create_symlink("a/wood.brtex", "tree/link.brtex"), fs::create_symlink("a", "tree/zfolder");
    singles.push_back({"tree/link.brtex", ""});
#endif
    singles.insert(singles.end(), {{"-dash.brtex", ""}, {"pal.brplt", ""}});
    std::string out, err, info;
    int converted = 0;
    for (const Single& single : singles) {
        info += InfoLine(Native(single.texture), Native(single.palette));
        const std::string texture = Native(single.texture), missing = "ERROR: no palette file specified";
        const ToolRun run = RunTool({"-a", "--", texture, Native(single.palette)});
        std::string lines = WithoutBanner(run.out);
        if (lines.starts_with(missing)) {
            lines.insert(missing.size(), " for " + texture);
        }
        out += lines, err += run.err, converted += run.status == 0;
    }
    const std::map<std::string, Bytes> expected = TakeOutputs();
    const ToolRun batch = RunTool({"--batch", "-a", "--", "tree", "-dash.brtex", "pal.brplt"});
    EXPECT_EQ(batch.status, 13);
    EXPECT_EQ(batch.out, Console("") + out + Text(std::to_string(converted) + " converted, " +
                                                   std::to_string(singles.size() - converted) + " failed\n"));
    EXPECT_EQ(batch.err, err);
    EXPECT_EQ(TakeOutputs(), expected);
    // "--info" walks as the batch does, and tells each texture's facts as
    // the library reads them from its whole file.
    const ToolRun listing = RunTool({"--info", "--", "tree", "-dash.brtex", "pal.brplt"});
    EXPECT_EQ(listing.status, 13);
    EXPECT_EQ(listing.out, Text(info));
}

// "--info" from the header alone, wherever it lies, of a texture of any
// length; names that need escapes; "--palette" for a texture without its
// own; what it refuses, without the banner.
TEST_F(Cli, InfoTellsEachTextureFromItsHeader)
{
    const Bytes far = MakeBRTEX(64, 64, 6, Bytes(5000, 1), 9000);
    Put("far.brtex", far), Put("cut.brtex", Bytes(far.begin(), far.begin() + 9020)), Put("i.brtex", kIndexed);
    Put("short.brtex", Bytes(kPainted.begin(), kPainted.begin() + 6000)), Put("p.brplt", kOld), Put("t.brtex", kTexture);
    Put("seven.brtex", MakeBRTEX(2, 2, 7, Bytes(8, 0))), Put("t.brplt", kOld);
    fs::create_directory("empty");
    std::vector<std::string> args = {"--info", "far.brtex", "cut.brtex", "short.brtex", "seven.brtex", "t.brtex", "empty"};
    std::string lines;
    for (std::size_t i = 1; i < args.size() - 1; ++i) {
        lines += InfoLine(args[i], "");
    }
#ifndef _WIN32
    for (const std::string name : {"a\\b.brtex", "tab\t.brtex", "new\nline.brtex"}) {
        Put(name, kTexture), args.push_back(name), lines += InfoLine(name, "");
    }
    // Each texture's file is closed once read: a folder of them, a few descriptors.
    fs::create_directory("many");
    std::string many;
    for (int i = 10; i < 30; ++i) {
        Put("many/" + std::to_string(i) + ".brtex", kTexture), many += InfoLine("many/" + std::to_string(i) + ".brtex", "");
    }
    const ToolRun few = RunTool({"--info", "many"}, "prlimit --nofile=8 ");
    EXPECT_EQ(std::make_pair(few.status, few.out), std::make_pair(0, many));
    // A file of no texture, larger than the memory: the part read for its header cannot grow to it.
    Sh("truncate -s 600M big.brtex");
    const ToolRun big = RunTool({"--info", "big.brtex"}, kMemoryLimit);
    EXPECT_EQ(std::make_pair(big.status, big.out), std::make_pair(13, std::string("big.brtex\tERROR: cannot read file big.brtex\n")));
#endif
    const std::tuple<std::vector<std::string>, int, std::string> rows[] = {
        {args, 0, lines},
        {{"--info", "i.brtex"}, 0, InfoLine("i.brtex", "")},
        {{"--palette=p.brplt", "--info", "i.brtex", "--", "-h"}, 13,
         InfoLine("i.brtex", "p.brplt") + "-h\tERROR: cannot open file -h\n"},
        {{"--info", "--"}, 2, "ERROR: no file specified\n"},
        {{"--info", "-q", "t.brtex"}, 2, "ERROR: -q does not go with --info\n"},
        {{"--info", "--jobs=2", "t.brtex"}, 2, "ERROR: --jobs does not go with --info\n"},
    };
    for (const auto& [given, status, out] : rows) {
        const ToolRun run = RunTool(given);
        EXPECT_EQ(std::make_pair(run.status, run.out), std::make_pair(status, Text(out))) << given[1];
    }
}

// Every option form and each bad one; "--" in both modes; outputs mirrored
// below "-o", made where missing; the later of two textures that would
// write one output fails; statuses 0, 13 and 2.
TEST_F(Cli, BatchOptionsOutputsAndClashes)
{
    const auto files = [] {
        Put("t.brtex", kTexture), Put("i.brtex", kIndexed), Put("p.brplt", MakeBRPLT(1, 3, Words({0, 0xF800, 0x07E0})));
        fs::create_directories("tree/a/deep"), fs::create_directories("tree/b"), fs::create_directories("empty");
        Put("tree/a/x.brtex", kTexture), Put("tree/b/x.brtex", kTexture), Put("tree/a/deep/y.brtex", kTexture);
        fs::create_directories("pal"), Put("pal/i.brtex", kIndexed), Put("pal/i.brplt", ReadFile("p.brplt"));
    };
    const std::string out = "out" + kSep;
    const std::string usage = "ERROR: ";
    const Bytes indexed = ReferenceBmp(3, 1, {0, 0, 0xFF, 0, 0xFF, 0, 0, 0, 0});
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string lines;
        std::map<std::string, Kept> outputs;
    };
    const Row rows[] = {
        {{"--batch"}, 2, "ERROR: no file specified\n", {}},
        {{"--batch", "empty"}, 2, "ERROR: no file specified\n", {}},
        {{"--batch", "--colour", "t.brtex"}, 2, "ERROR: unknown option --colour\n", {}},
        {{"--batch", "-oout", "t.brtex"}, 2, "ERROR: unknown option -oout\n", {}},
        {{"--batch", "-j", "0", "t.brtex"}, 2, "ERROR: -j needs a number from 1 to 256\n", {}},
        {{"--batch", "-j257", "t.brtex"}, 2, "ERROR: -j needs a number from 1 to 256\n", {}},
        {{"--batch", "--jobs=4x", "t.brtex"}, 2, "ERROR: --jobs needs a number from 1 to 256\n", {}},
        {{"--batch", "t.brtex", "--jobs"}, 2, "ERROR: --jobs needs a number from 1 to 256\n", {}},
        {{"--batch", "t.brtex", "-o"}, 2, "ERROR: -o needs a folder name\n", {}},
        {{"--batch", "--output=", "t.brtex"}, 2, "ERROR: --output needs a folder name\n", {}},
        {{"--batch", "t.brtex", "--palette"}, 2, "ERROR: --palette needs a file name\n", {}},
        {{"--batch", "--smallest", "t.brtex"}, 2, "ERROR: --smallest goes only with --png\n", {}},
        {{"--batch", "--png", "--smallest", "s.brtex"}, 0, "File s.png written\n1 converted, 0 failed\n",
         {{"s.png", SmallestPaintedPng()}}},
        {{"--batch", "-a", "-j", "1", "t.brtex"}, 0, "File t.bmp written\nFile t_alpha.bmp written\n1 converted, 0 failed\n",
         {{"t.bmp", kColour}, {"t_alpha.bmp", kAlpha}}},
        {{"--batch", "-o", "out", "-j2", "--", "t.brtex"}, 0, "File " + out + "t.bmp written\n1 converted, 0 failed\n",
         {{"out/t.bmp", kColour}, {"t.bmp", {}}}},
        {{"--batch", "t.brtex", "-o", "out"}, 0, "File " + out + "t.bmp written\n1 converted, 0 failed\n", {{"out/t.bmp", kColour}}},
        {{"--output", "out", "--batch", "--jobs", "3", "t.brtex"}, 0, "File " + out + "t.bmp written\n1 converted, 0 failed\n",
         {{"out/t.bmp", kColour}}},
        {{"--batch", "--output=out", "--jobs=4", "--palette", "p.brplt", "i.brtex"}, 0,
         "File " + out + "i.bmp written\n1 converted, 0 failed\n", {{"out/i.bmp", indexed}}},
        {{"--batch", "--palette=p.brplt", "i.brtex", "t.brtex"}, 0, "File i.bmp written\nFile t.bmp written\n2 converted, 0 failed\n",
         {{"i.bmp", indexed}, {"t.bmp", kColour}}},
        {{"--batch", "-o", "out", "tree", "t.brtex"}, 0,
         "File " + out + "a" + kSep + "deep" + kSep + "y.bmp written\nFile " + out + "a" + kSep + "x.bmp written\nFile " + out + "b" +
             kSep + "x.bmp written\nFile " + out + "t.bmp written\n4 converted, 0 failed\n",
         {{"out/a/deep/y.bmp", kColour}, {"out/a/x.bmp", kColour}, {"out/b/x.bmp", kColour}, {"out/t.bmp", kColour}}},
        {{"--batch", "-o", "out", "tree/a", "tree/b"}, 13,
         "File " + out + "deep" + kSep + "y.bmp written\nFile " + out + "x.bmp written\nERROR: tree/a" + kSep +
             "x.brtex and tree/b" + kSep + "x.brtex would both write " + out + "x.bmp\n2 converted, 1 failed\n",
         {{"out/deep/y.bmp", kColour}, {"out/x.bmp", kColour}}},
        {{"--batch", "-a", "t.brtex", "t_alpha.brtex", "t.brtex"}, 13,
         "File t.bmp written\nFile t_alpha.bmp written\nERROR: t.brtex and t_alpha.brtex would both write t_alpha.bmp\n"
         "ERROR: t.brtex and t.brtex would both write t.bmp\n1 converted, 2 failed\n",
         {{"t.bmp", kColour}, {"t_alpha.bmp", kAlpha}}},
        {{"--batch", "missing.brtex", "t.brtex"}, 13, "ERROR: cannot open file missing.brtex\nFile t.bmp written\n1 converted, 1 failed\n",
         {{"t.bmp", kColour}}},
        {{"--batch", "-q", "missing.brtex", "t.brtex", "i.brtex"}, 13,
         "ERROR: cannot open file missing.brtex\nERROR: no palette file specified for i.brtex\n1 converted, 2 failed\n",
         {{"t.bmp", kColour}}},
        {{"--batch", "pal/i.brtex"}, 0, "File pal/i.bmp written\n1 converted, 0 failed\n", {{"pal/i.bmp", indexed}}},
        // "-o" makes every missing folder on its way; where a file stands in
        // the way, a batch fails each texture it found.
        {{"--batch", "-o", "q/r/s", "t.brtex"}, 0, "File q/r/s" + kSep + "t.bmp written\n1 converted, 0 failed\n",
         {{"q/r/s/t.bmp", kColour}}},
        {{"--batch", "-o", "t.brtex/x", "tree"}, 13, "ERROR: cannot write file t.brtex/x\n0 converted, 3 failed\n", {}},
        {{"-o", "t.brtex/x", "t.brtex"}, 8, "ERROR: cannot write file t.brtex/x\n", {}},
        // A single run takes "-o" too, its texture's outputs going to the
        // folder itself, and after "--" any name; "-j" is still a name there.
        {{"-o", "out", "tree/a/deep/y.brtex"}, 0, "File " + out + "y.bmp written\n", {{"out/y.bmp", kColour}}},
        {{"-a", "--", "-h", "-j"}, 0, "File -h.bmp written\nFile -h_alpha.bmp written\n", {{"-h.bmp", kColour}, {"-h_alpha.bmp", kAlpha}}},
        {{"t.brtex", "-j"}, 0, "File t.bmp written\n", {{"t.bmp", kColour}}},
        {{"--output"}, 2, "ERROR: --output needs a folder name\n", {}},
    };
    for (const Row& row : rows) {
        Check(Case{"", [&] { files(), Put("-h", kTexture), Put("t_alpha.brtex", kTexture), Put("s.brtex", kPainted); }, row.args, row.status, row.lines, row.outputs});
    }
}

// Whatever fails before, among or after them, each entry of the walk gets
// its own lines, in the order found, on one thread or four: a texture, one
// named twice, a file that holds none and, where names have a length
// limit, a folder below one too deep to name (elsewhere a missing name).
TEST_F(Cli, BatchReportsEachEntryAsItsOwn)
{
    Put("a.brtex", kTexture), Put("bad.brtex", kOld);
    std::map<std::string, std::pair<std::string, std::string>> lines = {
        {"a.brtex", {"File a.bmp written\n", "ERROR: a.brtex and a.brtex would both write a.bmp\n"}},
        {"bad.brtex", {"ERROR: bad.brtex is not a valid BRTEX file\n", ""}},
        {"missing.brtex", {"ERROR: cannot open file missing.brtex\n", ""}},
    };
    std::vector<std::string> entries = {"a.brtex", "a.brtex", "bad.brtex", "missing.brtex"};
#ifndef _WIN32
    const std::string part(200, 'd');
    std::string deepest = "deep";
    for (int level = 0; level < 21; ++level) {
        deepest += "/" + part; // past the system's limit at the last
    }
    fs::create_directory("deep"), Put("deep/t.brtex", kTexture);
    for (int level = 0, at = open("deep", O_RDONLY | O_DIRECTORY); level < 21; ++level) {
        ASSERT_EQ(mkdirat(at, part.c_str(), 0777), 0);
        const int below = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY);
        close(at), at = below;
    }
    lines["deep"] = {"ERROR: cannot open file " + deepest + "\nFile deep/t.bmp written\n", ""};
    entries.back() = "deep";
#endif
    do {
        for (const std::string jobs : {"1", "4"}) {
            std::vector<std::string> args = {"--batch", "-j", jobs};
            std::string expected;
            std::set<std::string> seen;
            for (const std::string& entry : entries) {
                const auto& [first, again] = lines[entry];
                expected += seen.insert(entry).second ? first : again;
                args.push_back(entry);
            }
            const std::size_t written = std::count(expected.begin(), expected.end(), 'F'), all = std::count(expected.begin(), expected.end(), '\n');
            const ToolRun run = RunTool(args);
            EXPECT_EQ(run.status, 13);
            EXPECT_EQ(run.out, Console(expected + std::to_string(written) + " converted, " + std::to_string(all - written) + " failed\n"));
            TakeOutputs();
        }
    } while (std::next_permutation(entries.begin(), entries.end()));
#ifndef _WIN32
    const ToolRun info = RunTool({"--info", "deep"}); // a folder that cannot be listed: its line, then on
    EXPECT_EQ(std::make_pair(info.status, info.out),
              std::make_pair(13, deepest + "\tERROR: cannot open file " + deepest + "\n" + InfoLine("deep/t.brtex", "")));
    Sh("rm -rf deep");
#endif
}

// Two outputs that are one file on the file system at hand, whatever their
// names, make the later texture in the walk fail unread, on one thread or
// four: one texture under other spellings (read once: it warns once), names
// that differ in case where the system folds it, a link between folders
// below "-o" (the later no texture, which would say so if read). Copies of
// one texture, linked, in two folders each convert. Where only writing
// shows it (outputs that are links of one file), the texture that meets
// the file second fails.
TEST_F(Cli, BatchWritesOneFileForEachOutput)
{
    const Bytes cut(kTexture.begin(), kTexture.end() - 5);
    const Bytes cut_bmp = ReferenceBmp(2, 2, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0xE3, 0});
    // The folder y beside y.brtex: one letter, as its output's first.
    const auto short_texture = [&] { fs::create_directory("y"), Put("y/y.brtex", cut), Put("y.brtex", cut); };
    const std::string warning = " ends 5 bytes short of its texels\n", warned_in_y = "kestrune: warning: y" + kSep + "y.brtex" + warning,
                      warned_here = "kestrune: warning: y.brtex" + warning;
    // Given by name from two folders: a system that folds case holds no two
    // such names in one.
    const std::vector<std::string> cased_args = {"--batch", "--png", "-o", "o", "a/\u00C9.brtex", "b/\u00E9.brtex", "a/\u03A9.brtex",
                                                 "b/\u03C9.brtex"};
    const auto cased = [&] {
        fs::create_directory("a"), fs::create_directory("b");
        for (std::size_t i = 4; i < cased_args.size(); ++i) {
            Put(cased_args[i], i % 2 == 0 ? kTexture : kOld);
        }
    };
    const auto linked = [] {
        fs::create_directories("tree/a"), fs::create_directories("tree/b");
        Put("tree/a/x.brtex", kTexture), fs::create_hard_link("tree/a/x.brtex", "tree/b/x.brtex");
    };
#ifndef _WIN32
    const auto two = [] {
        fs::create_directories("tree/a"), fs::create_directories("tree/b"), Put("tree/a/x.brtex", kTexture), Put("tree/b/x.brtex", kOld);
    };
#endif
    const Bytes png = Png(PngImage::kColour, 2, 2, {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}});
    std::vector<Case> cases = {
        {"three spellings", short_texture, {"--batch", "y", "./y/y.brtex", "y//y.brtex"}, 13,
         "File y" + kSep + "y.bmp written\nERROR: y" + kSep + "y.brtex and ./y/y.brtex would both write ./y/y.bmp\nERROR: y" + kSep +
             "y.brtex and y//y.brtex would both write y//y.bmp\n1 converted, 2 failed\n",
         {{"y/y.bmp", cut_bmp}}, "", {}, warned_in_y.c_str()},
        {"two spellings here", short_texture, {"--batch", "y.brtex", "./y.brtex"}, 13,
         "File y.bmp written\nERROR: y.brtex and ./y.brtex would both write ./y.bmp\n1 converted, 1 failed\n", {{"y.bmp", cut_bmp}}, "", {},
         warned_here.c_str()},
#ifdef _WIN32
        {"case folded", cased, cased_args, 13,
         "File o\\\u00C9.png written\nERROR: a/\u00C9.brtex and b/\u00E9.brtex would both write o\\\u00E9.png\n"
         "File o\\\u03A9.png written\nERROR: a/\u03A9.brtex and b/\u03C9.brtex would both write o\\\u03C9.png\n2 converted, 2 failed\n",
         {{"o/\u00C9.png", png}, {"o/\u03A9.png", png}}},
#else
        {"case kept", cased, cased_args, 13,
         "File o/\u00C9.png written\nERROR: b/\u00E9.brtex is not a valid BRTEX file\nFile o/\u03A9.png written\n"
         "ERROR: b/\u03C9.brtex is not a valid BRTEX file\n2 converted, 2 failed\n",
         {{"o/\u00C9.png", png}, {"o/\u03A9.png", png}}},
        {"a link between folders below -o", [&] { two(), fs::create_directories("out/a"), fs::create_symlink("a", "out/b"); },
         {"--batch", "-o", "out", "tree"}, 13,
         "File out/a/x.bmp written\nERROR: tree/a/x.brtex and tree/b/x.brtex would both write out/b/x.bmp\n1 converted, 1 failed\n",
         {{"out/a/x.bmp", kColour}}},
#endif
        {"linked copies", linked, {"--batch", "tree"}, 0,
         "File tree" + kSep + "a" + kSep + "x.bmp written\nFile tree" + kSep + "b" + kSep + "x.bmp written\n2 converted, 0 failed\n",
         {{"tree/a/x.bmp", kColour}, {"tree/b/x.bmp", kColour}}},
    };
    for (Case c : cases) {
        for (const std::string jobs : {"1", "4"}) {
            c.args.insert(c.args.begin() + 1, {"-j", jobs});
            Check(c);
        }
    }
#ifndef _WIN32
    // Forty of them, under 40 descriptors: no refusal keeps one.
    std::string written, refused;
    for (int n = 10; n < 50; ++n) {
        const std::string x = std::to_string(n);
        written.append("File out/a/x").append(x).append(".bmp written\n");
        refused.append("ERROR: tree/a/x").append(x).append(".brtex and tree/b/x").append(x).append(".brtex would both write out/b/x");
        refused.append(x).append(".bmp\n");
    }
    Check(Case{"outputs linked",
               [] {
                   fs::create_directories("tree/a"), fs::create_directories("tree/b"), fs::create_directories("out/a"), fs::create_directories("out/b");
                   for (int n = 10; n < 50; ++n) {
                       const std::string x = "/x" + std::to_string(n);
                       Put("tree/a" + x + ".brtex", kTexture), Put("tree/b" + x + ".brtex", kTexture);
                       Put("out/a" + x + ".bmp", kOld), fs::create_hard_link("out/a" + x + ".bmp", "out/b" + x + ".bmp");
                   }
               },
               {"--batch", "-j", "1", "-o", "out", "tree"}, 13, written + refused + "40 converted, 40 failed\n",
               {{"out/a/x49.bmp", kColour}, {"out/b/x49.bmp", kColour}},
               "ulimit -n 40; "});
    Check(Case{"an output reached through the kernel's link to another's",
               [] {
                   Put("a.brtex", kTexture), Put("b.brtex", kTexture), Put("a.bmp", kOld), fs::create_hard_link("a.bmp", "a2.bmp");
                   fs::create_symlink("/proc/self/fd/5", "b.bmp");
               },
               {"--batch", "-j", "1", "a.brtex", "b.brtex"}, 13,
               "File a.bmp written\nERROR: a.brtex and b.brtex would both write b.bmp\n1 converted, 1 failed\n",
               {{"a.bmp", kColour}, {"a2.bmp", kColour}}, "exec 5<> a.bmp; "});
    // Seventy folders under 40 descriptors: asking each whether it folds case keeps none.
    std::string seventy;
    std::map<std::string, Kept> outputs;
    for (int n = 10; n < 80; ++n) {
        seventy.append("File f/").append(std::to_string(n)).append("/t.bmp written\n");
        outputs["f/" + std::to_string(n) + "/t.bmp"] = kColour;
    }
    const auto folders = [] {
        for (int n = 10; n < 80; ++n) {
            fs::create_directories("f/" + std::to_string(n)), Put("f/" + std::to_string(n) + "/t.brtex", kTexture);
        }
    };
    Check(Case{"seventy folders", folders, {"--batch", "-j", "1", "f"}, 0, seventy + "70 converted, 0 failed\n", outputs, "ulimit -n 40; "});
    // One texture's own two outputs linked are written as a single run writes them.
    Check(Case{"a texture's outputs linked", [] { Put("t.brtex", kTexture), Put("t.bmp", kOld), fs::create_hard_link("t.bmp", "t_alpha.bmp"); },
               {"--batch", "-a", "t.brtex"}, 0, "File t.bmp written\nFile t_alpha.bmp written\n1 converted, 0 failed\n",
               {{"t.bmp", kAlpha}, {"t_alpha.bmp", kAlpha}}});
#endif
}

// One thread or four: the same report and the same bytes, whichever
// texture ends first; below "-o", threads that meet at a folder they both
// make still write their outputs there.
TEST_F(Cli, BatchGivesTheSameOnAnyNumberOfThreads)
{
    for (int n = 0; n < 24; ++n) {
        const std::uint32_t formats[] = {14, 6, 5, 4, 1, 3};
        Painted("tree/" + std::to_string(n / 8) + "/t" + std::to_string(n) + ".brtex", formats[n % 6], 8 + 8 * (n % 5), n);
    }
    const ToolRun one = RunTool({"--batch", "-a", "--png", "-j", "1", "tree"});
    const std::map<std::string, Bytes> outputs = TakeOutputs();
    EXPECT_EQ(one.status, 0);
    EXPECT_TRUE(one.out.ends_with(Text("24 converted, 0 failed\n"))) << one.out;
    EXPECT_EQ(outputs.size(), 48u);
    const ToolRun four = RunTool({"--batch", "-a", "--png", "-j", "4", "tree"});
    EXPECT_EQ(four.out, one.out);
    EXPECT_EQ(TakeOutputs(), outputs);
    std::string moved = one.out;
    for (std::size_t at = 0; (at = moved.find("tree" + kSep, at)) != std::string::npos;) {
        moved.replace(at, 4, "out");
    }
    std::map<std::string, Bytes> below;
    for (const auto& [name, bytes] : outputs) {
        below["out" + name.substr(4)] = bytes;
    }
    for (int run = 0; run < 8; ++run) {
        fs::remove_all("out");
        const ToolRun mirrored = RunTool({"--batch", "-a", "--png", "-j", "4", "-o", "out", "tree"});
        EXPECT_EQ(mirrored.out, moved);
        EXPECT_EQ(TakeOutputs(), below);
    }
}

#ifndef _WIN32
namespace {

// Valgrind runs the tool with its own library preloaded.
bool UnderValgrind()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::string(preload).find("valgrind") != std::string::npos;
}

} // namespace

// Two thousand textures of every kind of end, on four threads, under 64
// descriptors and 1 GiB of address space: nothing a texture takes is kept
// past its end. Under the sanitizers and valgrind, which need more of
// both, it is skipped.
TEST_F(Cli, BatchOfThousandsKeepsNothingPerTexture)
{
    if (UnderValgrind()) {
        GTEST_SKIP() << "under valgrind";
    }
#ifdef KESTRUNE_SANITIZED
    GTEST_SKIP() << "under the sanitizers";
#endif
    std::string lines;
    std::size_t converted = 0;
    for (const std::string kind : {"bad", "dirs", "links", "new", "old"}) {
        fs::create_directory(kind);
        for (int n = 0; n < 400; ++n) {
            char stem[16];
            std::snprintf(stem, sizeof stem, "/t%03d", n);
            const std::string texture = kind + stem + ".brtex", bmp = kind + stem + ".bmp";
            Put(texture, kind == "bad" ? kOld : kTexture);
            if (kind == "dirs") {
                fs::create_directory(bmp);
            } else if (kind == "links") {
                fs::create_symlink("none/x", bmp);
            } else if (kind == "old") {
                Put(bmp, kOld);
            }
            lines += kind == "bad" ? "ERROR: " + texture + " is not a valid BRTEX file\n"
                     : kind == "dirs" || kind == "links" ? "ERROR: cannot write file " + bmp + "\n"
                                                         : "File " + bmp + " written\n";
            converted += kind == "new" || kind == "old";
        }
    }
    const ToolRun run = RunTool({"--batch", "-j", "4", "bad", "dirs", "links", "new", "old"}, "ulimit -n 64; ulimit -v 1048576; ");
    EXPECT_EQ(run.status, 13);
    EXPECT_EQ(run.out, Console(lines + std::to_string(converted) + " converted, " + std::to_string(2000 - converted) + " failed\n"));
    for (const std::string kind : {"new", "old"}) {
        EXPECT_EQ(ReadFile(kind + "/t399.bmp"), kColour) << kind;
    }
}

// Standard error shows one line of progress where it is a terminal, and
// the warnings go there whatever it is, never into an output when the
// run was started without it.
TEST_F(Cli, BatchProgressAndWarnings)
{
    fs::create_directory("tree");
    // Large enough that outputs stay open while other textures' warnings
    // are printed.
    const Bytes texture = MakeBRTEX(256, 256, 6, Bytes(256 * 256 * 4, 0x5A));
    for (int n = 0; n < 40; ++n) {
        Put("tree/t" + std::to_string(n + 10) + ".brtex", Bytes(texture.begin(), texture.end() - 2)); // 2 bytes short
    }
    Put("tree/t09.brtex", kTexture);
    const ToolRun quiet = RunTool({"--batch", "tree/t09.brtex"});
    EXPECT_EQ(quiet.err, "");
    const std::string terminal = Shell("script -qec '" + Quoted(kTool.string()) + " --batch -j 2 tree' /dev/null");
    EXPECT_NE(terminal.find("\r[  1/41] tree/t10.brtex"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\r[ 40/41] tree/t49.brtex"), std::string::npos);
    EXPECT_NE(terminal.find("kestrune: warning: tree/t49.brtex ends 2 bytes short of its texels"), std::string::npos);
    // What the terminal is sent, in full: each progress line is cleared with
    // exactly its own width of spaces before the next lines.
    fs::create_directory("p"), Put("p/a.brtex", kTexture), Put("p/bb.brtex", kTexture);
    const std::string shown = "[ 1/2] p/bb.brtex", cleared = "\r" + std::string(shown.size(), ' ') + "\r";
    EXPECT_EQ(Shell("script -qec '" + Quoted(kTool.string()) + " --batch -j 1 p' /dev/null"),
              "BRTEX to BMP convertor\r\n\r\n\r\rFile p/a.bmp written\r\n\r" + shown + cleared +
                  "File p/bb.bmp written\r\n2 converted, 0 failed\r\n");
    if (UnderValgrind()) {
        return; // valgrind itself needs the standard error that the rest closes
    }
    const Bytes cut = ReadFile("tree/t10.bmp"); // as the terminal's run wrote it
    ASSERT_EQ(cut.size(), 54u + 256 * 256 * 3);
    for (int run = 0; run < 4; ++run) {
        const ToolRun closed = RunTool({"--batch", "-j", "4", "tree"}, "sh -c 'exec \"$0\" \"$@\" 2>&-' ");
        EXPECT_TRUE(closed.out.ends_with("41 converted, 0 failed\n")) << closed.out;
        EXPECT_EQ(closed.err, ""); // the tool itself had no standard error
        for (int n = 0; n < 40; ++n) {
            EXPECT_EQ(ReadFile("tree/t" + std::to_string(n + 10) + ".bmp"), cut) << n;
        }
    }
}

// An interrupt to a batch on four threads ends it as it ends any process,
// once every rewrite in place in flight is whole: every output is old or
// whole, a file with a second link too, and no temporary name is left.
TEST_F(Cli, BatchInterruptedLeavesEachOutputOldOrWhole)
{
    const Bytes converted = ReferenceBmp(1024, 1024, Bytes(3 * 1024 * 1024, 0x7F));
    fs::create_directory("tree");
    for (int n = 0; n < 8; ++n) {
        Put("tree/t" + std::to_string(n) + ".brtex", MakeBRTEX(1024, 1024, 6, Bytes(1024 * 1024 * 4, 0x7F)));
    }
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        bool interrupted = false;
        for (int attempt = 0; attempt < 20 && !interrupted; ++attempt) {
            for (int n = 0; n < 8; ++n) {
                const std::string bmp = "tree/t" + std::to_string(n) + ".bmp", link = "tree/l" + std::to_string(n) + ".bmp";
                fs::remove(link), Put(bmp, kOld);
                if (n % 2 == 1) {
                    fs::create_hard_link(bmp, link); // rewritten in place
                }
            }
            const std::set<std::string> before = Listing();
            const pid_t pid = Start(Quoted(kTool.string()) + " --batch -j 4 tree");
            int status = 0;
            while (Writer(pid) == 0 && waitpid(pid, &status, WNOHANG) == 0) {
            }
            interrupted = kill(pid, sig) == 0 && waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) && WTERMSIG(status) == sig;
            EXPECT_EQ(Listing(), before);
            for (int n = 0; n < 8; ++n) {
                const Bytes bmp = ReadFile("tree/t" + std::to_string(n) + ".bmp");
                EXPECT_TRUE(bmp == kOld || bmp == converted) << n;
                EXPECT_TRUE(n % 2 == 0 || ReadFile("tree/l" + std::to_string(n) + ".bmp") == bmp) << n;
            }
        }
        EXPECT_TRUE(interrupted);
    }
}
#endif

// The Windows executable takes a drop, or a double click, only where
// Explorer started it in a window of its own: every other start is a
// prompt's, a script's, or has a stream redirected.
TEST(CommandLine, DropsAreToldByTheFactsOfTheStart)
{
    const struct {
        ConsoleFacts facts;
        bool dropped;
    } starts[] = {
        {{true, 1, true, true}, true},    // Explorer, its own window
        {{true, 3, true, true}, false},   // Explorer, but a console shared
        {{false, 1, true, true}, false},  // a terminal, no parent
        {{false, 3, true, true}, false},  // cmd.exe
        {{true, 1, false, true}, false},  // input redirected
        {{true, 1, true, false}, false},  // output redirected
        {{false, 0, false, false}, false}, // no console at all
    };
    for (const auto& start : starts) {
        EXPECT_EQ(LooksDroppedOn(start.facts), start.dropped);
    }
    char program[] = "kestrune", first[] = "a b", second[] = "-h";
    char* dropped[] = {program, first, second};
    const CommandLine line = ReadCommandLine(3, dropped, true);
    EXPECT_TRUE(line.batch && line.png && !line.alpha && line.request == Request::kConvert);
    EXPECT_EQ(line.names, (std::vector<std::string>{"a b", "-h"}));
    const CommandLine one = ReadCommandLine(2, dropped, true);
    EXPECT_TRUE(one.request == Request::kConvert && one.names == std::vector<std::string>{"a b"});
    EXPECT_EQ(ReadCommandLine(1, dropped, true).request, Request::kHelp);
    EXPECT_EQ(ReadCommandLine(1, dropped, false).request, Request::kUsage);
}

#ifndef _WIN32
// No special file named as a texture or a palette is opened by a batch, in
// a folder, through a link or by name: each is a failure of its own, and
// the batch goes on. A single run still reads a FIFO it is given.
TEST_F(Cli, BatchOpensNoSpecialFile)
{
    const auto specials = [] {
        fs::create_directory("d"), Sh("mkfifo d/f.brtex d/i.brplt fifo.brplt");
        fs::create_symlink("/dev/zero", "d/zero.brtex"), fs::create_symlink("/dev/null", "d/null.brtex");
        Put("d/i.brtex", kIndexed), Put("d/z.brtex", kTexture), Put("t.brtex", kTexture), Put("i.brtex", kIndexed);
    };
    const Case cases[] = {
        {"in a folder", specials, {"--batch", "d"}, 13,
         "ERROR: cannot open file d/f.brtex\nERROR: cannot open file d/i.brplt\nERROR: cannot open file d/null.brtex\n"
         "File d/z.bmp written\nERROR: cannot open file d/zero.brtex\n1 converted, 4 failed\n",
         {{"d/z.bmp", kColour}}, "timeout 20 "},
        {"by name", specials, {"--batch", "d/f.brtex", "--palette", "fifo.brplt", "i.brtex", "t.brtex"}, 13,
         "ERROR: cannot open file d/f.brtex\nERROR: cannot open file fifo.brplt\nFile t.bmp written\n1 converted, 2 failed\n",
         {{"t.bmp", kColour}}, "timeout 20 "},
        {"a single run", specials, {"d/f.brtex"}, 0, "File d/f.bmp written\n", {{"d/f.bmp", kColour}},
         "(cat t.brtex > d/f.brtex &); timeout 20 "},
    };
    for (const Case& c : cases) {
        Check(c);
    }
}

// Once standard output cannot be written, a batch starts no texture: a
// pipe whose reader has left ends it as it ends a single run, by SIGPIPE,
// or with status 12 where that signal is ignored; a full disk with 12. A
// reader that leaves after the banner ends it by SIGPIPE too, once the
// textures in hand are done.
TEST_F(Cli, BatchStopsWhenItsReportCannotBeWritten)
{
    fs::create_directory("tree");
    for (int n = 10; n < 50; ++n) {
        Put("tree/t" + std::to_string(n) + ".brtex", MakeBRTEX(256, 256, 6, Bytes(256 * 256 * 4, 0x5A)));
    }
    const auto run = [](int out, bool ignored, int reader = -1) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out, 1), dup2(open("/dev/null", O_WRONLY), 2), close(reader);
            std::signal(SIGPIPE, ignored ? SIG_IGN : SIG_DFL);
            execl(kTool.c_str(), "kestrune", "--batch", "-j", "2", "tree", nullptr);
            _exit(127);
        }
        char banner[24];
        if (reader >= 0 && read(reader, banner, sizeof banner) == sizeof banner) {
            close(reader); // leaves once it has the banner
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    };
    for (const bool ignored : {false, true}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]); // the reader has left
        const int status = run(ends[1], ignored);
        close(ends[1]);
        EXPECT_TRUE(ignored ? WIFEXITED(status) && WEXITSTATUS(status) == 12 : WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE)
            << ignored << " " << status;
        EXPECT_EQ(TakeOutputs().size(), 0u) << ignored;
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int left = run(ends[1], false, ends[0]);
    close(ends[1]);
    EXPECT_TRUE(WIFSIGNALED(left) && WTERMSIG(left) == SIGPIPE) << left;
    TakeOutputs(); // as many as were in hand: how many, the scheduler decides
    const int full = open("/dev/full", O_WRONLY);
    const int status = run(full, false);
    close(full);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 12) << status;
    EXPECT_EQ(TakeOutputs().size(), 0u);
}

// On a volume that folds case, two outputs whose names differ only in case
// are one file: found so below "-o" where the volume's folder names show it,
// and at its root, where nothing does, once the first is written.
TEST_F(AsRootAndAnother, BatchOnACaseInsensitiveVolume)
{
    if (std::system("truncate -s 8M img && mkntfs -F -f -q img > /dev/null 2>&1 && mkdir m && lowntfs-3g -o ignore_case img m") != 0) {
        GTEST_SKIP() << "cannot mount a case-insensitive volume";
    }
    fs::create_directory("d");
    for (const std::string name : {"X", "x", "\u00C9", "\u00E9"}) {
        Put("d/" + name + ".brtex", kTexture);
    }
    for (const std::string folder : {"m", "m/o"}) {
        const ToolRun run = RunTool({"--batch", "--png", "-j", folder == "m" ? "1" : "4", "-o", folder, "d"});
        EXPECT_EQ(run.status, 13);
        EXPECT_EQ(run.out, Console("File " + folder + "/X.png written\nERROR: d/X.brtex and d/x.brtex would both write " + folder +
                                   "/x.png\nFile " + folder + "/\u00C9.png written\nERROR: d/\u00C9.brtex and d/\u00E9.brtex would both write " +
                                   folder + "/\u00E9.png\n2 converted, 2 failed\n"));
    }
    std::system("umount m");
}

// In a shared sticky folder, a link another user may have planted is
// followed neither to an input nor on the way to an output, and below the
// output folder nothing is made where a link leads. A batch whose every
// rewrite in place fails on a full disk, under a few descriptors, keeps
// none of them.
TEST_F(AsRootAndAnother, BatchInSharedFoldersAndOnAFullDisk)
{
    constexpr int kNobody = 65534;
    const auto own = [](const char* name, int owner) { ASSERT_EQ(lchown(name, owner, owner), 0); };
    const auto shared = [&] {
        fs::create_directories("d"), fs::create_directories("elsewhere"), fs::create_directories("out");
        Put("secret.brtex", kTexture), fs::permissions("secret.brtex", fs::perms(0600));
        fs::create_symlink("../secret.brtex", "d/planted.brtex"), own("d/planted.brtex", kNobody);
        fs::create_symlink("../secret.brtex", "d/mine.brtex");
        fs::create_symlink("../elsewhere", "out/a"), own("out/a", kNobody), fs::create_symlink("../elsewhere", "out/b");
        fs::permissions("d", fs::perms(01777)), fs::permissions("out", fs::perms(01777));
        fs::create_directories("tree/a"), fs::create_directories("tree/b/c");
        Put("tree/a/t.brtex", kTexture), Put("tree/b/c/t.brtex", kTexture);
    };
    std::string failures;
    for (int n = 100; n < 200; ++n) {
        failures += "ERROR: cannot write file m/t" + std::to_string(n) + ".bmp\n";
    }
    const auto full = [] {
        fs::create_directory("m"), Sh("mount -t tmpfs -o size=2m none m");
        for (int n = 100; n < 200; ++n) {
            const std::string stem = "m/t" + std::to_string(n);
            Put(stem + ".brtex", MakeBRTEX(64, 64, 4, {})), Put(stem + ".bmp", kOld), fs::create_hard_link(stem + ".bmp", stem + "_link.bmp");
        }
        Sh("head -c 4M /dev/zero > m/fill 2> /dev/null; true");
    };
    const Case cases[] = {
        {"a planted link to an input", shared, {"--batch", "d"}, 13,
         "File d/mine.bmp written\nERROR: cannot open file d/planted.brtex\n1 converted, 1 failed\n", {{"d/mine.bmp", kColour}}},
        {"a planted link on the way out, and none made through a link", shared, {"--batch", "-o", "out", "tree"}, 13,
         "ERROR: cannot write file out/a/t.bmp\nERROR: cannot write file out/b/c/t.bmp\n0 converted, 2 failed\n", {}},
        {"a full disk", full, {"--batch", "m"}, 13, failures + "0 converted, 100 failed\n", {{"m/t100.bmp", kOld}}, "ulimit -n 40; "},
    };
    shared(); // --info reads no more through a planted link than a batch does
    const ToolRun info = RunTool({"--info", "d"}, "", tool_);
    EXPECT_EQ(std::make_pair(info.status, info.out),
              std::make_pair(13, InfoLine("d/mine.brtex", "") + "d/planted.brtex\tERROR: cannot open file d/planted.brtex\n"));
    for (const Case& c : cases) {
        Check(c);
        std::system("umount m 2> /dev/null");
    }
}
#endif

// A tree of PNGs that a batch's --png wrote, back into copies of their
// textures below -o: each the texture's own bytes where unedited; an alpha
// PNG beside its colour PNG skipped, as is a file of another kind; a PNG
// of no texture a failure.
TEST_F(Cli, BatchImportsATreeBack)
{
    Painted("tex/a.brtex", 14, 24, 1);
    Painted("tex/sub/b.BRTEX", 9, 16, 2, "tex/sub/b.brplt");
    Painted("tex/sub/c.brtex", 5, 8, 3);
    ASSERT_EQ(RunTool({"--batch", "--png", "-a", "-o", "png", "tex"}).status, 0);
    Put("png/lone_alpha.png", ReadFile("png/a.png")), Put("png/notes.txt", Bytes(3, 'x')); // no PNG: passed over
    const ToolRun run = RunTool({"--batch", "--import", "png", "tex", "-o", "out"});
    EXPECT_EQ(run.status, 13);
    EXPECT_EQ(run.out, Console("File out" + kSep + "a.brtex written\nERROR: cannot open file tex" + kSep + "lone_alpha.brtex\n"
                               "File out" + kSep + "sub" + kSep + "b.BRTEX written\nFile out" + kSep + "sub" + kSep +
                               "c.brtex written\n3 converted, 1 failed\n"));
    for (const char* name : {"a.brtex", "sub/b.BRTEX", "sub/c.brtex"}) {
        EXPECT_EQ(ReadFile(std::string("out/") + name), ReadFile(std::string("tex/") + name)) << name;
    }
    EXPECT_EQ(RunTool({"--batch", "--import", "png", "tex"}).status, 2);
#ifndef _WIN32
    // Two outputs that are one file: the second refused.
    fs::create_directories("out2/sub"), fs::copy_file("tex/sub/c.brtex", "out2/sub/c.brtex"), fs::create_symlink("sub/c.brtex", "out2/a.brtex");
    const ToolRun clash = RunTool({"--batch", "-j", "1", "--import", "png", "tex", "-o", "out2"});
    EXPECT_EQ(clash.status, 13);
    EXPECT_EQ(clash.out, Console("File out2/a.brtex written\nERROR: cannot open file tex/lone_alpha.brtex\nFile out2/sub/b.BRTEX written\n"
                                 "ERROR: png/a.png and png/sub/c.png would both write out2/sub/c.brtex\n2 converted, 2 failed\n"));
    // Nothing held per texture: sixty imports, palettes read, under twenty descriptors.
    fs::create_directories("many/tex"), fs::create_directories("many/png");
    for (int i = 0; i < 60; ++i) {
        const std::string n = std::to_string(i);
        fs::copy_file("tex/sub/b.BRTEX", "many/tex/" + n + ".brtex"), fs::copy_file("tex/sub/b.brplt", "many/tex/" + n + ".brplt");
        fs::copy_file("png/sub/b.BRTEX.png", "many/png/" + n + ".png");
    }
    const ToolRun many = RunTool({"--batch", "-j", "1", "--import", "many/png", "many/tex", "-o", "many/out"}, "prlimit --nofile=20 ");
    EXPECT_EQ(many.status, 0) << many.out;
#endif
}
