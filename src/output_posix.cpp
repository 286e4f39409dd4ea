// The output primitives on POSIX systems: Linux, and the browser build's
// in-memory file system, which lacks what the Linux-only parts use. Once a
// name is found, every step works from the directory descriptor it was
// found in, so that no later change to the path can redirect it.
#include "output_system.h"
#include "system.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#endif

namespace {

// The temporary files being written under a name, one slot for each
// thread, for an interrupt to remove: process-wide, as a handler can reach
// nothing else. A slot's name is set before its directory and both are
// cleared with interrupts held off, so that nothing removes a name the
// output already stands under. Where the system makes files without a
// name, there are none.
struct Pending {
    std::atomic<int> directory{-1};
    char name[64];
};
Pending g_pending[kPendingSlots];

Pending* MySlot()
{
    return &g_pending[ThreadSlot()];
}

// Held sections, on all threads: a rewrite in place, the naming of a new
// file. Once an interrupt closes the run, none starts, and the run ends
// only when none is left. The signal mask from before a thread's hold is
// restored when it is released.
std::atomic<int> g_held{0};
std::atomic<bool> g_closing{false};
thread_local sigset_t t_held_from;

// Every signal whose default action ends the process and that comes from
// outside it; a fault (SIGSEGV and the like) is the program's own. SIGXFSZ
// is ignored instead.
void EndingSignals(sigset_t* set)
{
    sigemptyset(set);
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGXCPU, SIGVTALRM,
                          SIGPROF, SIGIO, SIGPWR}) {
        sigaddset(set, sig);
    }
#ifdef __linux__
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        sigaddset(set, sig);
    }
#endif
}

void RemoveTemporaries()
{
    for (Pending& pending : g_pending) {
        const int directory = pending.directory.load();
        if (directory >= 0) {
            unlinkat(directory, pending.name, 0);
        }
    }
}

// Installed to run once: the signal, raised again, takes its default action
// as soon as the handler returns, and the run ends as it would have. A
// single run holds interrupts off in the one thread they reach, so that no
// held section is ever in flight here.
extern "C" void RemoveTemporaryAndStop(int sig)
{
    RemoveTemporaries();
    raise(sig);
}

// The interrupt thread of a run of many: it takes the first ending signal,
// lets every held section in flight end, keeps any more from starting,
// removes the temporary files, and raises the signal again where it now
// takes its default action.
void EndRunOn(const sigset_t* ending)
{
    int sig = 0;
    while (sigwait(ending, &sig) != 0) {
    }
    g_closing = true;
    while (g_held > 0) {
        sched_yield();
    }
    RemoveTemporaries();
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

// Only where a temporary name is about to exist: a file without a name
// needs no handler. A signal the caller ignored, or one already handled
// here, is left as it is.
void InstallInterruptHandlers()
{
    sigset_t ending;
    EndingSignals(&ending);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action = {};
        if (sigismember(&ending, sig) == 1 && sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN &&
            action.sa_handler != RemoveTemporaryAndStop) {
            action.sa_handler = RemoveTemporaryAndStop;
            action.sa_flags = SA_RESETHAND;
            action.sa_mask = ending;
            sigaction(sig, &action, nullptr);
        }
    }
}

// A standard stream the run was started without gets a descriptor that
// cannot be written, so that writes to it still fail and no output file
// can take its number, where a message meant for the console would land.
void OccupyStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            open("/dev/null", O_RDONLY);
        }
    }
}

void Pend(int directory, const std::string& name)
{
    Pending* pending = MySlot();
    std::strncpy(pending->name, name.c_str(), sizeof pending->name - 1);
    pending->directory = directory;
}

void Unpend(std::string* temporary)
{
    MySlot()->directory = -1;
    temporary->clear();
}

// Keeps errno across a clean-up after a failure.
void CloseKeepingError(int fd)
{
    const int error = errno;
    close(fd);
    errno = error;
}

// As many links as the system follows in one lookup.
constexpr int kMostLinks = 40;

