// kestrune: converts one BRTEX texture into a 24-bit colour BMP and, with
// "-a", a grey BMP of its alpha channel, written beside the input; with
// "--png", into a PNG with its alpha and, with "-a", a grey PNG of it; with
// "--batch", every texture of the folders and files given; with "--info",
// tells what each of them is.

#include <cstdio>
#include <cstring>
#include <string>

#include "batch.h"
#include "command_line.h"
#include "conversion.h"
#ifndef KESTRUNE_NO_IMPORT
#include "import.h"
#endif
#include "output.h"
#include "system.h"

#ifdef __MINGW32__
// Ask the runtime to expand wildcards on the command line before main runs,
// as a Windows shell does not.
int _dowildcard = -1;
#endif

namespace {

bool StartedByExplorer()
{
    return LooksDroppedOn(ReadConsoleFacts());
}

// The window Explorer opened closes when the run ends: its lines are left
// to be read first.
void WaitForEnter()
{
    std::printf("Press Enter to close this window.\n");
    std::fflush(stdout);
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
}

void PrintUsage(bool help)
{
    std::printf("syntax:\n");
    std::printf(">kestrune [-a] <filename> [<palette filename>]\n");
    std::printf("-a : export alpha channel\n");
    if (help) {
        std::fputs(kHelpText, stdout);
    }
}

// An argument as a shell takes it back: in double quotes where it holds
// anything but letters, digits and the marks of names and options.
std::string Quoted(const std::string& argument)
{
    const char* plain = kWindows ? "-_./\\:=+,@" : "-_./:=+,@";
    bool quote = argument.empty();
    std::string quoted = "\"";
    for (const char c : argument) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        quote = quote || (!letter && (c & 0x80) == 0 && std::strchr(plain, c) == nullptr);
        if (!kWindows && std::strchr("\"\\$`", c) != nullptr) {
            quoted += '\\';
        }
        quoted += c;
    }
    return quote ? quoted.append("\"") : argument;
}

// An indexed texture given without its palette, where one lies beside it
// by the batch's rule: the line that would have taken it, on standard error.
void HintPalette(const CommandLine& line, const std::string& texture)
{
    const std::string palette = PaletteBesideFile(texture);
    if (palette.empty()) {
        return;
    }
    std::string command = "kestrune";
    for (const std::string& argument : line.arguments) {
        command.append(" ").append(Quoted(argument));
    }
    std::fprintf(stderr, "kestrune: %s is beside it: %s %s\n", BaseName(palette).c_str(), command.c_str(),
                 Quoted(palette).c_str());
}

// One texture, as the command line names it, its outputs beside it or in
// the folder "-o" gives.
int ConvertOne(const CommandLine& line)
{
    OutputFolder folder;
    if (!line.output.empty() && !OpenOutputFolder(&folder, line.output.c_str())) {
        std::printf("ERROR: cannot write file %s\n", line.output.c_str());
        return kColourUnwritable;
    }
    ConversionRequest request;
    request.texture = line.names[0];
    request.palette = line.names.size() > 1 ? line.names[1] : "";
    request.alpha = line.alpha;
    request.png = line.png;
    request.smallest = line.smallest;
    request.quiet = line.quiet;
    request.folder = line.output.empty() ? nullptr : &folder;
    request.stem = OutputStem(line.output.empty() ? request.texture : BaseName(request.texture));
    ConversionReport report;
    ConvertTexture(&request, &report);
    std::fputs(report.out.c_str(), stdout);
    std::fputs(report.err.c_str(), stderr);
    if (report.status == kNoPaletteName) {
        HintPalette(line, request.texture);
    }
    CloseOutputFolder(&folder);
    return report.status;
}

// An image back into its texture, which it replaces, or below "-o".
int ImportOne(const CommandLine& line)
{
#ifdef KESTRUNE_NO_IMPORT
    (void)line;
    std::printf("ERROR: this build of kestrune cannot read images\n");
    return kNoTextureName;
#else
    OutputFolder folder;
    if (!line.output.empty() && !OpenOutputFolder(&folder, line.output.c_str())) {
        std::printf("ERROR: cannot write file %s\n", line.output.c_str());
        return kColourUnwritable;
    }
    ImportRequest request;
    request.image = line.names[0];
    request.texture = line.names[1];
    request.palette = line.names.size() > 2 ? line.names[2] : "";
    request.folder = line.output.empty() ? nullptr : &folder;
    request.output = line.output.empty() ? request.texture : BaseName(request.texture);
    request.quiet = line.quiet;
    ConversionReport report;
    ImportTexture(&request, &report);
    std::fputs(report.out.c_str(), stdout);
    std::fputs(report.err.c_str(), stderr);
    if (report.status == kNoPaletteName) {
        HintPalette(line, request.texture);
    }
    CloseOutputFolder(&folder);
    return report.status;
#endif
}

// One run, up to its exit status.
int Run(const CommandLine& line)
{
    if (line.request == Request::kVersion) {
        std::printf("kestrune %s\n", KESTRUNE_VERSION);
        return kConverted;
    }
    if (line.info && line.request == Request::kConvert) {
        return RunInfo(line);
    }
    std::printf("BRTEX to BMP convertor\n\n");
    if (line.request == Request::kHelp || line.request == Request::kUsage) {
        PrintUsage(line.request == Request::kHelp);
        return line.request == Request::kHelp ? kConverted : kUsage;
    }
    if (!line.error.empty()) {
        std::printf("ERROR: %s\n", line.error.c_str());
        return kNoTextureName;
    }
    return line.batch ? RunBatch(line) : line.import ? ImportOne(line) : ConvertOne(line);
}

} // namespace

int main(int argc, char** argv)
{
    GuardOutputs();
    const bool dropped = StartedByExplorer();
    const CommandLine line = ReadCommandLine(argc, argv, dropped);
    const int status = Run(line);
    if (dropped) {
        WaitForEnter();
    }
    // The messages are the run's report: where they could not all be
    // written (a full disk, a closed console), the run has failed, whatever
    // it did with the files, and standard error is left to say so.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fputs("kestrune: cannot write to standard output\n", stderr);
        return kStdoutUnwritable;
    }
    return status;
}
