#include "conversion.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "bmp.h"
#include "containers.h"
#include "kestrune.h"
#include "png.h"
#include "system.h"
#include "texels.h"

// Appends a printf-formatted line to `text`.
void Say(std::string* text, const char* format, ...)
{
    char line[512];
    std::va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
        text->append(line, static_cast<std::size_t>(length));
        return;
    }
    std::string long_line(static_cast<std::size_t>(length < 0 ? 0 : length) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(long_line.data(), long_line.size(), format, args);
    va_end(args);
    long_line.pop_back();
    text->append(long_line);
}

std::FILE* OpenInput(const std::string& name, bool guarded)
{
    std::FILE* file = guarded ? OpenGuardedInput(name.c_str()) : std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    const int first = std::fgetc(file);
    if (first == EOF && std::ferror(file)) {
        std::fclose(file);
        return nullptr;
    }
    if (first != EOF) {
        std::ungetc(first, file);
    }
    return file;
}

namespace {

using BMPWriter = void (*)(std::FILE*, std::int32_t, std::int32_t, const RgbaPixel*);

enum class Written { kWritten, kUnwritable, kTooLarge, kHeld };

// Writes `size` bytes under the request's output `name`, as `put` gives
// them to the stream: kWritten once whole, else the file under that name
// is as it was.
template <typename Put>
Written WriteOutput(const ConversionRequest& request, const std::string& name, std::uint64_t size, Claim* claim, Put put)
{
    Output output;
    if (!OpenOutput(&output, request.folder, name.c_str(), size, request.claims == nullptr ? nullptr : claim)) {
        return claim->holder.empty() ? Written::kUnwritable : Written::kHeld;
    }
    put(output.stream);
    return CloseOutput(&output) ? Written::kWritten : Written::kUnwritable;
}

// Writes the colour image, or with `alpha` the alpha image, under `name`:
// a BMP, written as it is made, or a PNG, made whole in memory first.
Written WriteImage(const ConversionRequest& request, const std::string& name, const TextureData* texture, bool alpha,
                   Claim* claim)
{
    if (!request.png) {
        const BMPWriter writer = alpha ? WriteAlphaBMP : WriteColorBMP;
        return WriteOutput(request, name, BMPFileSize(texture->width, texture->height), claim, [&](std::FILE* stream) {
            writer(stream, texture->width, texture->height, texture->pixels);
        });
    }
    ByteBuffer bytes;
    Written written = Written::kTooLarge;
    if (MakePNG(alpha ? PngImage::kAlpha : PngImage::kColour, texture->width, texture->height, texture->pixels,
                request.smallest ? PngEffort::kSmallest : PngEffort::kDefault, &bytes)) {
        written = WriteOutput(request, name, bytes.size, claim,
                              [&](std::FILE* stream) { std::fwrite(bytes.bytes, 1, bytes.size, stream); });
    }
    FreeBuffer(&bytes);
    return written;
}

// What a run does with what it has read: the status, and the files it
// holds open closed. Every path through ConvertTexture ends here.
struct Run {
    const ConversionRequest* request;
    ConversionReport* report;
    std::FILE* texture_file = nullptr;
    TextureData texture{};
};

int End(Run* run, int status)
{
    if (run->texture_file != nullptr) {
        std::fclose(run->texture_file);
        run->texture_file = nullptr;
    }
    std::free(run->texture.pixels);
    run->texture.pixels = nullptr;
    return run->report->status = status;
}

int ReadError(Run* run, const std::string& name)
{
    Say(&run->report->out, "ERROR: cannot read file %s\n", name.c_str());
    return End(run, kReadError);
}

// A file that ends early converts as the format says, the missing bytes
// read as 0; it is said once, on standard error.
void WarnOfShortFile(Run* run, std::uint64_t header_missing, std::uint64_t texels_missing)
{
    const char* name = run->request->texture.c_str();
    if (header_missing > 0) {
        Say(&run->report->err, "kestrune: warning: %s ends inside its header\n", name);
    } else if (texels_missing > 0) {
        Say(&run->report->err, "kestrune: warning: %s ends %llu bytes short of its texels\n", name,
            static_cast<unsigned long long>(texels_missing));
    }
}

// The palette of an indexed texture, into its record.
int ReadPalette(Run* run)
{
    const ConversionRequest& request = *run->request;
    if (request.palette.empty()) {
        if (request.batch) {
            Say(&run->report->out, "ERROR: no palette file specified for %s\n", request.texture.c_str());
        } else {
            Say(&run->report->out, "ERROR: no palette file specified\n");
        }
        return End(run, kNoPaletteName);
    }
    std::FILE* palette_file = OpenInput(request.palette, request.guarded);
    if (palette_file == nullptr) {
        Say(&run->report->out, "ERROR: cannot open file %s\n", request.palette.c_str());
        return End(run, kPaletteUnreadable);
    }
    static_assert(sizeof(FileInput) < 128 * 1024, "two readers live on the stack");
    FileInput palette_in;
    BeginInput(&palette_in, palette_file);
    const int found = ReadBRPLT(&palette_in, &run->texture);
    std::fclose(palette_file);
    if (palette_in.failed) {
        return ReadError(run, request.palette);
    }
    if (!found) {
        Say(&run->report->out, "ERROR: %s is not a valid BRPLT file\n", request.palette.c_str());
        return End(run, kNotBRPLT);
    }
    return kConverted;
}

// The colour image, then with "-a" the alpha image; each announced once
// written whole.
int WriteImages(Run* run)
{
    const ConversionRequest& request = *run->request;
    if (request.png && (run->texture.width == 0 || run->texture.height == 0)) {
        Say(&run->report->out, "ERROR: %s has no pixels to put in a PNG\n", request.texture.c_str());
        return End(run, kTooLarge);
    }
    const char* ending = request.png ? ".png" : ".bmp";
    for (const bool alpha : {false, true}) {
        if (alpha && !request.alpha) {
            break;
        }
        const std::string name = request.stem + (alpha ? "_alpha" : "") + ending;
        const std::string shown = ShownName(request.folder, name);
        Claim claim{request.claims, request.texture, ""};
        const Written written = WriteImage(request, name, &run->texture, alpha, &claim);
        if (written == Written::kHeld) {
            Say(&run->report->out, "ERROR: %s and %s would both write %s\n", claim.holder.c_str(), request.texture.c_str(),
                shown.c_str());
            return End(run, alpha ? kAlphaUnwritable : kColourUnwritable);
        }
        if (written == Written::kTooLarge) {
            Say(&run->report->out, "ERROR: %s is too large to convert\n", request.texture.c_str());
            return End(run, kTooLarge);
        }
        if (written == Written::kUnwritable) {
            Say(&run->report->out, "ERROR: cannot write file %s\n", shown.c_str());
            return End(run, alpha ? kAlphaUnwritable : kColourUnwritable);
        }
        if (!request.quiet) {
            Say(&run->report->out, "File %s written\n", shown.c_str());
        }
    }
    return End(run, kConverted);
}

int Convert(Run* run)
{
    const ConversionRequest& request = *run->request;
    run->texture_file = OpenInput(request.texture, request.guarded);
    if (run->texture_file == nullptr) {
        Say(&run->report->out, "ERROR: cannot open file %s\n", request.texture.c_str());
        return End(run, kTextureUnreadable);
    }
    FileInput texture_in;
    BeginInput(&texture_in, run->texture_file);
    const int found = ReadBRTEX(&texture_in, &run->texture);
    if (texture_in.failed) {
        return ReadError(run, request.texture);
    }
    if (!found) {
        Say(&run->report->out, "ERROR: %s is not a valid BRTEX file\n", request.texture.c_str());
        return End(run, kNotBRTEX);
    }
    const std::uint64_t header_missing = texture_in.missing;
    if (NeedsPalette(run->texture.format) && ReadPalette(run) != kConverted) {
        return run->report->status;
    }
    run->texture.pixels = AllocatePixels(&run->texture);
    if (run->texture.pixels == nullptr) {
        Say(&run->report->out, "ERROR: %s is too large to convert\n", request.texture.c_str());
        return End(run, kTooLarge);
    }
    ReadTexture(&texture_in, &run->texture);
    std::fclose(run->texture_file);
    run->texture_file = nullptr;
    if (texture_in.failed) {
        return ReadError(run, request.texture);
    }
    WarnOfShortFile(run, header_missing, texture_in.missing - header_missing);
    return WriteImages(run);
}

} // namespace