int OpenDirectory(int at, const char* name, bool follow)
{
    return openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

// Where a lookup of `path` starts: the root for an absolute path, else the
// current directory.
int StartOf(const std::string& path)
{
    return OpenDirectory(AT_FDCWD, path[0] == '/' ? "/" : ".", true);
}

// Whether a file of `owner`'s in `directory` may have been put there by
// another user: the directory is sticky, others may write it through the
// `writable` bits of its mode, and the file is neither the caller's nor the
// directory owner's. The system's own rules for shared directories (on
// Linux, fs.protected_symlinks, _regular and _fifos) refuse such a file
// there; they hold here whatever the system's setting. A directory that
// cannot be examined counts as shared.
bool PlantedByAnother(int directory, uid_t owner, mode_t writable)
{
    struct stat status;
    if (fstatat(directory, ".", &status, 0) != 0) {
        return true;
    }
    const bool shared = (status.st_mode & S_ISVTX) != 0 && (status.st_mode & writable) != 0;
    return shared && owner != geteuid() && owner != status.st_uid;
}

// A link is followed unless it stands in a sticky directory that anyone
// may write and could have been planted there.
bool MayFollow(int directory, const struct stat& link)
{
    return !PlantedByAnother(directory, link.st_uid, S_IWOTH);
}

// `fd`, or -1 with the descriptor closed where it holds what the output
// must not be written to: a link (put under the name since it was looked
// up; opened without following, as O_NOFOLLOW refuses it), or a regular
// file or a FIFO that another user may have put in a sticky directory that
// its group or anyone may write.
int Allowed(int directory, int fd)
{
    struct stat status;
    if (fd < 0) {
        return -1;
    }
    const bool known = fstat(fd, &status) == 0;
    if (known && S_ISLNK(status.st_mode)) {
        errno = ELOOP;
    } else if (known && (S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode)) &&
               PlantedByAnother(directory, status.st_uid, S_IWGRP | S_IWOTH)) {
        errno = EACCES;
    } else if (known) {
        return fd;
    }
    CloseKeepingError(fd);
    return -1;
}

// The links of /proc are the kernel's own: what they read as is no path
// (a pipe, a deleted file), and only the kernel can follow them.
bool IsKernelLink(int directory)
{
#ifdef __linux__
    constexpr long kProcMagic = 0x9fa0;
    struct statfs status;
    return fstatfs(directory, &status) == 0 && status.f_type == kProcMagic;
#else
    (void)directory;
    return false;
#endif
}

bool IsMountRoot(int fd)
{
#if defined(__linux__) && defined(STATX_ATTR_MOUNT_ROOT)
    struct statx status;
    return statx(fd, "", AT_EMPTY_PATH, 0, &status) == 0 &&
           (status.stx_attributes_mask & status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#else
    (void)fd;
    return false;
#endif
}

// The regular file `name` in `directory` opened for reading, a link
// followed where `follow` is 0 and refused where it is AT_SYMLINK_NOFOLLOW.
// It is looked at before it is opened, so that nothing else is ever opened,
// and again once opened without blocking, in case another file took the
// name between.
int OpenRegular(int directory, const char* name, int follow)
{
    struct stat status;
    if (fstatat(directory, name, &status, follow) != 0) {
        return -1;
    }
    const int fd = S_ISREG(status.st_mode) ? openat(directory, name,
                                                    O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow != 0 ? O_NOFOLLOW : 0))
                                           : -1;
    if (fd < 0 || (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && fcntl(fd, F_SETFL, 0) == 0)) {
        return fd;
    }
    close(fd);
    return -1;
}

// Tries `attempt` under temporary names until one is free: the process id
// keeps runs apart, and a name that a killed run left behind is passed over.
template <typename Attempt>
bool UnderFreeName(std::string* temporary, Attempt attempt)
{
    const std::string stem = ".kestrune-" + std::to_string(getpid()) + "-";
    for (unsigned n = 0;; ++n) {
        *temporary = stem + std::to_string(n) + ".tmp";
        if (attempt(temporary->c_str())) {
            return true;
        }
        if (errno != EEXIST) {
            temporary->clear();
            return false;
        }
    }
}

// Gives a file made without a name the name `name`, which must be free.
bool LinkUnnamed(int fd, int directory, const char* name)
{
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, path.c_str(), directory, name, AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    // Without /proc, the file itself can be named; that takes privilege.
    return errno == ENOENT && linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0;
}

int CreateNamed(const Place& place, std::string* temporary)
{
    InstallInterruptHandlers();
    int fd = -1;
    UnderFreeName(temporary, [&](const char* name) {
        HoldInterrupts();
        fd = openat(place.directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        const int error = errno;
        if (fd >= 0) {
            Pend(place.directory, name);
        }
        ReleaseInterrupts();
        errno = error;
        return fd >= 0;
    });
    return fd;
}

#ifdef __linux__
// The names of a file's extended attributes, each ended by a zero byte.
bool AttributeNames(int fd, std::string* names)
{
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) {
        return errno == ENOTSUP; // a file system without them: there are none
    }
    names->resize(static_cast<std::size_t>(size));
    const ssize_t got = flistxattr(fd, names->data(), names->size());
    names->resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return got >= 0;
}

