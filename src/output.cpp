// The rules by which an output file takes its new content, the same on
// every system; output_system.h gives the primitives they are made of.
#include "output.h"

#include <atomic>
#include <mutex>

#include "output_system.h"
#include "system.h"

namespace {

// A stream over a copy of `fd`, so that the file stays open for the steps
// after the last byte. The BMP writer hands over whole 64 KiB blocks;
// through the stream's own smaller buffer each would cost two system calls
// instead of one, so it has none.
bool Attach(Output* out, int fd)
{
    const int copy = Duplicate(fd);
    out->stream = copy < 0 ? nullptr : StreamOf(copy);
    if (out->stream == nullptr) {
        if (copy >= 0) {
            Close(copy);
        }
        return false;
    }
    std::setvbuf(out->stream, nullptr, _IONBF, 0);
    out->file = fd;
    return true;
}

// Writes a device, a pipe or another file that is not regular as it is.
bool OpenThrough(Output* out, int fd)
{
    out->way = OutputWay::kThrough;
    if (!Attach(out, fd)) {
        Close(fd);
        return false;
    }
    return true;
}

// Reserves the output's whole size in `fd`. A file system that cannot
// reserve space is written without a reservation, which is no failure.
bool Reserve(const Output* out, int fd)
{
    return ReserveSize(fd, out->size) || LastFailure() == Failure::kUnsupported;
}

// A failed reservation can leave a file longer than it was. Cutting it to
// a length it still has would change its times, so that is not done.
void GiveBackLength(int fd, std::uint64_t length)
{
    FileFacts now;
    if (FactsOf(fd, &now) && now.length != length) {
        CutTo(fd, length);
    }
}

// Writes the old file itself from its start. Interrupts are held off from
// before its new size is reserved until it is whole and cut to size, so
// that an interrupt never leaves it half old and half new. A reservation
// that fails can leave the file longer (a disk that fills part way), and
// one within its length guards nothing against the size limit, checked
// first for that reason; until the first byte is written, a failure gives
// the file back its old length and it is as it was.
bool OpenRewrite(Output* out, int fd, std::uint64_t old_length)
{
    out->way = OutputWay::kRewrite;
    HoldInterrupts();
    if (!Attach(out, fd)) {
        Close(fd);
    } else if (!Reserve(out, fd)) {
        GiveBackLength(fd, old_length);
        std::fclose(out->stream);
        Close(fd);
    } else {
        return true;
    }
    ReleaseInterrupts();
    return false;
}

enum class NewFile {
    kOpened,
    kNotHere, // the directory refuses a new file, the disk has no room for a second copy, or the
              // new file cannot be given the old one's attributes: only a rewrite in place can do
    kFailed,  // out of descriptors or memory, an I/O error, a size limit
};

NewFile Why()
{
    const Failure failure = LastFailure();
    return failure == Failure::kRefused || failure == Failure::kNoRoom ? NewFile::kNotHere : NewFile::kFailed;
}

// A new file in the name's directory, with the attributes of the file `old`
// when it replaces one and its whole size reserved. On anything but
// kOpened no new file is left.
NewFile OpenNewFile(Output* out, int old)
{
    const int fd = CreateNewFile(out->place, &out->temporary);
    if (fd < 0) {
        return Why();
    }
    NewFile result = NewFile::kOpened;
    if (old >= 0 && !CopyAttributes(old, fd)) {
        result = NewFile::kNotHere;
    } else if (!Reserve(out, fd)) {
        result = Why();
    } else if (!Attach(out, fd)) {
        result = NewFile::kFailed;
    }
    if (result != NewFile::kOpened) {
        DropNewFile(out->place, fd, &out->temporary);
    }
    return result;
}

// A regular file, written as a write in place would leave it: replaced by
// a new file where `replaceable` and the new file can stand for it
// exactly, else rewritten. Nothing of it changes past the size limit.
bool OpenRegular(Output* out, int fd, const FileFacts& old, bool replaceable)
{
    if (!WithinSizeLimit(out->size)) {
        Close(fd);
        return false;
    }
    if (replaceable) {
        out->way = OutputWay::kReplace;
        out->replaced = old;
        const NewFile opened = OpenNewFile(out, fd);
        if (opened != NewFile::kNotHere) {
            Close(fd);
            return opened == NewFile::kOpened;
        }
    }
    return OpenRewrite(out, fd, old.length);
}

// Claims the regular file `facts` describe for the output's writer, with
// the claims' lock held: false, with the claim's holder named, where
// another writer of the batch holds it.
bool TakeHeld(const Output* out, const FileFacts& facts)
{
    const auto [held, fresh] = out->claim->claims->holders.emplace(std::make_pair(facts.device, facts.inode), out->claim->claimant);
    if (!fresh && held->second != out->claim->claimant) {
        out->claim->holder = held->second;
        return false;
    }
    return true;
}

bool Take(const Output* out, const FileFacts& facts)
{
    if (out->claim == nullptr) {
        return true;
    }
    const std::lock_guard<std::mutex> lock(out->claim->claims->mutex);
    return TakeHeld(out, facts);
}

// The file under a name found in its directory: none, to be created; a
// regular file with one name, to be replaced where its directory lets a
// new file take its name; else rewritten or written through.
bool OpenUnderName(Output* out)
{
    FileFacts old;
    const int fd = OpenExisting(out->place, &old);
    if (fd < 0) {
        out->way = OutputWay::kCreate;
        return LastFailure() == Failure::kAbsent && WithinSizeLimit(out->size) &&
               OpenNewFile(out, -1) == NewFile::kOpened;
    }
    if (!old.regular) {
        return OpenThrough(out, fd);
    }
    if (!Take(out, old)) {
        Close(fd);
        return false;
    }
    return OpenRegular(out, fd, old, old.links == 1 && !old.mount_root && !KeepsNames(out->place));
}

// A file that only the system could reach, already open for writing.
bool OpenReached(Output* out, int fd)
{
    FileFacts facts;
    if (!FactsOf(fd, &facts)) {
        Close(fd);
        return false;
    }
    if (facts.regular && !Take(out, facts)) {
        Close(fd);
        return false;
    }
    return facts.regular ? OpenRegular(out, fd, facts, false) : OpenThrough(out, fd);
}

// Puts a whole new file under the name when `keep` is set, provided that
// the name still stands for what was found there; else removes it. The
// check and the naming happen with interrupts held off, so that an
// interrupt never leaves a temporary name behind. In a batch, the new file
// is claimed before it has the name, so that no other writer can take it
// for its own in between, and the writers name their files one at a time,
// so that two names that the file system takes for one are never both
// found free and both given. A file replaced is no one's any more; a new
// file that did not take its name, the same.
bool Settle(Output* out, bool keep)
{
    const bool replace = out->way == OutputWay::kReplace;
    bool named = false;
    FileFacts made;
    HoldInterrupts();
    std::unique_lock<std::mutex> naming;
    if (out->claim != nullptr) {
        naming = std::unique_lock<std::mutex>(out->claim->claims->mutex);
    }
    if (keep && FactsOf(out->file, &made) && (out->claim == nullptr || TakeHeld(out, made)) &&
        StillStands(out->place, replace ? &out->replaced : nullptr)) {
        named = GiveName(out->place, out->file, &out->temporary, replace);
        if (out->claim != nullptr && (!named || replace)) {
            const FileFacts& gone = named ? out->replaced : made;
            out->claim->claims->holders.erase({gone.device, gone.inode});
        }
    } else {
        DropNewFile(out->place, out->file, &out->temporary);
    }
    ReleaseInterrupts();
    return named;
}

} // namespace

