// How an output file takes its new content. The run ends as writing the
// file in place would leave it: the file reached through any symbolic link,
// the same permission check, owner, group, mode and links. A failed or
// interrupted write leaves the old bytes and no file of the tool's own.
//
// A regular file is normally replaced: the bytes go to a new temporary file
// beside it, named ".kestrune-PID-N.tmp", which is given the old file's
// owner, group and mode and then renamed over it. Where that would change
// the file in a way a write in place does not (its owner or group cannot be
// given to a new file, it has other links) or no file can be made beside it,
// it is rewritten in place instead, after its new size has been reserved,
// so that a full disk or a size limit fails before any old byte changes.
// Devices, pipes and other files that are not regular are written in place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct Output {
    std::FILE* stream;     // where the bytes go, unbuffered
    std::string target;    // the file written: the name with every link followed
    std::string temporary; // the file that replaces the target; empty when written in place
    std::uint64_t size;    // the whole content, known before the first byte
    bool rewrite;          // an existing regular file written in place: cut to `size` at the end
};

// Once per run, before the first output is opened. Interrupts (Ctrl-C, a
// terminal hang-up, a termination request; on Windows also a closed console)
// then remove the temporary file being written before they end the run as
// usual, and a write past the file-size limit fails instead of ending the
// run. An interrupt the caller ignored stays ignored.
void GuardOutputs();

// Opens `name` for `size` bytes of new content. False when it cannot be
// written, as a write in place would be refused; nothing has changed then.
bool OpenOutput(Output* out, const char* name, std::uint64_t size);

// Completes the output once its bytes are written: true when the file now
// holds them whole. On false the temporary file is gone and a replaced file
// keeps its old bytes; so does a file rewritten in place, unless a write
// failed for another cause than space (an I/O error) after its new size
// was reserved.
bool CloseOutput(Output* out);