// Calls `visit` on each name of a list as AttributeNames gives it, while
// it returns true; false when one returned false.
template <typename Visit>
bool EveryName(const std::string& names, Visit visit)
{
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        if (!visit(names.c_str() + at)) {
            return false;
        }
    }
    return true;
}

bool HasName(const std::string& names, const char* name)
{
    return !EveryName(names, [&](const char* listed) { return std::strcmp(listed, name) != 0; });
}

// Sets the attribute `name` of `from` on `to`.
bool CopyAttribute(int from, int to, const char* name, std::string* value)
{
    const ssize_t size = fgetxattr(from, name, nullptr, 0);
    if (size < 0) {
        return false;
    }
    value->resize(static_cast<std::size_t>(size));
    const ssize_t got = fgetxattr(from, name, value->data(), value->size());
    return got >= 0 && fsetxattr(to, name, value->data(), static_cast<std::size_t>(got), 0) == 0;
}

// The new file's own attributes (an access list inherited from the
// directory's default one, say) go where the old file had none; then every
// one of the old file's is set.
bool CopyExtendedAttributes(int from, int to)
{
    std::string old_names, new_names, value;
    return AttributeNames(from, &old_names) && AttributeNames(to, &new_names) &&
           EveryName(new_names, [&](const char* name) { return HasName(old_names, name) || fremovexattr(to, name) == 0; }) &&
           EveryName(old_names, [&](const char* name) { return CopyAttribute(from, to, name, &value); });
}

// The inode flags that chattr sets on a file and that a new file does not
// take of itself. A file that is immutable or only appended to cannot be
// opened for writing, so those two are never met.
constexpr int kFileFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL |
                           FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL | FS_DAX_FL;

bool CopyInodeFlags(int from, int to)
{
    int old = 0, fresh = 0;
    if (ioctl(from, FS_IOC_GETFLAGS, &old) != 0) {
        return true; // a file system without them
    }
    if (ioctl(to, FS_IOC_GETFLAGS, &fresh) != 0) {
        return false;
    }
    const int wanted = (fresh & ~kFileFlags) | (old & kFileFlags);
    return wanted == fresh || ioctl(to, FS_IOC_SETFLAGS, &wanted) == 0;
}
#else
bool CopyExtendedAttributes(int, int)
{
    return true;
}

bool CopyInodeFlags(int, int)
{
    return true;
}
#endif

} // namespace

Failure LastFailure()
{
    switch (errno) {
    case ENOENT:
        return Failure::kAbsent;
    case EACCES:
    case EPERM:
    case EROFS:
        return Failure::kRefused;
    case ENOSPC:
    case EDQUOT:
        return Failure::kNoRoom;
    case EOPNOTSUPP:
    case ENOSYS:
        return Failure::kUnsupported;
    default:
        return Failure::kOther;
    }
}

void GuardOutputs()
{
    OccupyStandardStreams();
    // Past the file-size limit a write fails with EFBIG, and the output is
    // abandoned, rather than the run ending.
    signal(SIGXFSZ, SIG_IGN);
}

void HoldInterrupts()
{
    sigset_t ending;
    EndingSignals(&ending);
    pthread_sigmask(SIG_BLOCK, &ending, &t_held_from);
    ++g_held;
    if (g_closing) { // the run is ending: this thread waits for it
        --g_held;
        for (;;) {
            pause();
        }
    }
}

void ReleaseInterrupts()
{
    --g_held;
    pthread_sigmask(SIG_SETMASK, &t_held_from, nullptr);
}

void TakeInterruptsOnOneThread()
{
    static sigset_t ending;
    EndingSignals(&ending);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action = {};
        if (sigismember(&ending, sig) == 1 && sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            sigdelset(&ending, sig); // ignored by the caller, and so it stays
        }
    }
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    std::thread(EndRunOn, &ending).detach();
}

const bool kWindows = false;

ConsoleFacts ReadConsoleFacts()
{
    return ConsoleFacts{};
}

bool ErrorIsTerminal()
{
    return isatty(2) == 1;
}

