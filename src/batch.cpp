#include "batch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "conversion.h"
#ifndef KESTRUNE_NO_IMPORT
#include "import.h"
#endif
#include "output.h"
#include "pairing.h"
#include "system.h"

namespace {

// A texture the walk found, or a path it could not read.
struct Found {
    std::string name;     // as found: the path given, joined with the names below it
    std::string relative; // below the folder given that found it; its own name where given by name
    std::string palette;  // beside it, else "--palette", else none
    std::string failure;  // the line of a path that could not be read, or of a clash of outputs
};

std::vector<std::string> NamesOf(const std::vector<FolderEntry>& entries)
{
    std::vector<std::string> names;
    for (const FolderEntry& entry : entries) {
        names.push_back(entry.name);
    }
    return names;
}

struct Walk {
    const CommandLine* line;
    std::vector<Found> found;
};

// The palette a texture takes: the one beside it, else the one given.
std::string PaletteOf(const Walk& walk, const std::string& folder, const std::string& name,
                      const std::vector<std::string>& names)
{
    const std::string beside = PaletteBeside(name, names);
    return beside.empty() ? walk.line->palette : folder.empty() ? beside : JoinNames(folder, beside);
}

void Unreadable(Walk* walk, const std::string& name)
{
    walk->found.push_back(Found{name, "", "", "ERROR: cannot open file " + name + "\n"});
}

// Depth first, each folder's entries in byte order of their names; a link
// to a folder is not followed.
void WalkFolder(Walk* walk, const std::string& folder, const std::string& below)
{
    std::vector<FolderEntry> entries;
    if (!ListFolder(folder, &entries)) {
        Unreadable(walk, folder);
        return;
    }
    const std::vector<std::string> names = NamesOf(entries);
    for (const FolderEntry& entry : entries) {
        const std::string name = JoinNames(folder, entry.name);
        const std::string relative = below.empty() ? entry.name : JoinNames(below, entry.name);
        if (entry.folder) {
            WalkFolder(walk, name, relative);
        } else if (!entry.skipped && IsTextureName(entry.name)) {
            walk->found.push_back(Found{name, relative, PaletteOf(*walk, folder, entry.name, names), ""});
        }
    }
}

// A path given that is no folder is taken as a texture whatever its name;
// its palette is looked for in its folder.
void TakeFile(Walk* walk, const std::string& name)
{
    const std::string beside = PaletteBesideFile(name);
    walk->found.push_back(Found{name, BaseName(name), beside.empty() ? walk->line->palette : beside, ""});
}

// Every texture below the paths the line gives, in the order a batch takes them.
void WalkPaths(Walk* walk)
{
    for (const std::string& path : walk->line->names) {
        if (IsFolder(path)) {
            WalkFolder(walk, path, "");
        } else {
            TakeFile(walk, path);
        }
    }
}

// Where an output would go, as the file system at hand tells files apart:
// the nearest folder on its way that exists, and the rest of its name below
// that folder (folders the walk's own names will make, and the file's
// name), compared with its case folded where that folder folds case. Two
// outputs with one key are one file.
struct OutputKey {
    FolderIdentity folder;
    bool folds;
    std::string rest;
};

struct KeyOrder {
    bool operator()(const OutputKey& a, const OutputKey& b) const
    {
        if (a.folder < b.folder || b.folder < a.folder) {
            return a.folder < b.folder;
        }
        return (a.folds ? CompareFolded(a.rest, b.rest) : a.rest.compare(b.rest)) < 0;
    }
};

// Whether each folder folds case, asked once.
using Folding = std::map<FolderIdentity, bool>;

// Where not even the current folder can be examined, the name alone.
OutputKey KeyOf(const std::string& output, Folding* folding)
{
    OutputKey key{};
    std::size_t cut = output.size();
    for (;;) {
        while (cut > 0 && !IsSeparator(output[cut - 1])) {
            --cut;
        }
        if (cut == 0 || IdentifyFolder(output.substr(0, cut), &key.folder)) {
            break;
        }
        --cut;
    }
    const std::string folder = cut > 0 ? output.substr(0, cut) : ".";
    if (cut == 0) {
        IdentifyFolder(folder, &key.folder);
    }
    const auto [known, fresh] = folding->try_emplace(key.folder);
    if (fresh) {
        known->second = FoldsCase(folder);
    }
    key.folds = known->second;
    key.rest = output.substr(cut);
    return key;
}

// An entry whose output is one file with an output of an entry found
// before it is not converted: it fails with a line that names both.
// `outputs` gives the names an entry writes, as shown.
template <typename Outputs>
void RefuseClashes(std::vector<Found>* found, Outputs outputs)
{
    std::map<OutputKey, std::size_t, KeyOrder> writers;
    Folding folding;
    for (std::size_t i = 0; i < found->size(); ++i) {
        Found& entry = (*found)[i];
        if (!entry.failure.empty()) {
            continue;
        }
        for (const std::string& shown : outputs(entry)) {
            const auto [first, fresh] = writers.emplace(KeyOf(shown, &folding), i);
            if (entry.failure.empty() && !fresh) {
                entry.failure = "ERROR: " + (*found)[first->second].name + " and " + entry.name + " would both write " +
                                shown + "\n";
            }
        }
    }
}

// A conversion's outputs: the colour image, and with "-a" the alpha one.
std::vector<std::string> ConversionOutputs(const CommandLine& line, const Found& texture)
{
    const char* ending = line.png ? ".png" : ".bmp";
    const std::string stem = OutputStem(line.output.empty() ? texture.name : texture.relative);
    std::vector<std::string> names = {stem + ending};
    if (line.alpha) {
        names.push_back(stem + "_alpha" + ending);
    }
    for (std::string& name : names) {
        name = line.output.empty() ? name : JoinNames(line.output, name);
    }
    return names;
}

// What the workers share: the next texture to take, and each one's report
// once it is done.
struct Shared {
    const std::vector<ConversionRequest>* requests = nullptr;
#ifndef KESTRUNE_NO_IMPORT
    const std::vector<ImportRequest>* imports = nullptr; // instead, for --import
#endif
    std::size_t total = 0; // requests or imports
    OutputClaims claims;
    std::vector<ConversionReport> reports;
    std::vector<char> done;
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
};

void Work(Shared* shared)
{
    for (std::size_t i = shared->next++; i < shared->total; i = shared->next++) {
        ConversionReport report;
#ifndef KESTRUNE_NO_IMPORT
        if (shared->imports != nullptr) {
            ImportTexture(&(*shared->imports)[i], &report);
        } else
#endif
        {
            ConvertTexture(&(*shared->requests)[i], &report);
        }
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->reports[i] = std::move(report);
        shared->done[i] = 1;
        shared->finished.notify_all();
    }
}

// The one line that shows on a terminal how far the batch is. It is
// shown on a line of its own making and cleared, spaces over it, before
// anything else is printed there.
void ShowProgress(const std::string& text, std::size_t* shown)
{
    std::fputs(("\r" + text).c_str(), stderr);
    std::fflush(stderr);
    *shown = text.size();
}

void ClearProgress(std::size_t* shown)
{
    std::string line(*shown + 2, ' ');
    line.front() = '\r', line.back() = '\r';
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    *shown = 0;
}

struct Count {
    std::size_t converted = 0;
    std::size_t failed = 0;
};

// Prints each entry's lines in the order found, as each is done. Once
// standard output fails, no texture is started: those in hand end, and
// where its reader has left, so does the run.
void Report(const std::vector<Found>& found, const std::vector<std::size_t>& requested, Shared* shared, Count* count)
{
    const bool terminal = ErrorIsTerminal();
    std::size_t shown = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        ConversionReport report;
        if (!found[i].failure.empty()) {
            report.status = kSomeFailed, report.out = found[i].failure;
        } else {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->finished.wait(lock, [&] { return shared->done[requested[i]] != 0; });
            report = std::move(shared->reports[requested[i]]);
        }
        if (terminal) {
            ClearProgress(&shown);
        }
        std::fputs(report.out.c_str(), stdout);
        if (std::fflush(stdout) != 0) {
            shared->next = shared->total;
            EndOnBrokenPipe();
            return;
        }
        std::fputs(report.err.c_str(), stderr);
        ++(report.status == kConverted ? count->converted : count->failed);
        if (terminal && i + 1 < found.size()) {
            const std::string done = std::to_string(i + 1), total = std::to_string(found.size());
            std::string text(total.size() + 2 - done.size(), ' ');
            text[0] = '[';
            text.append(done).append("/").append(total).append("] ").append(found[i + 1].name);
            ShowProgress(text, &shown);
        }
    }
}

