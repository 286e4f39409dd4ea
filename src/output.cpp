#include "output.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// The temporary file being written, for the interrupt handler to remove.
// It is the one piece of process-wide state: a signal handler, or on
// Windows the console's control handler, can reach nothing else. It is set
// once the file exists and cleared when the file is renamed or removed,
// both with interrupts held off, so that the handler never removes a name
// that the output already stands under.
std::atomic<const char*> g_pending_temporary{nullptr};

#ifdef _WIN32

using FileStatus = struct _stat64;

// The control handler runs on a thread of its own, so interrupts are held
// off with a lock. The handler keeps it: after an interrupt, no temporary
// file takes a name.
SRWLOCK g_gate = SRWLOCK_INIT;

using Held = int;

void HoldInterrupts(Held*)
{
    AcquireSRWLockExclusive(&g_gate);
}

void ReleaseInterrupts(const Held*)
{
    ReleaseSRWLockExclusive(&g_gate);
}

// Ctrl-C, Ctrl-Break, a closed console, a log-off or a shutdown. The file
// may still be open, which is why it shares deletion: it goes when the
// process ends, here, without the runtime's clean-up, as the main thread
// may hold its locks.
BOOL WINAPI RemoveTemporaryAndStop(DWORD)
{
    AcquireSRWLockExclusive(&g_gate);
    if (const char* name = g_pending_temporary.load()) {
        DeleteFileA(name);
    }
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void InstallInterruptHandler()
{
    SetConsoleCtrlHandler(RemoveTemporaryAndStop, TRUE);
}

int StatusOf(const char* name, FileStatus* status)
{
    return _stat64(name, status);
}

int StatusOf(int fd, FileStatus* status)
{
    return _fstat64(fd, status);
}

// A new file that shares deletion, so that the control handler can remove
// it while it is open.
int CreateExclusive(const std::string& name)
{
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
    }
    return fd;
}

// The read-only attribute refuses a write, whoever asks; asked first, it
// does so under every emulation of the system too.
int OpenExisting(const std::string& name)
{
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return -1;
    }
    return _open(name.c_str(), _O_WRONLY | _O_BINARY);
}

void Close(int fd)
{
    _close(fd);
}

std::FILE* StreamOf(int fd)
{
    return _fdopen(fd, "wb");
}

int DescriptorOf(std::FILE* stream)
{
    return _fileno(stream);
}

// Windows keeps no owner or mode that a write in place would keep and a
// new file would not; the read-only attribute has already refused the
// write when the old file was opened.
bool TakeAttributes(int, const FileStatus&)
{
    return true;
}

bool HasOtherLinks(const FileStatus&)
{
    return false;
}

bool SetLength(int fd, std::uint64_t size)
{
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    LARGE_INTEGER end, start;
    end.QuadPart = static_cast<LONGLONG>(size);
    start.QuadPart = 0;
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
           SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
}

// Extending the file reserves the space; no old byte changes.
bool ReserveSize(int fd, std::uint64_t size)
{
    return static_cast<std::uint64_t>(_filelengthi64(fd)) >= size || SetLength(fd, size);
}

bool CutTo(int fd, std::uint64_t size)
{
    return SetLength(fd, size);
}

bool Rename(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string DirectoryOf(const std::string& path)
{
    return path.substr(0, path.find_last_of("/\\:") + 1);
}

std::string FollowLinks(const char* name)
{
    return name;
}

// A regular file that is not a link. The name of a link (a reparse point)
// is not followed here, so it counts as no regular file and is written
// through in place: the link stays, as a write in place leaves it.
bool IsRegular(const char* name, const FileStatus& status)
{
    const DWORD attributes = GetFileAttributesA(name);
    return (status.st_mode & _S_IFMT) == _S_IFREG &&
           (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
}

int ProcessId()
{
    return _getpid();
}

#else

using FileStatus = struct stat;

using Held = sigset_t;

void HoldInterrupts(Held* held)
{
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&interrupts, sig);
    }
    sigprocmask(SIG_BLOCK, &interrupts, held);
}

void ReleaseInterrupts(const Held* held)
{
    sigprocmask(SIG_SETMASK, held, nullptr);
}

// Installed to run once: the signal, raised again, takes its default action
// as soon as the handler returns, and the run ends as it would have.
extern "C" void RemoveTemporaryAndStop(int sig)
{
    if (const char* name = g_pending_temporary.load()) {
        unlink(name);
    }
    raise(sig);
}

void InstallInterruptHandler()
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        sigaction(sig, nullptr, &action);
        if (action.sa_handler != SIG_IGN) {
            action.sa_handler = RemoveTemporaryAndStop;
            action.sa_flags = SA_RESETHAND;
            sigemptyset(&action.sa_mask);
            sigaction(sig, &action, nullptr);
        }
    }
    // Past the limit a write fails with EFBIG, and the output is abandoned.
    signal(SIGXFSZ, SIG_IGN);
}

// The name itself, not what it leads to: a link still left after following
// as many as the system does is not a file that can be written.
int StatusOf(const char* name, FileStatus* status)
{
    return lstat(name, status);
}

int StatusOf(int fd, FileStatus* status)
{
    return fstat(fd, status);
}

