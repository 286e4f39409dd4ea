// The few system primitives that the output rules (output.cpp) are built
// from, one implementation for each system: output_posix.cpp and
// output_windows.cpp. Each does one thing to one file or directory and
// says how it failed in the terms the rules decide by; none of them
// decides which way a file is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "output.h"

// Why the last primitive failed, as far as the rules care.
enum class Failure {
    kAbsent,      // no file stands under the name
    kRefused,     // not allowed this way: permission, a read-only file system, an attribute that cannot be set
    kNoRoom,      // the disk or the user's quota is full
    kUnsupported, // the file system cannot do this
    kOther,       // anything else: out of descriptors or memory, an I/O error, a size limit
};
Failure LastFailure();

// Interrupts are held off between these two and taken when released. They
// never nest.
void HoldInterrupts();
void ReleaseInterrupts();

// What a handler must undo is kept per thread in a fixed table, as a
// handler may not allocate: this gives the calling thread its own row,
// the same for its life, among as many rows as a batch may run threads,
// and more.
constexpr int kPendingSlots = 272;
int ThreadSlot();

// Turns a name, below `folder` where one is given, into the directory it
// stands in and its own name there, following every link; on false
// nothing is held. `*opened` is set instead, to a descriptor open for
// writing (for reading, with kRead: a regular file only), where the name
// leads to a file that only the system can reach, such as a process's
// standard output. Below a folder, a missing folder on the way is made
// where no link was followed since the folder; with kFolder, every missing
// folder on the way is made, as `mkdir -p` makes them.
enum class Found { kPlace, kOpened, kRefused };
enum class Lookup { kWrite, kRead, kFolder };
Found FindPlace(const OutputFolder* folder, const char* name, Lookup lookup, Place* place, int* opened);
void ReleasePlace(Place* place);

// The directory of a place opened as the folder of outputs, made first
// where it is missing; false when it cannot be.
bool OpenFolderAt(const Place& place, OutputFolder* folder);
void CloseFolder(OutputFolder* folder);

// The regular file under a place's name, opened for reading; -1 when it
// cannot be, or when the name holds anything else (a FIFO, a device, a
// socket), which is never opened, lest it block or act on its opening.
int OpenToRead(const Place& place);
std::FILE* ReadStreamOf(int fd);


// The file that stands under the place's name, opened for writing as a
// write in place opens it, and what it is; -1 when it cannot be, with
// kAbsent when no file stands there. A regular file or a FIFO that another
// user may have put in a shared directory is refused (kRefused) without
// being opened.
int OpenExisting(const Place& place, FileFacts* facts);

// What an open file is.
bool FactsOf(int fd, FileFacts* facts);

// A new, empty file in the place's directory. Where the system can, it has
// no name at all until GiveName; otherwise it gets a temporary one, held in
// `*temporary`, which an interrupt removes.
int CreateNewFile(const Place& place, std::string* temporary);

// Gives a new file every attribute of the old one that a write in place
// would keep: owner, group, mode, access control list, extended attributes
// and inode flags. False when any of them cannot be given exactly.
bool CopyAttributes(int from, int to);

// Whether `size` bytes pass the limit the system sets on the size of a
// file the process writes; false, failing as a write past it fails, when
// they do not.
bool WithinSizeLimit(std::uint64_t size);

// Whether the place's directory keeps every name it holds, renaming and
// removing none (append-only or immutable): a file given a temporary name
// there would keep it for good.
bool KeepsNames(const Place& place);

// Makes sure the disk holds the first `size` bytes of the file, so that a
// write within them cannot fail for room; the file's content is not
// changed, though it may grow to `size`.
bool ReserveSize(int fd, std::uint64_t size);

// Sets the file's length.
bool CutTo(int fd, std::uint64_t size);

// Whether the place's name still stands for the file `facts` describe, or
// with null for no file at all.
bool StillStands(const Place& place, const FileFacts* facts);

// Puts the new file under the place's name, over the file there when
// `replace` is set; false when the system refused, and then the new file is
// gone. Either way the descriptor is closed.
bool GiveName(const Place& place, int fd, std::string* temporary, bool replace);

// Closes and removes a new file that is not to be kept.
void DropNewFile(const Place& place, int fd, std::string* temporary);

// A second descriptor for the same open file, and a stream over one that
// then owns it.
int Duplicate(int fd);
std::FILE* StreamOf(int fd);
void Close(int fd);