// A batch's start once its walk is done: kConverted with the "-o" folder
// open (where one is given), or the status that ends it, its lines printed.
int Begin(const CommandLine& line, const Walk& walk, OutputFolder* folder)
{
    if (walk.found.empty()) {
        std::printf("ERROR: no file specified\n");
        return kNoTextureName;
    }
    if (!line.output.empty() && !OpenOutputFolder(folder, line.output.c_str())) {
        std::printf("ERROR: cannot write file %s\n0 converted, %zu failed\n", line.output.c_str(), walk.found.size());
        return kSomeFailed;
    }
    return kConverted;
}

// Converts (or imports) what the walk found on the workers, reports each
// entry in the order found, and gives the batch's status.
int Process(const CommandLine& line, const std::vector<Found>& found, const std::vector<std::size_t>& requested,
            Shared* shared, OutputFolder* folder)
{
    shared->reports.resize(shared->total);
    shared->done.assign(shared->total, 0);
    TakeInterruptsOnOneThread();
    if (std::fflush(stdout) != 0) { // no texture is started that nobody can be told of
        EndOnBrokenPipe();
        return kSomeFailed;
    }
    const std::size_t wanted = line.jobs > 0 ? static_cast<std::size_t>(line.jobs) : std::thread::hardware_concurrency();
    std::vector<std::thread> workers;
    while (workers.size() < std::max<std::size_t>(1, std::min(wanted, shared->total))) {
        try {
            workers.emplace_back(Work, shared);
        } catch (const std::system_error&) {
            break; // a thread that cannot start means fewer threads
        }
    }
    if (workers.empty()) {
        Work(shared); // here, then
    }
    Count count;
    Report(found, requested, shared, &count);
    for (std::thread& worker : workers) {
        worker.join();
    }
    CloseOutputFolder(folder);
    std::printf("%zu converted, %zu failed\n", count.converted, count.failed);
    return count.failed > 0 ? kSomeFailed : kConverted;
}

