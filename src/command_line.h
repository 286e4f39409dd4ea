// The command line, read once into a plain record:
//   kestrune [-a] [--png [--smallest]] [-o DIR] [--] <filename> [<palette filename>]
//   kestrune --batch [-a] [--png [--smallest]] [-o DIR] [-j N] [--palette FILE] [--] PATH...
//   kestrune --import [-o DIR] [--] IMAGE TEXTURE [PALETTE]
//   kestrune --info [--palette FILE] [--] PATH...
//   kestrune --help | -h | --version
// "--" ends the options: every argument after it is a name. A single
// conversion takes any other argument as a name, as it always has; a batch
// refuses an option it does not know.
#pragma once

#include <string>
#include <vector>

enum class Request {
    kConvert,
    kVersion,
    kHelp,
    kUsage, // no arguments at all
};

struct CommandLine {
    Request request = Request::kConvert;
    bool batch = false;
    bool import = false; // "--import": images back into textures
    bool info = false;   // "--info": each texture's facts, one line each, nothing converted
    bool quiet = false;  // "-q": no "written" lines
    bool alpha = false;
    bool png = false;
    bool smallest = false; // "--smallest": with --png, the smallest PNGs, slowly
    std::string output;  // "-o": the outputs' folder, or empty for beside the textures
    int jobs = 0;        // "-j": threads, or 0 for one per processor
    std::string palette; // "--palette": for indexed textures without one of their own
    std::vector<std::string> names;
    std::vector<std::string> arguments; // as given, for a line that repeats them
    std::string error; // what is wrong with the line, for an "ERROR: " line and status 2
};

// `dropped`: the tool was started by Windows Explorer with the files and
// folders dropped on it (or none, by a double click).
CommandLine ReadCommandLine(int argc, char** argv, bool dropped);

// What "--help" prints after the usage text.
extern const char kHelpText[];

// What the system says of how the tool was started, on Windows: a window
// of its own that Explorer opened shows only this process, on a console
// that both standard streams are.
struct ConsoleFacts {
    bool parent_is_explorer = false;
    unsigned console_processes = 0;
    bool input_is_console = false;
    bool output_is_console = false;
};
bool LooksDroppedOn(const ConsoleFacts& facts);

// The last part of a name, after its last separator.
std::string BaseName(const std::string& name);