int CreateExclusive(const std::string& name)
{
    return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

int OpenExisting(const std::string& name)
{
    return open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
}

void Close(int fd)
{
    close(fd);
}

std::FILE* StreamOf(int fd)
{
    return fdopen(fd, "wb");
}

int DescriptorOf(std::FILE* stream)
{
    return fileno(stream);
}

// The owner first: changing it clears the set-id bits, which the mode then
// restores.
bool TakeAttributes(int fd, const FileStatus& old)
{
    return fchown(fd, old.st_uid, old.st_gid) == 0 && fchmod(fd, old.st_mode & 07777) == 0;
}

bool HasOtherLinks(const FileStatus& old)
{
    return old.st_nlink > 1;
}

// Allocates the blocks and sets the size, which is where a full disk or the
// file-size limit refuses.
bool ReserveSize(int fd, std::uint64_t size)
{
    return posix_fallocate(fd, 0, static_cast<off_t>(size)) == 0;
}

bool CutTo(int fd, std::uint64_t size)
{
    return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool Rename(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

// The directory part of a name with its final separator; empty for a bare name.
std::string DirectoryOf(const std::string& path)
{
    return path.substr(0, path.rfind('/') + 1);
}

// The file a name leads to: a link's content takes the name's place, read
// from the link's own directory when it is relative. As many links are
// followed as the system itself follows; past that, the name cannot be opened.
std::string FollowLinks(const char* name)
{
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        char link[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof link) {
            break;
        }
        const std::string to(link, static_cast<std::size_t>(length));
        path = to[0] == '/' ? to : DirectoryOf(path) + to;
    }
    return path;
}

int ProcessId()
{
    return static_cast<int>(getpid());
}

// The status is the name's own, every link before it followed.
bool IsRegular(const char*, const FileStatus& status)
{
    return S_ISREG(status.st_mode);
}

#endif

// The BMP writer hands over whole 64 KiB blocks; through the stream's own
// smaller buffer each would cost two system calls instead of one.
std::FILE* Unbuffered(std::FILE* stream)
{
    if (stream != nullptr) {
        std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    return stream;
}

// A stream over `fd`, which then owns it; false when none could be made.
bool Attach(Output* out, int fd)
{
    out->stream = Unbuffered(StreamOf(fd));
    return out->stream != nullptr;
}

// Creates the temporary file beside the target under a name no file has:
// the process id keeps runs apart, and a name that a killed run left
// behind is passed over.
int CreateTemporary(Output* out)
{
    const std::string stem = DirectoryOf(out->target) + ".kestrune-" + std::to_string(ProcessId()) + "-";
    for (unsigned n = 0;; ++n) {
        out->temporary = stem + std::to_string(n) + ".tmp";
        Held held;
        HoldInterrupts(&held);
        const int fd = CreateExclusive(out->temporary);
        if (fd >= 0) {
            g_pending_temporary = out->temporary.c_str();
        }
        ReleaseInterrupts(&held);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
}

// Gives the temporary file the target's name when `keep` is set, else or
// when that fails removes it; true when it was renamed.
bool SettleTemporary(Output* out, bool keep)
{
    Held held;
    HoldInterrupts(&held);
    const bool renamed = keep && Rename(out->temporary, out->target);
    if (!renamed) {
        std::remove(out->temporary.c_str());
    }
    g_pending_temporary = nullptr;
    ReleaseInterrupts(&held);
    out->temporary.clear();
    return renamed;
}

// A new file to take the target's place, with the old file's attributes
// when there is one. False leaves no file behind.
bool OpenReplacement(Output* out, const FileStatus* old)
{
    const int fd = CreateTemporary(out);
    if (fd < 0) {
        out->temporary.clear();
        return false;
    }
#ifdef __EMSCRIPTEN__
    // The browser build's in-memory file system grows a file by copying all
    // of it; with the size reserved at once the BMP goes in without copies.
    posix_fallocate(fd, 0, static_cast<off_t>(out->size));
#endif
    if ((old == nullptr || TakeAttributes(fd, *old)) && Attach(out, fd)) {
        return true;
    }
    Close(fd);
    SettleTemporary(out, false);
    return false;
}

// An existing regular file. Opening it for writing is the check a write in
// place makes; it is replaced where a new file can stand for it exactly,
// else rewritten through the same descriptor.
bool OpenExistingFile(Output* out)
{
    const int fd = OpenExisting(out->target);
    if (fd < 0) {
        return false;
    }
    FileStatus old;
    if (StatusOf(fd, &old) != 0) {
        Close(fd);
        return false;
    }
    if (!HasOtherLinks(old) && OpenReplacement(out, &old)) {
        Close(fd); // before the rename, which Windows refuses over an open file
        return true;
    }
    if (!ReserveSize(fd, out->size)) {
        Close(fd);
        return false;
    }
    out->rewrite = true;
    if (!Attach(out, fd)) {
        Close(fd);
        return false;
    }
    return true;
}

} // namespace

void GuardOutputs()
{
    InstallInterruptHandler();
}

bool OpenOutput(Output* out, const char* name, std::uint64_t size)
{
    out->stream = nullptr;
    out->target = FollowLinks(name);
    out->temporary.clear();
    out->size = size;
    out->rewrite = false;
    FileStatus status;
    if (StatusOf(out->target.c_str(), &status) != 0) {
        return errno == ENOENT && OpenReplacement(out, nullptr);
    }
    if (IsRegular(out->target.c_str(), status)) {
        return OpenExistingFile(out);
    }
    // A device, a pipe: written in place, as the user pointed the name there.
    // A name that is still a link after as many as the system follows is
    // opened too, for the system to refuse.
    out->stream = Unbuffered(std::fopen(name, "wb"));
    return out->stream != nullptr;
}

bool CloseOutput(Output* out)
{
    bool written = std::fflush(out->stream) == 0 && std::ferror(out->stream) == 0;
    if (out->rewrite) {
        written = written && CutTo(DescriptorOf(out->stream), out->size);
    }
    written = std::fclose(out->stream) == 0 && written;
    out->stream = nullptr;
    if (!out->temporary.empty()) {
        written = SettleTemporary(out, written);
    }
    return written;
}
