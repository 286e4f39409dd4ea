// The output primitives on Windows. Names are UTF-8 (the manifest sets the
// process code page) and are turned into wide, absolute "\\?\" names, so
// that no length limit applies but the file system's own. The system
// follows links itself; a name that is a link is written through in place.
// A replacement goes through ReplaceFileW, which gives the new file the old
// one's attributes, security and streams.
#include "output_system.h"
#include "system.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <tlhelp32.h>

namespace {

// The control handler runs on a thread of its own, so interrupts are held
// off with a lock: shared by every thread in a held section, taken whole
// by the handler, which keeps it: after an interrupt, no temporary file
// takes a name and no rewrite in place starts.
SRWLOCK g_gate = SRWLOCK_INIT;

// The temporary files being written, one slot for each thread, for the
// control handler to remove: process-wide, as the handler can reach
// nothing else. A slot's name is set with the lock shared and read with
// it whole; its flag is cleared last.
struct Pending {
    std::atomic<bool> set{false};
    std::wstring name;
};
Pending g_pending[kPendingSlots];

Pending* MySlot()
{
    return &g_pending[ThreadSlot()];
}

// Ctrl-C, Ctrl-Break, a closed console, a log-off or a shutdown. The files
// may still be open, which is why they share deletion: they go when the
// process ends, here, without the runtime's clean-up, as another thread
// may hold its locks.
BOOL WINAPI RemoveTemporaryAndStop(DWORD)
{
    AcquireSRWLockExclusive(&g_gate);
    for (Pending& pending : g_pending) {
        if (pending.set.load()) {
            DeleteFileW(pending.name.c_str());
        }
    }
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

std::wstring Wide(const std::string& text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// The name made absolute, in the form that passes no length limit: "\\?\"
// before a drive, "\\?\UNC\" before a share; a device ("\\.\NUL") as it is.
std::wstring LongName(const std::string& name)
{
    const std::wstring wide = Wide(name);
    std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr), L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) {
        return full;
    }
    return full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

// The temporary name beside a long name, as UTF-8 for the record.
std::string Beside(const std::wstring& target, unsigned n)
{
    const std::wstring wide =
        target.substr(0, target.rfind(L'\\') + 1) + L".kestrune-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
        std::to_wstring(n) + L".tmp";
    std::string text(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                                  nullptr, 0, nullptr, nullptr)),
                     '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), static_cast<int>(text.size()),
                        nullptr, nullptr);
    return text;
}

HANDLE HandleOf(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int DescriptorOf(HANDLE file)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return fd;
}

bool SetLength(int fd, std::uint64_t size)
{
    LARGE_INTEGER end, start;
    end.QuadPart = static_cast<LONGLONG>(size);
    start.QuadPart = 0;
    const HANDLE file = HandleOf(fd);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
           SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
}

void Unpend(std::string* temporary)
{
    MySlot()->set = false;
    temporary->clear();
}

} // namespace

Failure LastFailure()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
        return Failure::kAbsent;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
        return Failure::kRefused;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return Failure::kNoRoom;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return Failure::kUnsupported;
    default:
        return Failure::kOther;
    }
}

void GuardOutputs()
{
    SetConsoleCtrlHandler(RemoveTemporaryAndStop, TRUE);
}

void HoldInterrupts()
{
    AcquireSRWLockShared(&g_gate);
}

void ReleaseInterrupts()
{
    ReleaseSRWLockShared(&g_gate);
}

// The control handler already runs on a thread of its own.
void TakeInterruptsOnOneThread() {}

const bool kWindows = true;

namespace {

// The name of the executable of the process that started this one.
std::wstring ParentName()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return L"";
    }
    std::vector<PROCESSENTRY32W> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        processes.push_back(entry);
    }
    CloseHandle(snapshot);
    DWORD parent = 0;
    for (const PROCESSENTRY32W& process : processes) {
        parent = process.th32ProcessID == GetCurrentProcessId() ? process.th32ParentProcessID : parent;
    }
    for (const PROCESSENTRY32W& process : processes) {
        if (parent != 0 && process.th32ProcessID == parent) {
            return process.szExeFile;
        }
    }
    return L"";
}

