// What the end-to-end tests share: running the built tool in a scratch
// folder, a table row of what a run must print, return and leave, and the
// folder that runs as root and as another user.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "fixtures.h"
#include "painted_textures.h"
#include "png.h"

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <fstream>

namespace fs = std::filesystem;


// Taken before any test changes directory: the tool sits beside the tests.
inline const fs::path kTool = fs::current_path() / KESTRUNE_EXE_NAME;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

inline std::string Quoted(const std::string& s)
{
    return '"' + s + '"';
}

// Runs the tool in the current directory with `args` as typed at a prompt,
// each quoted but for wildcards, which are expanded: by the shell on POSIX
// systems, by the program's own runtime on Windows. `prefix` runs first in
// the same POSIX shell.
inline ToolRun RunTool(const std::vector<std::string>& args, const std::string& prefix = "", const fs::path& tool = kTool)
{
    std::string command = prefix + Quoted(tool.string());
    for (const std::string& a : args) {
        command += ' ' + (a.find('*') == std::string::npos ? Quoted(a) : a);
    }
    command += " > kestrune-stdout.txt 2> kestrune-stderr.txt";
#ifdef _WIN32
    const int status = std::system(Quoted(command).c_str()); // cmd.exe drops the outer pair of quotes
#else
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    const Bytes out = ReadFile("kestrune-stdout.txt"), err = ReadFile("kestrune-stderr.txt");
    fs::remove("kestrune-stdout.txt"), fs::remove("kestrune-stderr.txt");
    return ToolRun{status, std::string(out.begin(), out.end()), std::string(err.begin(), err.end())};
}

// Lines as they reach a file: standard output is a text stream, so on
// Windows every line ends in CR LF.
inline std::string Text(std::string text)
{
#ifdef _WIN32
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
        text.insert(at, 1, '\r');
    }
#endif
    return text;
}

// The banner, then `lines`.
inline std::string Console(const std::string& lines)
{
    return Text("BRTEX to BMP convertor\n\n" + lines);
}

// A 2 x 2 RGB565 texture: red, green on top; blue, white below.
inline const Bytes kTexture = MakeBRTEX(2, 2, 4, Words({0xF800, 0x07E0, 0x001F, 0xFFFF}));
inline const Bytes kColour = ReferenceBmp(2, 2, {0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF, 0, 0xFF, 0});
inline const Bytes kAlpha = ReferenceBmp(2, 2, Bytes(12, 0xFF));
inline const Bytes kIndexed = MakeBRTEX(3, 1, 9, Bytes{1, 2, 200});
// Painted RGBA8 texels, which decode to the painted pixels themselves: a
// texture whose smallest PNG is not its default one.
inline const Bytes kPaintedPixels = PaintRGBA(Content::kNoise, 64, 64, 5);
inline const Bytes kPainted = MakeBRTEX(64, 64, 6, EncodeTexels(6, 64, 64, kPaintedPixels, nullptr));

inline void Put(const std::string& name, const Bytes& bytes)
{
    ASSERT_TRUE(WriteFile(name, bytes));
}

