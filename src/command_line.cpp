#include "command_line.h"

#include <cstdlib>
#include <cstring>

#include "system.h"

const char kHelpText[] =
    "--png : write PNGs, alpha included, instead of BMPs\n"
    "--smallest : with --png, the smallest PNGs the tool makes, many times slower\n"
    "-o DIR, --output DIR : write the outputs in the folder DIR, made where missing\n"
    "--batch PATH... : convert every texture (*.brtex) in the folders and files given\n"
    "-j N, --jobs N : with --batch, on N threads (1 to 256; one per processor by default)\n"
    "--palette FILE : with --batch, for CI4 and CI8 textures without a palette of their own name\n"
    "--import IMAGE TEXTURE [PALETTE] : encode the PNG IMAGE into TEXTURE, its texels\n"
    "  replaced and every other byte kept (in place, or below -o DIR)\n"
    "-q, --quiet : print only errors, warnings and a batch's count\n"
    "--info PATH... : for each texture, a line of its path, width, height, format,\n"
    "  palette and missing bytes, tab-separated; nothing is converted\n"
    "-- : take every argument after it as a name\n"
    "--help, -h : print this text\n"
    "--version : print the version\n"
    "CI4 and CI8 textures need the palette file; other formats ignore it.\n"
    "The BMPs go beside the texture: wood.brtex gives wood.bmp (-a: wood_alpha.bmp);\n"
    "with --png, wood.png (-a: wood_alpha.png, the alpha as grey).\n"
    "More: man kestrune, and the page kestrune.html in a browser.\n";

namespace {

bool IsHelp(const std::string& argument)
{
    return argument == "--help" || argument == "-h" || (kWindows && argument == "/?");
}

// What the line asks for besides a conversion, wherever it stands before
// "--"; the first of them counts.
Request RequestOf(int argc, char** argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            return Request::kVersion;
        }
        if (IsHelp(argv[i])) {
            return Request::kHelp;
        }
    }
    return argc < 2 ? Request::kUsage : Request::kConvert;
}

// Whether the option stands anywhere before "--".
bool HasOption(int argc, char** argv, const char* option)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], option) == 0) {
            return true;
        }
    }
    return false;
}

enum class Took { kNot, kValue, kMissing };

// The value of an option that takes one, if `argv[*i]` is that option: the
// next argument ("-o DIR", "--output DIR"), after "=" in the long form
// ("--output=DIR"), or where `glued`, right after the short one ("-j4").
// `*i` moves past what it took.
Took TakeValue(int argc, char** argv, int* i, const char* short_name, const char* long_name, bool glued, std::string* value)
{
    const std::string argument = argv[*i];
    const std::string with_equals = std::string(long_name) + "=";
    if (argument.rfind(with_equals, 0) == 0) {
        *value = argument.substr(with_equals.size());
    } else if (glued && argument.size() > 2 && argument.rfind(short_name, 0) == 0) {
        *value = argument.substr(2);
    } else if (argument != long_name && (short_name == nullptr || argument != short_name)) {
        return Took::kNot;
    } else if (*i + 1 < argc) {
        *value = argv[++*i];
    } else {
        return Took::kMissing;
    }
    return value->empty() ? Took::kMissing : Took::kValue;
}

// The number of threads "-j" asks for, or 0 when it is not 1 to 256.
int Jobs(const std::string& value)
{
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    return value[0] >= '0' && value[0] <= '9' && *end == '\0' && n >= 1 && n <= 256 ? static_cast<int>(n) : 0;
}

// Reads options and names; stops at the first thing wrong.
void ReadArguments(int argc, char** argv, CommandLine* line)
{
    bool options = true;
    for (int i = 1; i < argc && line->error.empty(); ++i) {
        const std::string argument = argv[i];
        // The option as the messages name it: "-j" of "-j4", "--jobs" of "--jobs=4".
        const std::string option = argument.rfind("--", 0) == 0 ? argument.substr(0, argument.find('=')) : argument.substr(0, 2);
        std::string jobs;
        Took took = Took::kNot;
        if (!options || argument == "-" || argument[0] != '-') {
            line->names.push_back(argument);
        } else if (argument == "--") {
            options = false;
        } else if (line->import && (argument == "-a" || argument == "--png")) {
            line->error = argument + " does not go with --import";
        } else if (line->info && argument != "--info" && option != "--palette") {
            line->error = option + " does not go with --info";
        } else if (argument == "-q" || argument == "--quiet") {
            line->quiet = true;
        } else if (argument == "-a") {
            line->alpha = true;
        } else if (argument == "--png") {
            line->png = true;
        } else if (argument == "--smallest") {
            line->smallest = true;
        } else if (argument == "--batch" || argument == "--import" || argument == "--info" || argument == "--version" ||
                   IsHelp(argument)) {
            // read before
        } else if ((took = TakeValue(argc, argv, &i, "-o", "--output", false, &line->output)) != Took::kNot) {
            line->error = took == Took::kMissing ? option + " needs a folder name" : "";
        } else if (line->batch && (took = TakeValue(argc, argv, &i, "-j", "--jobs", true, &jobs)) != Took::kNot) {
            line->jobs = took == Took::kValue ? Jobs(jobs) : 0;
            line->error = line->jobs == 0 ? option + " needs a number from 1 to 256" : "";
        } else if ((line->batch || line->info) &&
                   (took = TakeValue(argc, argv, &i, nullptr, "--palette", false, &line->palette)) != Took::kNot) {
            line->error = took == Took::kMissing ? "--palette needs a file name" : "";
        } else if (line->batch || line->import) {
            line->error = "unknown option " + argument;
        } else {
            line->names.push_back(argument); // a single run takes it as a name, as it always has
        }
    }
    if (line->error.empty() && line->smallest && !line->png) {
        line->error = "--smallest goes only with --png";
    } else if (line->error.empty() && line->names.empty()) {
        line->error = "no file specified";
    } else if (line->error.empty() && line->import && !line->batch && (line->names.size() < 2 || line->names.size() > 3)) {
        line->error = "--import needs an image, a texture and, for CI4 and CI8, a palette";
    }
}

} // namespace

CommandLine ReadCommandLine(int argc, char** argv, bool dropped)
{
    CommandLine line;
    if (dropped) {
        // Files or folders dropped on the executable: a batch of PNGs. A
        // double click, with nothing: the help.
        line.request = argc < 2 ? Request::kHelp : Request::kConvert;
        line.batch = line.png = true;
        line.names.assign(argv + 1, argv + argc);
        return line;
    }
    line.request = RequestOf(argc, argv);
    line.batch = HasOption(argc, argv, "--batch");
    line.import = HasOption(argc, argv, "--import");
    line.info = HasOption(argc, argv, "--info");
    line.arguments.assign(argv + 1, argv + argc);
    ReadArguments(argc, argv, &line);
    return line;
}

bool LooksDroppedOn(const ConsoleFacts& facts)
{
    return facts.parent_is_explorer && facts.console_processes == 1 && facts.input_is_console && facts.output_is_console;
}

std::string BaseName(const std::string& name)
{
    std::size_t at = name.size();
    while (at > 0 && !IsSeparator(name[at - 1])) {
        --at;
    }
    return name.substr(at);
}