bool IsConsole(DWORD which)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

} // namespace

ConsoleFacts ReadConsoleFacts()
{
    DWORD processes[4];
    ConsoleFacts facts;
    facts.parent_is_explorer = _wcsicmp(ParentName().c_str(), L"explorer.exe") == 0;
    facts.console_processes = GetConsoleProcessList(processes, 4);
    facts.input_is_console = IsConsole(STD_INPUT_HANDLE);
    facts.output_is_console = IsConsole(STD_OUTPUT_HANDLE);
    return facts;
}

bool ErrorIsTerminal()
{
    return IsConsole(STD_ERROR_HANDLE);
}

bool IdentifyFolder(const std::string& name, FolderIdentity* identity)
{
    const HANDLE folder = CreateFileW(LongName(name).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(folder, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    CloseHandle(folder);
    if (known) {
        *identity = FolderIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    }
    return known;
}

bool FoldsCase(const std::string&)
{
    return true;
}

// As the system compares names that differ only in case, in all of Unicode.
int CompareFolded(const std::string& a, const std::string& b)
{
    const std::wstring x = Wide(a), y = Wide(b);
    return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) - CSTR_EQUAL;
}

// A pipe without a reader fails the write, and the run with it.
void EndOnBrokenPipe() {}

bool InputSize(std::FILE* file, std::uint64_t* size)
{
    LARGE_INTEGER length;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &length) || length.QuadPart < 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

bool IsFolder(const std::string& name)
{
    const DWORD attributes = GetFileAttributesW(LongName(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ListFolder(const std::string& name, std::vector<FolderEntry>* entries)
{
    entries->clear();
    WIN32_FIND_DATAW found;
    std::wstring pattern = LongName(name); // a long name is taken as it is: one separator before the pattern
    while (!pattern.empty() && pattern.back() == L'\\') {
        pattern.pop_back();
    }
    const HANDLE search = FindFirstFileW((pattern + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        const std::wstring wide = found.cFileName;
        if (wide == L"." || wide == L"..") {
            continue;
        }
        std::string child(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                                       nullptr, 0, nullptr, nullptr)),
                          '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), child.data(), static_cast<int>(child.size()),
                            nullptr, nullptr);
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries->push_back(FolderEntry{child, folder && !link, folder && link});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(entries->begin(), entries->end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return true;
}

// Below a folder, each missing folder on the way is made; for a folder
// itself, each missing one on its whole way.
Found FindPlace(const OutputFolder* folder, const char* name, Lookup lookup, Place* place, int*)
{
    *place = Place{-1, folder == nullptr ? std::string(name) : JoinNames(folder->name, name)};
    if (folder != nullptr || lookup == Lookup::kFolder) {
        const std::string below = name;
        for (std::size_t at = below.find_first_of("/\\"); at != std::string::npos; at = below.find_first_of("/\\", at + 1)) {
            const std::string made = below.substr(0, at);
            CreateDirectoryW(LongName(folder == nullptr ? made : JoinNames(folder->name, made)).c_str(), nullptr);
        }
    }
    return Found::kPlace;
}

bool OpenFolderAt(const Place& place, OutputFolder*)
{
    const std::wstring name = LongName(place.name);
    CreateDirectoryW(name.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void CloseFolder(OutputFolder*) {}

// Only a file on a disk: a device or a pipe is closed unread.
int OpenToRead(const Place& place)
{
    const HANDLE file = CreateFileW(LongName(place.name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
    }
    return fd;
}

std::FILE* ReadStreamOf(int fd)
{
    return _fdopen(fd, "rb");
}

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

const char kSeparator = '\\';

void ReleasePlace(Place*) {}

// A name that is a link (a reparse point) counts as no regular file: it
// is written through, and the link stays, as a write in place leaves it.
bool FactsOf(int fd, FileFacts* facts)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(HandleOf(fd), &info)) {
        *facts = FileFacts{0, 0, 1, false, false, 0}; // a device or a pipe
        return true;
    }
    *facts = FileFacts{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
                       info.nNumberOfLinks,
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0, false,
                       (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow};
    return true;
}

// The read-only attribute refuses a write, whoever asks; asked first, it
// does so under every emulation of the system too.
int OpenExisting(const Place& place, FileFacts* facts)
{
    const std::wstring name = LongName(place.name);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const int fd = DescriptorOf(file);
    if (fd >= 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        *facts = FileFacts{0, 0, 1, false, false, 0};
    } else if (fd >= 0) {
        FactsOf(fd, facts);
    }
    return fd;
}

// Always under a temporary name, which shares deletion so that the control
// handler can remove it while it is open.
int CreateNewFile(const Place& place, std::string* temporary)
{
    const std::wstring target = LongName(place.name);
    for (unsigned n = 0;; ++n) {
        *temporary = Beside(target, n);
        const std::wstring name = LongName(*temporary);
        HoldInterrupts();
        const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                        nullptr);
        const DWORD error = GetLastError();
        if (file != INVALID_HANDLE_VALUE) {
            MySlot()->name = name;
            MySlot()->set = true;
        }
        ReleaseInterrupts();
        if (file != INVALID_HANDLE_VALUE) {
            return DescriptorOf(file);
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            temporary->clear();
            SetLastError(error);
            return -1;
        }
    }
}

// ReplaceFileW gives the new file the old one's security and streams; the
// attributes are given here as well, as not every implementation of it
// does. Zero times in the record leave the new file's times as they are.
bool CopyAttributes(int from, int to)
{
    constexpr DWORD kKept =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO old, fresh;
    if (!GetFileInformationByHandleEx(HandleOf(from), FileBasicInfo, &old, sizeof old) ||
        !GetFileInformationByHandleEx(HandleOf(to), FileBasicInfo, &fresh, sizeof fresh)) {
        return false;
    }
    const DWORD attributes = (fresh.FileAttributes & ~kKept) | (old.FileAttributes & kKept);
    if (attributes == fresh.FileAttributes) {
        return true;
    }
    fresh = FILE_BASIC_INFO{};
    fresh.FileAttributes = attributes;
    return SetFileInformationByHandle(HandleOf(to), FileBasicInfo, &fresh, sizeof fresh) != 0;
}

// The system sets no limit on the size of a file.
bool WithinSizeLimit(std::uint64_t)
{
    return true;
}

// A directory that lets a file be made in it lets it be renamed there.
bool KeepsNames(const Place&)
{
    return false;
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

bool StillStands(const Place& place, const FileFacts* facts)
{
    const std::wstring name = LongName(place.name);
    const HANDLE file = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return facts == nullptr && GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool same = facts != nullptr && GetFileInformationByHandle(file, &info) &&
                      info.dwVolumeSerialNumber == facts->device &&
                      ((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow) == facts->inode;
    CloseHandle(file);
    return same;
}

// Both calls need the new file closed.
bool GiveName(const Place& place, int fd, std::string* temporary, bool replace)
{
    _close(fd);
    const std::wstring target = LongName(place.name);
    const std::wstring name = LongName(*temporary);
    const bool named = replace ? ReplaceFileW(target.c_str(), name.c_str(), nullptr, 0, nullptr, nullptr) != 0
                               : MoveFileExW(name.c_str(), target.c_str(), 0) != 0;
    if (!named) {
        DeleteFileW(name.c_str());
    }
    Unpend(temporary);
    return named;
}

void DropNewFile(const Place&, int fd, std::string* temporary)
{
    const DWORD error = GetLastError();
    _close(fd);
    DeleteFileW(LongName(*temporary).c_str());
    Unpend(temporary);
    SetLastError(error);
}

int Duplicate(int fd)
{
    return _dup(fd);
}

std::FILE* StreamOf(int fd)
{
    return _fdopen(fd, "wb");
}

void Close(int fd)
{
    _close(fd);
}
