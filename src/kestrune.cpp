// kestrune: converts one BRTEX texture into a 24-bit colour BMP and, with
// "-a", a grey BMP of its alpha channel, written beside the input.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bmp.h"
#include "containers.h"
#include "texels.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

#ifdef __MINGW32__
// Ask the runtime to expand wildcards on the command line before main runs,
// as a Windows shell does not.
int _dowildcard = -1;
#endif

namespace fs = std::filesystem;

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

// Writes the image through `file` and closes it; false if any write, the
// flush of the last buffered bytes or the close failed.
bool WriteAndClose(std::FILE* file, BMPWriter writer, const TextureData* texture)
{
    // The writer hands over whole 64 KiB buffers; through the stream's own
    // smaller buffer each would cost two system calls instead of one.
    std::setvbuf(file, nullptr, _IONBF, 0);
    writer(file, texture->width, texture->height, texture->pixels);
    const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
    return std::fclose(file) == 0 && written;
}

// A file name as the library's path. Names reach main as UTF-8 on Windows
// (the manifest sets the code page) and as plain bytes elsewhere.
fs::path PathOf(const std::string& name)
{
    return fs::path(std::u8string(name.begin(), name.end()));
}

// Creates a file that did not exist, for writing, with the permissions a
// new file gets; nullptr if the name is taken or the file cannot be made.
std::FILE* CreateNew(const fs::path& path)
{
#ifdef _WIN32
    const int fd = _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    return fd < 0 ? nullptr : _fdopen(fd, "wb");
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

// A new file beside `target`, under a name that no existing file has.
std::FILE* CreateTemporary(const fs::path& target, fs::path* temporary)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = target.parent_path() / (".kestrune-" + std::to_string(attempt) + ".tmp");
        if (std::FILE* file = CreateNew(*temporary)) {
            return file;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return nullptr;
}

// Writes an output so that its name only ever shows a whole BMP: the bytes
// go to a temporary file in the same directory, which replaces the name once
// it is written, flushed and closed; on failure it is removed and the name
// keeps what it held. A replaced file's permissions carry over. A name that
// is a link, a device or anything else but a regular file is written
// through in place, as the user pointed it there.
bool WriteOutput(const std::string& name, BMPWriter writer, const TextureData* texture)
{
    const fs::path target = PathOf(name);
    std::error_code error;
    const fs::file_status old = fs::symlink_status(target, error);
    if (fs::exists(old) && !fs::is_regular_file(old)) {
        std::FILE* file = std::fopen(name.c_str(), "wb");
        return file != nullptr && WriteAndClose(file, writer, texture);
    }
    fs::path temporary;
    std::FILE* file = CreateTemporary(target, &temporary);
    if (file == nullptr) {
        return false;
    }
    if (fs::exists(old)) {
        fs::permissions(temporary, old.permissions(), error);
    }
    bool written = WriteAndClose(file, writer, texture);
    if (written) {
        fs::rename(temporary, target, error);
        written = !error;
    }
    if (!written) {
        fs::remove(temporary, error);
    }
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

} // namespace

int main(int argc, char** argv)
{
    std::printf("BRTEX to BMP convertor\n\n");
    if (argc < 2) {
        std::printf("syntax:\n");
        std::printf(">kestrune [-a] <filename> [<palette filename>]\n");
        std::printf("-a : export alpha channel\n");
        return kUsage;
    }

    bool export_alpha = false;
    const char* texture_name = nullptr;
    const char* palette_name = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "-a") {
            export_alpha = true;
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

    if (texture.format == kCI4 || texture.format == kCI8) {
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

    const std::string stem = OutputStem(texture_name);
    const std::string colour_name = stem + ".bmp";
    if (!WriteOutput(colour_name, WriteColorBMP, &texture)) {
        std::printf("ERROR: cannot write file %s\n", colour_name.c_str());
        std::free(texture.pixels);
        return kColourUnwritable;
    }
    std::printf("File %s written\n", colour_name.c_str());

    if (export_alpha) {
        const std::string alpha_name = stem + "_alpha.bmp";
        if (!WriteOutput(alpha_name, WriteAlphaBMP, &texture)) {
            std::printf("ERROR: cannot write file %s\n", alpha_name.c_str());
            std::free(texture.pixels);
            return kAlphaUnwritable;
        }
        std::printf("File %s written\n", alpha_name.c_str());
    }
    std::free(texture.pixels);
    return kConverted;
}