std::string ShownName(const OutputFolder* folder, const std::string& name)
{
    return folder == nullptr ? name : JoinNames(folder->name, name);
}

void ConvertTexture(const ConversionRequest* request, ConversionReport* report)
{
    *report = ConversionReport{};
    Run run{request, report};
    Convert(&run);
}

namespace {

// A texture's header lies in its first bytes where it is written as
// usual; a longer part is read only for one whose section lies further in.
constexpr std::size_t kHeaderPart = 4096;

// The facts of the texture `file` holds, read from as little of it as
// tells them: KESTRUNE_OK, KESTRUNE_NOT_BRTEX, or -1 where it cannot be
// read or the part cannot be held.
int ReadFacts(std::FILE* file, kestrune_facts* facts)
{
    std::uint64_t size = 0;
    if (!InputSize(file, &size)) {
        return -1;
    }
    unsigned char* part = nullptr;
    std::size_t had = 0;
    int result = KESTRUNE_NOT_BRTEX;
    for (std::uint64_t want = kHeaderPart; had < size && result != KESTRUNE_OK; want *= 2) {
        const std::uint64_t take = want < size ? want : size;
        auto* grown = take <= SIZE_MAX ? static_cast<unsigned char*>(std::realloc(part, static_cast<std::size_t>(take))) : nullptr;
        if (grown == nullptr) {
            result = -1;
            break;
        }
        part = grown;
        const std::size_t got = std::fread(part + had, 1, static_cast<std::size_t>(take) - had, file);
        if (std::ferror(file)) {
            result = -1;
            break;
        }
        had += got;
        size = had < take ? had : size; // a file that shrank since: what is there
        result = kestrune_read_facts_prefix(part, had, size, facts);
    }
    std::free(part);
    return result == KESTRUNE_SHORT_PREFIX ? KESTRUNE_NOT_BRTEX : result;
}

} // namespace

