// kestrune: converts one BRTEX texture into a 24-bit colour BMP and, with
// "-a", a grey BMP of its alpha channel, written beside the input; with
// "--png", into a PNG with its alpha and, with "-a", a grey PNG of it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bmp.h"
#include "containers.h"
#include "output.h"
#include "png.h"
#include "texels.h"

#ifdef __MINGW32__
// Ask the runtime to expand wildcards on the command line before main runs,
// as a Windows shell does not.
int _dowildcard = -1;
#endif

namespace {

enum ExitStatus {
    kConverted = 0,
    kUsage = 1,
    kNoTextureName = 2,
    kTextureUnreadable = 3,
    kNotBRTEX = 4,
    kNoPaletteName = 5,
    kPaletteUnreadable = 6,
    kNotBRPLT = 7,
    kColourUnwritable = 8,
    kAlphaUnwritable = 9,
    kTooLarge = 10,
    kReadError = 11,
    kStdoutUnwritable = 12,
};

// Opens a file for reading and makes sure it can be read: a directory opens
// on some systems but fails at its first read, and counts as not opened.
std::FILE* OpenInput(const char* name)
{
    std::FILE* file = std::fopen(name, "rb");
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

using BMPWriter = void (*)(std::FILE*, std::int32_t, std::int32_t, const RgbaPixel*);

// Writes `size` bytes under `name`, as `put` gives them to the stream;
// false when they could not be written whole, in which case the file under
// that name is as it was.
template <typename Put>
bool WriteOutput(const std::string& name, std::uint64_t size, Put put)
{
    Output output;
    if (!OpenOutput(&output, name.c_str(), size)) {
        return false;
    }
    put(output.stream);
    return CloseOutput(&output);
}

enum class Written { kWritten, kUnwritable, kTooLarge };

// Writes the colour image, or with `alpha` the alpha image, under `name`:
// a BMP, written as it is made, or a PNG, made whole in memory first.
Written WriteImage(const std::string& name, const TextureData* texture, bool alpha, bool png)
{
    if (!png) {
        const BMPWriter writer = alpha ? WriteAlphaBMP : WriteColorBMP;
        return WriteOutput(name, BMPFileSize(texture->width, texture->height), [&](std::FILE* stream) {
                   writer(stream, texture->width, texture->height, texture->pixels);
               })
                   ? Written::kWritten
                   : Written::kUnwritable;
    }
    ByteBuffer bytes;
    Written written = Written::kTooLarge;
    if (MakePNG(alpha ? PngImage::kAlpha : PngImage::kColour, texture->width, texture->height, texture->pixels, &bytes)) {
        written = WriteOutput(name, bytes.size, [&](std::FILE* stream) { std::fwrite(bytes.bytes, 1, bytes.size, stream); })
                      ? Written::kWritten
                      : Written::kUnwritable;
    }
    FreeBuffer(&bytes);
    return written;
}

// Ends a run whose input could not be read to its end.
int ReportReadError(const char* name)
{
    std::printf("ERROR: cannot read file %s\n", name);
    return kReadError;
}

// The texture name without a trailing ".brtex", keeping any directory part.
std::string OutputStem(const std::string& texture_name)
{
    static const std::string kExtension = ".brtex";
    const std::size_t n = texture_name.size();
    if (n > kExtension.size() && texture_name.compare(n - kExtension.size(), kExtension.size(), kExtension) == 0) {
        return texture_name.substr(0, n - kExtension.size());
    }
    return texture_name;
}

// What the command line asks for besides a conversion: "--version", or
// "--help" and "-h" for the usage text. Whichever comes first counts,
// wherever it stands.
enum class Request { kConvert, kVersion, kHelp };

Request RequestOf(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--version") {
            return Request::kVersion;
        }
        if (argument == "--help" || argument == "-h") {
            return Request::kHelp;
        }
    }
    return Request::kConvert;
}