#ifndef KESTRUNE_NO_IMPORT
// The PNGs below a folder, depth first in byte order, each with the texture
// it came from below TEXTURES: the name a batch's --png gave it, undone.
// An alpha PNG with its colour PNG beside it is no texture's.
void WalkImages(Walk* walk, const std::string& folder, const std::string& below, const std::string& textures)
{
    std::vector<FolderEntry> entries;
    if (!ListFolder(folder, &entries)) {
        Unreadable(walk, folder);
        return;
    }
    const std::vector<std::string> names = NamesOf(entries);
    const std::string texture_folder = below.empty() ? textures : JoinNames(textures, below);
    std::vector<std::string> beside; // the names in the textures' folder, listed once, where a PNG needs them
    bool listed = false;
    for (const FolderEntry& entry : entries) {
        const std::string name = JoinNames(folder, entry.name);
        const std::string relative = below.empty() ? entry.name : JoinNames(below, entry.name);
        if (entry.folder) {
            WalkImages(walk, name, relative, textures);
            continue;
        }
        if (entry.skipped || !IsPngName(entry.name)) {
            continue;
        }
        const std::string stem = entry.name.substr(0, entry.name.size() - 4);
        if (stem.size() > 6 && stem.compare(stem.size() - 6, 6, "_alpha") == 0 &&
            std::binary_search(names.begin(), names.end(), stem.substr(0, stem.size() - 6) + entry.name.substr(stem.size()))) {
            continue;
        }
        const std::string texture = TextureOfStem(stem);
        const std::string texture_relative = below.empty() ? texture : JoinNames(below, texture);
        if (!listed) {
            std::vector<FolderEntry> listing;
            ListFolder(texture_folder, &listing);
            beside = NamesOf(listing), listed = true;
        }
        walk->found.push_back(Found{name, texture_relative, PaletteOf(*walk, texture_folder, texture, beside), ""});
    }
}