inline void Sh(const std::string& command)
{
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

#ifdef _WIN32
inline const std::string kGarbageHeap;
#else
// Under this shell prefix, heap memory handed out without zeroing holds
// 0x5A bytes, so that a pixel left unwritten, or a buffer that should have
// been zeroed and was not, shows in the output.
inline const std::string kGarbageHeap = "MALLOC_PERTURB_=165 ";

// A shell prefix under which the Nth `call` the tool makes on `path` (a
// file, or a folder through its descriptor) meets `what`: an error, or a
// signal sent. The leak checker of a sanitizer build cannot run under a
// tracer, and stays off.
inline std::string Injecting(const std::string& path, const std::string& call, const std::string& what, const std::string& when)
{
    return "ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 strace -o /dev/null -P " + path + " -e trace=" + call +
           " -e inject=" + call + ":" + what + ":when=" + when + " 2> /dev/null ";
}

// Under this shell prefix the memory runs out as where it is not there:
// at 512 MiB of address space, or, for a sanitizer's run-time, whose
// shadow memory cannot live under such a limit, at any one allocation
// past 384 MiB.
#ifdef KESTRUNE_SANITIZED
inline const std::string kMemoryLimit = "ASAN_OPTIONS=$ASAN_OPTIONS:allocator_may_return_null=1:max_allocation_size_mb=384 ";
#else
inline const std::string kMemoryLimit = "prlimit --as=536870912 ";
#endif

inline std::string Failing(const std::string& path, const std::string& call, const std::string& error, const std::string& when)
{
    return Injecting(path, call, "error=" + error, when);
}
#endif

// What a file must hold after a run: its bytes (none: no regular file)
// and, where given, its mode and its owner, whose id is its group's too.
struct Kept {
    Kept(Bytes b = {}, int m = -1, int o = -1) : bytes(std::move(b)), mode(m), owner(o) {}
    Bytes bytes;
    int mode;
    int owner;
};

struct Case {
    const char* what;
    std::function<void()> setup;
    std::vector<std::string> args;
    int status;
    std::string lines;
    std::map<std::string, Kept> files;
    std::string prefix = ""; // run first, in the same POSIX shell
    // POSIX shell commands whose output the run leaves as it was, or with
    // a leading '!', changes.
    std::vector<std::string> same = {};
    const char* err = nullptr; // where given, what standard error must show
};

// What a shell command prints.
inline std::string Shell(const std::string& command)
{
    std::system((command + " > shell.txt").c_str());
    const Bytes out = ReadFile("shell.txt");
    fs::remove("shell.txt");
    return std::string(out.begin(), out.end());
}

class Cli : public testing::Test {
protected:
    void SetUp() override
    {
#ifndef _WIN32
        // The tool starts with the standard streams alone, whatever the test
        // runner left open, so that a limit on descriptors falls where a row says.
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            const int fd = std::stoi(entry.path().filename().string());
            if (fd > 2) {
                fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
#endif
        dir_ = kTool.parent_path() / "cli-scratch" / testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override { fs::current_path(kTool.parent_path()); }

    // Every entry under the folder, links with what they hold unless `bare`.
    std::set<std::string> Listing(bool bare = false) const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            const std::u8string name = entry.path().lexically_relative(dir_).generic_u8string();
            names.emplace(std::string(name.begin(), name.end()) +
                          (entry.is_symlink() && !bare ? " -> " + fs::read_symlink(entry.path()).string() : ""));
        }
        return names;
    }

    // Runs one row in an empty folder: its status, its console text, the
    // files it names and no other change.
    void Check(const Case& c)
    {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_)) {
            std::error_code ignored; // a read-only file must be writable to go on Windows
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, ignored);
            fs::remove_all(entry.path());
        }
        c.setup();
        std::set<std::string> expected = Listing();
        std::vector<std::string> before;
        for (const std::string& command : c.same) {
            before.push_back(Shell(command.substr(command[0] == '!')));
        }
        const ToolRun run = RunTool(c.args, c.prefix, tool_);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, Console(c.lines));
        EXPECT_TRUE(c.err == nullptr || run.err == Text(c.err)) << run.err;
        for (const auto& [name, kept] : c.files) {
            const fs::path path(std::u8string(name.begin(), name.end()));
            EXPECT_EQ(fs::is_regular_file(path), !kept.bytes.empty()) << name;
            EXPECT_EQ(kept.bytes.empty() ? Bytes{} : ReadFile(name), kept.bytes) << name;
            for (fs::path made = path; !kept.bytes.empty() && !fs::is_symlink(path) && !made.empty(); made = made.parent_path()) {
                expected.insert(made.generic_string()); // with the folders it needed
            }
#ifndef _WIN32
            struct stat status = {};
            stat(name.c_str(), &status);
            EXPECT_TRUE(kept.mode < 0 || int(status.st_mode & 07777) == kept.mode) << name << std::oct << status.st_mode;
            EXPECT_TRUE(kept.owner < 0 || (int(status.st_uid) == kept.owner && int(status.st_gid) == kept.owner)) << name;
#endif
        }
        EXPECT_EQ(Listing(), expected);
        for (std::size_t i = 0; i < c.same.size(); ++i) {
            EXPECT_EQ(Shell(c.same[i].substr(c.same[i][0] == '!')) == before[i], c.same[i][0] != '!') << c.same[i];
        }
    }

    fs::path dir_;
    fs::path tool_ = kTool;
};

