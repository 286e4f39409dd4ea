// What the tool asks of the system besides the rules of its files: how it
// was started, how many processors there are, a folder's entries, whether
// standard error is a terminal, and interrupts in a run of many threads.
// One implementation for each system, beside the output primitives, in
// output_posix.cpp and output_windows.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"

extern const bool kWindows;

// Whether a character separates the parts of a name, and the one the
// system writes.
bool IsSeparator(char c);
extern const char kSeparator;

ConsoleFacts ReadConsoleFacts();

unsigned ProcessorCount();

bool ErrorIsTerminal();

struct FolderEntry {
    std::string name;
    bool folder; // a folder itself, not a link to one
    bool skipped; // a link to a folder, which a walk does not follow
};

// The size of the file an input stream reads; false where it cannot be told.
bool InputSize(std::FILE* file, std::uint64_t* size);

// Whether `name` is a folder (following a link to one).
bool IsFolder(const std::string& name);

// The entries of the folder `name`, "." and ".." left out, in byte order
// of their names; false when it cannot be read.
bool ListFolder(const std::string& name, std::vector<FolderEntry>* entries);

// What a folder is on its volume, whichever name reaches it.
struct FolderIdentity {
    std::uint64_t volume = 0;
    std::uint64_t number = 0;
    bool operator<(const FolderIdentity& other) const
    {
        return volume != other.volume ? volume < other.volume : number < other.number;
    }
};

// The identity of the folder `name` (following a link to one); false when
// it is no folder or cannot be examined.
bool IdentifyFolder(const std::string& name, FolderIdentity* identity);

// Whether the folder `name` takes a name with its case changed for the
// same file, as a case-insensitive volume does: on Windows, always.
bool FoldsCase(const std::string& name);

// Orders two names as a folder that folds case tells them apart: below
// zero, zero where they name one file, above zero.
int CompareFolded(const std::string& a, const std::string& b);

// After standard output has failed in a run of several threads, once its
// interrupts are taken on a thread of their own: where the reader of a
// pipe has left, ends the run as a write there ends a single run, by the
// signal, unless the caller ignored it.
void EndOnBrokenPipe();

// For a run of several threads, called before any other starts: from now
// on the interrupts that end a run are taken on a thread of their own,
// which waits for every rewrite in place in flight to end whole, removes
// every file of the run that has no final name yet, and ends the run as
// the signal ends it. A signal the caller ignored stays ignored.
void TakeInterruptsOnOneThread();