// --batch --import PNGS TEXTURES -o OUT: each PNG into a copy of the
// texture it came from, at that texture's place below OUT.
int RunBatchImport(const CommandLine& line)
{
    if (line.names.size() != 2 || line.output.empty()) {
        std::printf("ERROR: --batch --import needs a folder of images, a folder of textures and -o DIR\n");
        return kNoTextureName;
    }
    Walk walk{&line, {}};
    WalkImages(&walk, line.names[0], "", line.names[1]);
    OutputFolder folder;
    if (const int status = Begin(line, walk, &folder); status != kConverted) {
        return status;
    }
    RefuseClashes(&walk.found, [&line](const Found& image) {
        return std::vector<std::string>{JoinNames(line.output, image.relative)};
    });
    Shared shared;
    std::vector<ImportRequest> imports;
    std::vector<std::size_t> requested(walk.found.size());
    for (std::size_t i = 0; i < walk.found.size(); ++i) {
        const Found& image = walk.found[i];
        if (!image.failure.empty()) {
            continue;
        }
        requested[i] = imports.size();
        ImportRequest request;
        request.image = image.name;
        request.texture = JoinNames(line.names[1], image.relative);
        request.palette = image.palette;
        request.folder = &folder;
        request.output = image.relative;
        request.guarded = true;
        request.quiet = line.quiet;
        request.claims = &shared.claims;
        imports.push_back(request);
    }
    shared.imports = &imports;
    shared.total = imports.size();
    return Process(line, walk.found, requested, &shared, &folder);
}
#endif

} // namespace

int RunBatch(const CommandLine& line)
{
#ifndef KESTRUNE_NO_IMPORT
    if (line.import) {
        return RunBatchImport(line);
    }
#endif
    Walk walk{&line, {}};
    WalkPaths(&walk);
    OutputFolder folder;
    if (const int status = Begin(line, walk, &folder); status != kConverted) {
        return status;
    }
    RefuseClashes(&walk.found, [&line](const Found& texture) { return ConversionOutputs(line, texture); });
    Shared shared;
    std::vector<ConversionRequest> requests;
    std::vector<std::size_t> requested(walk.found.size());
    for (std::size_t i = 0; i < walk.found.size(); ++i) {
        const Found& texture = walk.found[i];
        if (!texture.failure.empty()) {
            continue;
        }
        requested[i] = requests.size();
        ConversionRequest request;
        request.texture = texture.name;
        request.palette = texture.palette;
        request.alpha = line.alpha;
        request.png = line.png;
        request.smallest = line.smallest;
        request.folder = line.output.empty() ? nullptr : &folder;
        request.stem = OutputStem(line.output.empty() ? texture.name : texture.relative);
        request.guarded = request.batch = true;
        request.quiet = line.quiet;
        request.claims = &shared.claims;
        requests.push_back(request);
    }
    shared.requests = &requests;
    shared.total = requests.size();
    return Process(line, walk.found, requested, &shared, &folder);
}

int RunInfo(const CommandLine& line)
{
    if (!line.error.empty()) {
        std::printf("ERROR: %s\n", line.error.c_str());
        return kNoTextureName;
    }
    Walk walk{&line, {}};
    WalkPaths(&walk);
    bool failed = false;
    for (const Found& entry : walk.found) {
        std::string fields = entry.failure.substr(0, entry.failure.size() - (entry.failure.empty() ? 0 : 1));
        const bool described = entry.failure.empty() && DescribeTexture(entry.name, entry.palette, true, &fields);
        std::printf("%s\t%s\n", Escaped(entry.name).c_str(), (described ? fields : Escaped(fields)).c_str());
        failed = failed || !described;
    }
    return failed ? kSomeFailed : kConverted;
}

std::string PaletteBesideFile(const std::string& name)
{
    const std::string base = BaseName(name), folder = name.substr(0, name.size() - base.size());
    std::vector<FolderEntry> entries;
    ListFolder(folder.empty() ? "." : folder, &entries);
    const std::string beside = PaletteBeside(base, NamesOf(entries));
    return beside.empty() || folder.empty() ? beside : JoinNames(folder, beside);
}