bool IdentifyFolder(const std::string& name, FolderIdentity* identity)
{
    struct stat status;
    if (stat(name.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    *identity = FolderIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    return true;
}

namespace {

// The folder `name` opened to list, and its descriptor; nullptr, with
// nothing held, where it cannot be.
DIR* OpenToList(const std::string& name, int* fd)
{
    *fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = *fd < 0 ? nullptr : fdopendir(*fd);
    if (folder == nullptr && *fd >= 0) {
        close(*fd);
    }
    return folder;
}

// `name` with its ASCII letters in the other case; empty where it has none.
std::string OtherCase(std::string name)
{
    bool changed = false;
    for (char& c : name) {
        const bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z';
        c = lower ? static_cast<char>(c - 'a' + 'A') : upper ? static_cast<char>(c - 'A' + 'a') : c;
        changed = changed || lower || upper;
    }
    return changed ? name : "";
}

// Whether `name` in `directory` and the same name in the other case are
// one file.
bool OneFileInEitherCase(int directory, const std::string& name, const struct stat& file)
{
    const std::string other = OtherCase(name);
    struct stat status;
    return !other.empty() && fstatat(directory, other.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           status.st_dev == file.st_dev && status.st_ino == file.st_ino;
}

} // namespace

// Asked of the folder's first entry with a letter in its name, else of the
// folder's own name in its parent, which a case-insensitive volume holds
// unless the folder is its root.
bool FoldsCase(const std::string& name)
{
    int fd = -1;
    DIR* folder = OpenToList(name, &fd);
    if (folder == nullptr) {
        return false;
    }
    struct stat status;
    while (const dirent* entry = readdir(folder)) {
        if (!OtherCase(entry->d_name).empty() && fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            const bool folds = OneFileInEitherCase(fd, entry->d_name, status);
            closedir(folder);
            return folds;
        }
    }
    char* real = fstat(fd, &status) == 0 ? realpath(name.c_str(), nullptr) : nullptr;
    const std::string path = real == nullptr ? "" : real;
    std::free(real);
    const int parent = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const bool folds = parent >= 0 && OneFileInEitherCase(parent, path.substr(path.rfind('/') + 1), status);
    if (parent >= 0) {
        close(parent);
    }
    closedir(folder);
    return folds;
}

namespace {

// The characters of a name as the C library's UTF-8 locale reads them, in
// upper case; a byte that is no character stands for itself, past them.
std::vector<std::uint32_t> Folded(const std::string& name)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::vector<std::uint32_t> folded;
    const locale_t before = utf8 == nullptr ? nullptr : uselocale(utf8);
    std::mbstate_t state{};
    for (std::size_t at = 0; at < name.size();) {
        wchar_t c = 0;
        const std::size_t length = utf8 == nullptr ? std::size_t(-1) : std::mbrtowc(&c, name.c_str() + at, name.size() - at, &state);
        if (length == 0 || length > name.size() - at) {
            const unsigned char byte = static_cast<unsigned char>(name[at++]);
            folded.push_back(byte >= 'a' && byte <= 'z' ? byte - 'a' + 'A' : byte < 0x80 ? byte : 0x110000u + byte);
            state = std::mbstate_t{};
            continue;
        }
        folded.push_back(static_cast<std::uint32_t>(std::towupper(static_cast<wint_t>(c))));
        at += length;
    }
    if (before != nullptr) {
        uselocale(before);
    }
    return folded;
}

} // namespace

int CompareFolded(const std::string& a, const std::string& b)
{
    const std::vector<std::uint32_t> x = Folded(a), y = Folded(b);
    return x < y ? -1 : y < x ? 1 : 0;
}

// The signal goes to the process, where the interrupt thread takes it
// and ends the run; this thread, with it held off, waits for that.
void EndOnBrokenPipe()
{
    struct sigaction action = {};
    if (errno != EPIPE || sigaction(SIGPIPE, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) {
        return;
    }
    kill(getpid(), SIGPIPE);
    for (;;) {
        pause();
    }
}

bool InputSize(std::FILE* file, std::uint64_t* size)
{
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool IsFolder(const std::string& name)
{
    struct stat status;
    return stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool ListFolder(const std::string& name, std::vector<FolderEntry>* entries)
{
    entries->clear();
    int fd = -1;
    DIR* folder = OpenToList(name, &fd);
    if (folder == nullptr) {
        return false;
    }
    while (const dirent* entry = readdir(folder)) {
        const std::string child = entry->d_name;
        if (child == "." || child == "..") {
            continue;
        }
        struct stat status;
        const bool link = entry->d_type == DT_LNK || (entry->d_type == DT_UNKNOWN &&
                                                      fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                                                      S_ISLNK(status.st_mode));
        const bool folder_here = entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && !link &&
                                                              fstatat(fd, entry->d_name, &status, 0) == 0 && S_ISDIR(status.st_mode));
        const bool to_folder = link && fstatat(fd, entry->d_name, &status, 0) == 0 && S_ISDIR(status.st_mode);
        entries->push_back(FolderEntry{child, folder_here, to_folder});
    }
    closedir(folder);
    std::sort(entries->begin(), entries->end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return true;
}

// One component at a time from directory descriptors, as the kernel looks
// a name up, but with its links read here, so that the file found is the
// one the name leads to now and the directory it stands in is held.
Found FindPlace(const OutputFolder* folder, const char* name, Lookup lookup, Place* place, int* opened)
{
    std::string rest = name;
    const bool below = folder != nullptr && rest[0] != '/';
    bool make_folders = below || lookup == Lookup::kFolder;
    int directory = below ? fcntl(folder->directory, F_DUPFD_CLOEXEC, 3) : StartOf(rest);
    for (int links = 0; directory >= 0;) {
        const std::size_t start = rest.find_first_not_of('/');
        const std::size_t slash = rest.find('/', start);
        const bool last = slash == std::string::npos;
        const std::string part = start == std::string::npos ? "" : rest.substr(start, slash - start);
        rest = last ? "" : rest.substr(slash); // its slashes go at the next part
        if (part.empty()) {
            break; // the name of a directory
        }
        if (!last) {
            int next = OpenDirectory(directory, part.c_str(), false);
            // Another thread of a batch may make the same folder first.
            if (next < 0 && errno == ENOENT && make_folders && (mkdirat(directory, part.c_str(), 0777) == 0 || errno == EEXIST)) {
                next = OpenDirectory(directory, part.c_str(), false);
            }
            if (next >= 0) {
                close(directory);
                directory = next;
                continue;
            }
        }
        struct stat status;
        const bool exists = fstatat(directory, part.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && !(last && errno == ENOENT)) {
            break;
        }
        if (!exists || !S_ISLNK(status.st_mode)) {
            if (!last) {
                break; // a file where a directory should be
            }
            *place = Place{directory, part};
            return Found::kPlace;
        }
        if (++links > kMostLinks) {
            break;
        }
        make_folders = lookup == Lookup::kFolder; // below a folder, nothing is made where a link leads
        if (IsKernelLink(directory)) {
            const int next = !last                   ? OpenDirectory(directory, part.c_str(), true)
                             : lookup == Lookup::kRead ? OpenRegular(directory, part.c_str(), 0)
                                                       : openat(directory, part.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            close(directory);
            if (last) {
                *opened = next;
                return next >= 0 ? Found::kOpened : Found::kRefused;
            }
            directory = next;
            continue;
        }
        if (!MayFollow(directory, status)) {
            break;
        }
        char text[PATH_MAX];
        const ssize_t length = readlinkat(directory, part.c_str(), text, sizeof text);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof text) {
            break;
        }
        rest = std::string(text, static_cast<std::size_t>(length)) + (last ? "" : "/" + rest);
        if (text[0] == '/') {
            close(directory);
            directory = StartOf(rest);
        }
    }
    if (directory >= 0) {
        close(directory);
    }
    return Found::kRefused;
}

bool OpenFolderAt(const Place& place, OutputFolder* folder)
{
    if (mkdirat(place.directory, place.name.c_str(), 0777) != 0 && errno != EEXIST) {
        return false;
    }
    folder->directory = OpenDirectory(place.directory, place.name.c_str(), false);
    return folder->directory >= 0;
}

void CloseFolder(OutputFolder* folder)
{
    if (folder->directory >= 0) {
        close(folder->directory);
        folder->directory = -1;
    }
}

int OpenToRead(const Place& place)
{
    return OpenRegular(place.directory, place.name.c_str(), AT_SYMLINK_NOFOLLOW);
}

std::FILE* ReadStreamOf(int fd)
{
    return fdopen(fd, "rb");
}

bool IsSeparator(char c)
{
    return c == '/';
}

const char kSeparator = '/';

void ReleasePlace(Place* place)
{
    if (place->directory >= 0) {
        close(place->directory);
        place->directory = -1;
    }
}

bool FactsOf(int fd, FileFacts* facts)
{
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return false;
    }
    *facts = FileFacts{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                       static_cast<std::uint64_t>(status.st_nlink), S_ISREG(status.st_mode), IsMountRoot(fd),
                       static_cast<std::uint64_t>(status.st_size)};
    return true;
}

// The file is judged before it is opened: held without being opened, it
// is then opened through the kernel's link to that very file, so that
// nothing put under the name meanwhile, such as a FIFO that would never
// open, is ever opened. Without /proc it is opened by its name once more,
// and judged again as opened.
int OpenExisting(const Place& place, FileFacts* facts)
{
    constexpr int kWrite = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    const int object = Allowed(place.directory, openat(place.directory, place.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (object < 0) {
        return -1;
    }
    int fd = open(("/proc/self/fd/" + std::to_string(object)).c_str(), kWrite);
    if (fd < 0 && errno == ENOENT) {
        fd = Allowed(place.directory, openat(place.directory, place.name.c_str(), kWrite | O_NOFOLLOW));
    }
    CloseKeepingError(object);
    if (fd >= 0 && !FactsOf(fd, facts)) {
        CloseKeepingError(fd);
        return -1;
    }
    return fd;
}

// A file with no name, which no interrupt can leave behind; where the file
// system cannot make one (or, on an old kernel, the flag is not known),
// one under a temporary name.
int CreateNewFile(const Place& place, std::string* temporary)
{
    const int fd = openat(place.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR)) {
        return fd;
    }
    if (KeepsNames(place)) {
        errno = EPERM; // a temporary name there would stay
        return -1;
    }
    return CreateNamed(place, temporary);
}

// The owner first: changing it clears the set-id bits, which the mode then
// restores.
bool CopyAttributes(int from, int to)
{
    struct stat old;
    return fstat(from, &old) == 0 && fchown(to, old.st_uid, old.st_gid) == 0 && fchmod(to, old.st_mode & 07777) == 0 &&
           CopyExtendedAttributes(from, to) && CopyInodeFlags(from, to);
}

bool WithinSizeLimit(std::uint64_t size)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || size <= limit.rlim_cur) {
        return true;
    }
    errno = EFBIG;
    return false;
}

// The flags can only be read through a descriptor open for reading; a
// directory that cannot be so opened, or a file system without the flags,
// keeps no name against the rules.
bool KeepsNames(const Place& place)
{
#ifdef __linux__
    const int directory = openat(place.directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    const bool read = directory >= 0 && ioctl(directory, FS_IOC_GETFLAGS, &flags) == 0;
    if (directory >= 0) {
        close(directory);
    }
    return read && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
#else
    (void)place;
    return false;
#endif
}

// On Linux, fallocate itself: where the file system cannot reserve space,
// posix_fallocate would write into every block instead of saying so.
bool ReserveSize(int fd, std::uint64_t size)
{
#ifdef __linux__
    return fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0;
#else
    errno = posix_fallocate(fd, 0, static_cast<off_t>(size));
    return errno == 0;
#endif
}

bool CutTo(int fd, std::uint64_t size)
{
    return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool StillStands(const Place& place, const FileFacts* facts)
{
    struct stat status;
    if (fstatat(place.directory, place.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return facts == nullptr && errno == ENOENT;
    }
    return facts != nullptr && static_cast<std::uint64_t>(status.st_dev) == facts->device &&
           static_cast<std::uint64_t>(status.st_ino) == facts->inode;
}

// A new file with no name is linked under the name itself, which fails if
// anything stands there; to replace a file it is linked under a temporary
// name first and renamed over it, as is a file made under one.
bool GiveName(const Place& place, int fd, std::string* temporary, bool replace)
{
    bool named;
    if (temporary->empty() && !replace) {
        named = LinkUnnamed(fd, place.directory, place.name.c_str());
    } else {
        named = (!temporary->empty() ||
                 UnderFreeName(temporary, [&](const char* name) { return LinkUnnamed(fd, place.directory, name); })) &&
                renameat(place.directory, temporary->c_str(), place.directory, place.name.c_str()) == 0;
        if (!named && !temporary->empty()) {
            unlinkat(place.directory, temporary->c_str(), 0);
        }
        Unpend(temporary);
    }
    close(fd);
    return named;
}

void DropNewFile(const Place& place, int fd, std::string* temporary)
{
    if (!temporary->empty()) {
        unlinkat(place.directory, temporary->c_str(), 0);
        Unpend(temporary);
    }
    CloseKeepingError(fd);
}

int Duplicate(int fd)
{
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

std::FILE* StreamOf(int fd)
{
    return fdopen(fd, "wb");
}

void Close(int fd)
{
    close(fd);
}
