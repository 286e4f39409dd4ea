// How an output file takes its new content. The run ends as writing the
// file in place would leave it: the file reached through any symbolic link
// the system itself would follow, the same permission check, and every
// attribute the old file had. A failed or interrupted write leaves the old
// bytes and no file of the tool's own.
//
// The name is looked up once, into the directory it stands in and its own
// name there; every later step works from that directory. A regular file
// is normally replaced: the bytes go to a new file in that directory that
// has no name until it is whole (or, where the file system cannot do that,
// a temporary name ".kestrune-PID-N.tmp"), which is given every attribute
// of the old file and then put in its place at once. Where a new file is
// not possible or could not stand for the old one exactly (other hard
// links, an attribute that cannot be given to a new file, a directory that
// refuses new files, no room for a second copy, a name something is
// mounted on, a directory that keeps every name it holds) the old file is
// rewritten in place instead: its new size is checked against the size
// limit and reserved first, with interrupts held off from then until it is
// whole, and anything that fails before its first byte is written gives it
// back its old length, so that it changes only once it can change whole.
// Devices, pipes and other files that are not regular are written in
// place. In a sticky directory that others may write, a file that neither
// the user nor the directory's owner owns is refused, as anyone could have
// put it there.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>

// A directory and a name in it. On POSIX systems the directory is held
// open and `name` is one component; on Windows, `directory` is unused and
// `name` is the whole name as given.
struct Place {
    int directory = -1;
    std::string name;
};

// What the rules need to know of a file.
struct FileFacts {
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t links;
    bool regular;    // a regular file, not a device, pipe, directory or link
    bool mount_root; // something is mounted on its name
    std::uint64_t length;
};

enum class OutputWay {
    kCreate,  // a new file, put under the name when whole
    kReplace, // a new file, put over the old one when whole
    kRewrite, // the old regular file, written from its start and cut to size
    kThrough, // a device or pipe, written as it is
};

// The regular files a batch writes, each held by the texture that first
// met it under one of its outputs' names. Another texture that meets one
// under any name is refused, so that no texture's output is lost to
// another's, whatever the names and the file system make of them.
struct OutputClaims {
    std::mutex mutex;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> holders; // device and inode: the texture
};

// One output's part in the claims: its texture, and where refused, the
// texture that holds the file.
struct Claim {
    OutputClaims* claims;
    std::string claimant;
    std::string holder;
};

struct Output {
    std::FILE* stream;     // where the bytes go, unbuffered, over a copy of `file`
    std::uint64_t size;    // the whole content, known before the first byte
    OutputWay way;
    Place place;           // where the name stands
    int file = -1;         // the file being written
    FileFacts replaced;    // for kReplace: the file that stood under the name
    std::string temporary; // a new file's temporary name, where it needs one
    Claim* claim = nullptr; // where the output is one of a batch's
};

// A folder that outputs go below ("-o"): found once, by the same rules as
// an output, and made where it is missing, with every missing folder on
// its way. Below it, missing folders are made as the outputs need them,
// but only where no link was followed since it, so that nothing is ever
// made outside it; a link there is followed only as the output rules
// follow one.
struct OutputFolder {
    int directory = -1; // held open on POSIX systems
    std::string name;   // as given: the messages' prefix, and on Windows the folder itself
};
bool OpenOutputFolder(OutputFolder* folder, const char* name);
void CloseOutputFolder(OutputFolder* folder);

// `first` and `second` joined by the system's separator, unless `first`
// ends in one already.
std::string JoinNames(const std::string& first, const std::string& second);

// Opens an input for reading by the lookup the outputs are found by, so
// that a link in a shared folder is followed only where the user or the
// folder's owner made it; nullptr when it cannot be opened.
std::FILE* OpenGuardedInput(const char* name);

// Once per run, before any file is opened: interrupts then remove a
// temporary file before they end the run as usual (one the caller ignored
// stays ignored), a write past the file-size limit fails instead of ending
// the run, and no output can take the number of a standard stream that
// the run was started without.
void GuardOutputs();

// Opens `name`, below `folder` where there is one, for `size` bytes of new
// content. False when it cannot be written, as a write in place would be
// refused, or when `claim` is given and another texture holds the file;
// nothing has changed then.
bool OpenOutput(Output* out, const OutputFolder* folder, const char* name, std::uint64_t size, Claim* claim = nullptr);

// Completes the output once its bytes are written: true when the file now
// holds them whole. On false a new file is gone and a replaced file keeps
// its old bytes; so does a file rewritten in place, unless a write failed
// for another cause than space or a limit (an I/O error) once its first
// byte was written.
bool CloseOutput(Output* out);