int ThreadSlot()
{
    static std::atomic<int> taken{0};
    thread_local int slot = -1;
    if (slot < 0) {
        slot = taken++ % kPendingSlots;
    }
    return slot;
}

bool OpenOutputFolder(OutputFolder* folder, const char* name)
{
    *folder = OutputFolder{-1, name};
    Place place;
    int reached = -1;
    if (FindPlace(nullptr, name, Lookup::kFolder, &place, &reached) != Found::kPlace) {
        if (reached >= 0) {
            Close(reached);
        }
        return false;
    }
    const bool opened = OpenFolderAt(place, folder);
    ReleasePlace(&place);
    return opened;
}

void CloseOutputFolder(OutputFolder* folder)
{
    CloseFolder(folder);
}

std::string JoinNames(const std::string& first, const std::string& second)
{
    return first.empty() || IsSeparator(first.back()) ? first + second : first + kSeparator + second;
}

std::FILE* OpenGuardedInput(const char* name)
{
    Place place;
    int fd = -1;
    const Found found = FindPlace(nullptr, name, Lookup::kRead, &place, &fd);
    if (found == Found::kPlace) {
        fd = OpenToRead(place);
        ReleasePlace(&place);
    }
    std::FILE* file = fd < 0 ? nullptr : ReadStreamOf(fd);
    if (file == nullptr && fd >= 0) {
        Close(fd);
    }
    return file;
}

bool OpenOutput(Output* out, const OutputFolder* folder, const char* name, std::uint64_t size, Claim* claim)
{
    *out = Output{};
    out->size = size;
    out->claim = claim;
    int reached = -1;
    switch (FindPlace(folder, name, Lookup::kWrite, &out->place, &reached)) {
    case Found::kRefused:
        return false;
    case Found::kOpened:
        return OpenReached(out, reached);
    case Found::kPlace:
        break;
    }
    if (!OpenUnderName(out)) {
        ReleasePlace(&out->place);
        return false;
    }
    return true;
}

bool CloseOutput(Output* out)
{
    bool written = std::fflush(out->stream) == 0 && std::ferror(out->stream) == 0;
    written = std::fclose(out->stream) == 0 && written;
    out->stream = nullptr;
    switch (out->way) {
    case OutputWay::kThrough:
        Close(out->file);
        break;
    case OutputWay::kRewrite:
        written = written && CutTo(out->file, out->size);
        Close(out->file);
        ReleaseInterrupts();
        break;
    case OutputWay::kCreate:
    case OutputWay::kReplace:
        written = Settle(out, written);
        break;
    }
    ReleasePlace(&out->place);
    return written;
}