bool DescribeTexture(const std::string& name, const std::string& palette, bool guarded, std::string* fields)
{
    fields->clear();
    std::FILE* file = OpenInput(name, guarded);
    if (file == nullptr) {
        Say(fields, "ERROR: cannot open file %s", name.c_str());
        return false;
    }
    kestrune_facts facts{};
    const int result = ReadFacts(file, &facts);
    std::fclose(file);
    if (result != KESTRUNE_OK) {
        Say(fields, result == KESTRUNE_NOT_BRTEX ? "ERROR: %s is not a valid BRTEX file" : "ERROR: cannot read file %s",
            name.c_str());
        return false;
    }
    const char* format = kestrune_format_name(facts.format);
    Say(fields, "%u\t%u\t", facts.width, facts.height);
    if (format != nullptr) {
        Say(fields, "%s\t", format);
    } else {
        Say(fields, "code %u\t", facts.format);
    }
    fields->append(facts.needs_palette == 0 ? "-" : palette.empty() ? "none" : Escaped(palette));
    if (facts.header_cut != 0) {
        fields->append("\theader");
    } else {
        Say(fields, "\t%llu", static_cast<unsigned long long>(facts.missing));
    }
    return true;
}

std::string Escaped(const std::string& name)
{
    std::string escaped;
    for (const char c : name) {
        escaped += c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\\' ? "\\\\" : std::string(1, c);
    }
    return escaped;
}
