// What the tool asks of the system besides the rules of its files: how it
// was started, how many processors there are, a folder's entries, whether
// standard error is a terminal, and interrupts in a run of many threads.
// One implementation for each system, beside the output primitives, in
// output_posix.cpp and output_windows.cpp.
#pragma once

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

// Whether `name` is a folder (following a link to one).
bool IsFolder(const std::string& name);

// The entries of the folder `name`, "." and ".." left out, in byte order
// of their names; false when it cannot be read.
bool ListFolder(const std::string& name, std::vector<FolderEntry>* entries);

// For a run of several threads, called before any other starts: from now
// on the interrupts that end a run are taken on a thread of their own,
// which waits for every rewrite in place in flight to end whole, removes
// every file of the run that has no final name yet, and ends the run as
// the signal ends it. A signal the caller ignored stays ignored.
void TakeInterruptsOnOneThread();