inline const Bytes kOld(9, 'x'); // a file that stood under an output's name

// The PNG the tool must write of these pixels, with each effort.
inline Bytes Png(PngImage image, int width, int height, const std::vector<RgbaPixel>& pixels,
                 PngEffort effort = PngEffort::kDefault)
{
    ByteBuffer png;
    EXPECT_TRUE(MakePNG(image, width, height, pixels.data(), effort, &png));
    const Bytes bytes(png.bytes, png.bytes + png.size);
    FreeBuffer(&png);
    return bytes;
}

// The smallest PNG of the painted texture, which is smaller than its default one.
inline Bytes SmallestPaintedPng()
{
    const auto* p = reinterpret_cast<const RgbaPixel*>(kPaintedPixels.data());
    const Bytes smallest = Png(PngImage::kColour, 64, 64, {p, p + 64 * 64}, PngEffort::kSmallest);
    EXPECT_LT(smallest.size(), Png(PngImage::kColour, 64, 64, {p, p + 64 * 64}).size());
    return smallest;
}


#ifndef _WIN32
// Starts the shell command `command` in place of the shell, with standard
// output on /dev/null and `ignored` ignored.
inline pid_t Start(const std::string& command, int ignored = 0)
{
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_WRONLY), 1); // the parent's buffered output is not written twice
        std::signal(ignored, SIG_IGN);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

// The process, `pid` or a child of it (a tracer's), that is writing a file
// in the current folder: one it opened for writing only, with bytes
// written; 0 while there is none.
inline pid_t Writer(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code gone, unread; // the process may end meanwhile
    for (fs::directory_iterator fd(proc + "/fd", gone), end; !gone && fd != end; fd.increment(gone)) {
        std::ifstream info(proc + "/fdinfo/" + fd->path().filename().string());
        long long pos = 0;
        int flags = 0;
        std::string field;
        info >> field >> pos >> field >> std::oct >> flags;
        const std::string file = fs::read_symlink(fd->path(), unread).string();
        if (file.starts_with(fs::current_path().string()) && (flags & O_ACCMODE) == O_WRONLY && pos > 0) {
            return pid;
        }
    }
    std::ifstream children(proc + "/task/" + std::to_string(pid) + "/children");
    pid_t writer = 0;
    for (pid_t child = 0; writer == 0 && children >> child;) {
        writer = Writer(child);
    }
    return writer;
}

// Runs as root and as another user, in a folder of its own under the
// system's temporary one with a copy of the tool, so that the other user
// reaches both wherever the build lies.
class AsRootAndAnother : public Cli {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || std::system("{ setpriv --version && getfacl --version && setfattr --version; } > /dev/null 2>&1") != 0) {
            GTEST_SKIP() << "needs root, setpriv, acl and attr";
        }
        top_ = fs::temp_directory_path() / ("kestrune-owners-" + std::to_string(getpid()));
        dir_ = top_ / "work";
        tool_ = top_ / "kestrune";
        fs::create_directories(dir_);
        fs::copy_file(kTool, tool_);
        fs::permissions(top_, fs::perms(0755)); // whatever the umask
        fs::permissions(dir_, fs::perms(0777));
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        Cli::TearDown();
        std::error_code skipped; // no folder when the test was skipped
        fs::remove_all(top_, skipped);
    }
    fs::path top_;
};
#endif