// One run, up to its exit status.
int Convert(int argc, char** argv)
{
    const Request request = RequestOf(argc, argv);
    if (request == Request::kVersion) {
        std::printf("kestrune %s\n", KESTRUNE_VERSION);
        return kConverted;
    }
    std::printf("BRTEX to BMP convertor\n\n");
    if (request == Request::kHelp || argc < 2) {
        std::printf("syntax:\n");
        std::printf(">kestrune [-a] <filename> [<palette filename>]\n");
        std::printf("-a : export alpha channel\n");
        if (request != Request::kHelp) {
            return kUsage;
        }
        std::printf("--png : write PNGs, alpha included, instead of BMPs\n");
        std::printf("--help, -h : print this text\n");
        std::printf("--version : print the version\n");
        std::printf("CI4 and CI8 textures need the palette file; other formats ignore it.\n");
        std::printf("The BMPs go beside the texture: wood.brtex gives wood.bmp (-a: wood_alpha.bmp);\n");
        std::printf("with --png, wood.png (-a: wood_alpha.png, the alpha as grey).\n");
        std::printf("More: man kestrune, and the page kestrune.html in a browser.\n");
        return kConverted;
    }

    bool export_alpha = false, png = false;
    const char* texture_name = nullptr;
    const char* palette_name = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "-a") {
            export_alpha = true;
        } else if (std::string(argv[i]) == "--png") {
            png = true;
        } else if (texture_name == nullptr) {
            texture_name = argv[i];
        } else if (palette_name == nullptr) {
            palette_name = argv[i];
        }
    }
    if (texture_name == nullptr) {
        std::printf("ERROR: no file specified\n");
        return kNoTextureName;
    }

    std::FILE* texture_file = OpenInput(texture_name);
    if (texture_file == nullptr) {
        std::printf("ERROR: cannot open file %s\n", texture_name);
        return kTextureUnreadable;
    }
    static_assert(sizeof(InputStream) < 128 * 1024, "two readers live on the stack");
    InputStream texture_in;
    BeginInput(&texture_in, texture_file);
    TextureData texture{};
    const int found = ReadBRTEX(&texture_in, &texture);
    if (texture_in.failed) {
        std::fclose(texture_file);
        return ReportReadError(texture_name);
    }
    if (!found) {
        std::printf("ERROR: %s is not a valid BRTEX file\n", texture_name);
        std::fclose(texture_file);
        return kNotBRTEX;
    }

    if (NeedsPalette(texture.format)) {
        if (palette_name == nullptr) {
            std::printf("ERROR: no palette file specified\n");
            std::fclose(texture_file);
            return kNoPaletteName;
        }
        std::FILE* palette_file = OpenInput(palette_name);
        if (palette_file == nullptr) {
            std::printf("ERROR: cannot open file %s\n", palette_name);
            std::fclose(texture_file);
            return kPaletteUnreadable;
        }
        InputStream palette_in;
        BeginInput(&palette_in, palette_file);
        const int palette_found = ReadBRPLT(&palette_in, &texture);
        std::fclose(palette_file);
        if (palette_in.failed) {
            std::fclose(texture_file);
            return ReportReadError(palette_name);
        }
        if (!palette_found) {
            std::printf("ERROR: %s is not a valid BRPLT file\n", palette_name);
            std::fclose(texture_file);
            return kNotBRPLT;
        }
    }

    texture.pixels = AllocatePixels(&texture);
    if (texture.pixels == nullptr) {
        std::printf("ERROR: %s is too large to convert\n", texture_name);
        std::fclose(texture_file);
        return kTooLarge;
    }
    ReadTexture(&texture_in, &texture);
    std::fclose(texture_file);
    if (texture_in.failed) {
        std::free(texture.pixels);
        return ReportReadError(texture_name);
    }

    if (png && (texture.width == 0 || texture.height == 0)) {
        std::printf("ERROR: %s has no pixels to put in a PNG\n", texture_name);
        std::free(texture.pixels);
        return kTooLarge;
    }
    const std::string stem = OutputStem(texture_name);
    const char* ending = png ? ".png" : ".bmp";
    for (const bool alpha : {false, true}) {
        if (alpha && !export_alpha) {
            break;
        }
        const std::string name = stem + (alpha ? "_alpha" : "") + ending;
        const Written written = WriteImage(name, &texture, alpha, png);
        if (written != Written::kWritten) {
            if (written == Written::kTooLarge) {
                std::printf("ERROR: %s is too large to convert\n", texture_name);
            } else {
                std::printf("ERROR: cannot write file %s\n", name.c_str());
            }
            std::free(texture.pixels);
            return written == Written::kTooLarge ? kTooLarge : alpha ? kAlphaUnwritable : kColourUnwritable;
        }
        std::printf("File %s written\n", name.c_str());
    }
    std::free(texture.pixels);
    return kConverted;
}

} // namespace

int main(int argc, char** argv)
{
    GuardOutputs();
    const int status = Convert(argc, argv);
    // The messages are the run's report: where they could not all be
    // written (a full disk, a closed console), the run has failed, whatever
    // it did with the files, and standard error is left to say so.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fputs("kestrune: cannot write to standard output\n", stderr);
        return kStdoutUnwritable;
    }
    return status;
}
