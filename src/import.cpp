#include "import.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "containers.h"
#include "kestrune.h"
#include "png_read.h"
#include "texels.h"

namespace {

// Bytes in one block of memory, freed with the record.
struct Bytes {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    ~Bytes() { std::free(data); }
};

// A whole file into memory: kConverted, kReadError, or kTooLarge where the
// memory is not there. The block doubles as it fills, so a file of any
// length costs at most twice its length, and a failure is answered.
int ReadWhole(std::FILE* file, Bytes* bytes)
{
    std::size_t capacity = 0;
    for (;;) {
        if (bytes->size == capacity) {
            capacity = capacity == 0 ? 64 * 1024 : 2 * capacity;
            void* grown = capacity > bytes->size ? std::realloc(bytes->data, capacity) : nullptr;
            if (grown == nullptr) {
                return kTooLarge;
            }
            bytes->data = static_cast<std::uint8_t*>(grown);
        }
        const std::size_t got = std::fread(bytes->data + bytes->size, 1, capacity - bytes->size, file);
        if (got == 0) {
            return std::ferror(file) == 0 ? kConverted : kReadError;
        }
        bytes->size += got;
    }
}

// `size` bytes, uninitialised; false where the memory is not there.
bool Allocate(Bytes* bytes, std::size_t size)
{
    bytes->data = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(size, 1)));
    bytes->size = bytes->data == nullptr ? 0 : size;
    return bytes->data != nullptr;
}

// An input read whole, or the status that says why it was not.
int ReadInput(const std::string& name, bool guarded, Bytes* bytes, int unopened, std::string* out)
{
    std::FILE* file = OpenInput(name, guarded);
    if (file == nullptr) {
        Say(out, "ERROR: cannot open file %s\n", name.c_str());
        return unopened;
    }
    const int read = ReadWhole(file, bytes);
    std::fclose(file);
    if (read == kReadError) {
        Say(out, "ERROR: cannot read file %s\n", name.c_str());
    } else if (read == kTooLarge) {
        Say(out, "ERROR: %s is too large to convert\n", name.c_str());
    }
    return read;
}

// The image's pixels, malloc'd, freed with the record.
struct Pixels {
    RgbaPixel* pixels = nullptr;
    std::size_t count = 0;
    ~Pixels() { std::free(pixels); }
};

// The image's pixels, where it is a PNG of the texture's size.
int ReadImage(const ImportRequest& request, const kestrune_facts& facts, Pixels* pixels, std::string* out)
{
    std::FILE* file = OpenInput(request.image, request.guarded);
    PngReader reader;
    int status = kConverted;
    if (file == nullptr || !OpenPNG(&reader, file)) {
        status = kImageUnreadable;
    } else if (reader.width != facts.width || reader.height != facts.height) {
        Say(out, "ERROR: %s is %ux%u and %s is %ux%u\n", request.image.c_str(), reader.width, reader.height,
            request.texture.c_str(), facts.width, facts.height);
        status = kImageSizeDiffers;
    } else {
        // The size was checked against the texture's, at most 65535 a side;
        // the memory may still not be there.
        pixels->count = std::size_t{reader.width} * reader.height;
        pixels->pixels = static_cast<RgbaPixel*>(std::malloc(std::max<std::size_t>(pixels->count, 1) * sizeof(RgbaPixel)));
        if (pixels->pixels == nullptr) {
            status = kTooLarge;
        } else {
            const PngPixels read = ReadPNGPixels(&reader, pixels->pixels);
            status = read == PngPixels::kRead ? kConverted : read == PngPixels::kNoMemory ? kTooLarge : kImageUnreadable;
        }
    }
    ClosePNG(&reader);
    if (file != nullptr) {
        std::fclose(file);
    }
    if (status == kImageUnreadable) {
        Say(out, "ERROR: cannot read image %s\n", request.image.c_str());
    } else if (status == kTooLarge) {
        Say(out, "ERROR: %s is too large to convert\n", request.texture.c_str());
    }
    return status;
}

// The template extended with zeros where it ends before its texel data
// does, as the decoder reads it; false where the memory is not there.
bool HoldsTexelData(const kestrune_facts& facts, Bytes* texture)
{
    if (facts.texel_length > SIZE_MAX - facts.texel_offset) {
        return false;
    }
    const std::size_t end = facts.texel_offset + facts.texel_length;
    if (texture->size >= end) {
        return true;
    }
    void* grown = std::realloc(texture->data, end);
    if (grown == nullptr) {
        return false;
    }
    texture->data = static_cast<std::uint8_t*>(grown);
    std::memset(texture->data + texture->size, 0, end - texture->size);
    texture->size = end;
    return true;
}

// The palette of an indexed texture, as a conversion takes it.
int ReadPalette(const ImportRequest& request, Bytes* palette, std::string* out)
{
    if (request.palette.empty()) {
        Say(out, "ERROR: no palette file specified\n");
        return kNoPaletteName;
    }
    const int status = ReadInput(request.palette, request.guarded, palette, kPaletteUnreadable, out);
    if (status == kConverted && kestrune_check_palette(palette->data, palette->size) != KESTRUNE_OK) {
        Say(out, "ERROR: %s is not a valid BRPLT file\n", request.palette.c_str());
        return kNotBRPLT;
    }
    return status;
}

int Import(const ImportRequest& request, std::string* out, std::string* err)
{
    Bytes texture, palette;
    int status = ReadInput(request.texture, request.guarded, &texture, kTextureUnreadable, out);
    kestrune_facts facts;
    if (status != kConverted) {
        return status;
    }
    if (kestrune_read_facts(texture.data, texture.size, &facts) != KESTRUNE_OK) {
        Say(out, "ERROR: %s is not a valid BRTEX file\n", request.texture.c_str());
        return kNotBRTEX;
    }
    if (FormatName(facts.format) == nullptr) {
        Say(out, "ERROR: %s has a format the tool cannot encode\n", request.texture.c_str());
        return kCannotEncode;
    }
    if (facts.needs_palette && (status = ReadPalette(request, &palette, out)) != kConverted) {
        return status;
    }
    Pixels pixels;
    if ((status = ReadImage(request, facts, &pixels, out)) != kConverted) {
        return status;
    }
    // The new texture: the template's bytes with its texel data replaced.
    // A template that ends inside its texel data is read as the decoder
    // reads it, past the end as 0, and the new texture holds the texel data
    // whole.
    Bytes texels;
    std::uint64_t inexact = 0;
    const bool held = Allocate(&texels, facts.texel_length) && HoldsTexelData(facts, &texture);
    if (!held ||
        kestrune_encode_rgba(texture.data, texture.size, palette.data, palette.size,
                             reinterpret_cast<const unsigned char*>(pixels.pixels), 4 * pixels.count,
                             4 * std::size_t{facts.width}, texels.data, texels.size, &inexact) != KESTRUNE_OK) {
        Say(out, "ERROR: %s is too large to convert\n", request.texture.c_str());
        return kTooLarge;
    }
    if (facts.needs_palette && inexact > 0) {
        if (inexact == 1) {
            Say(err, "kestrune: warning: 1 texel of %s is not in %s; the nearest entry was used\n", request.image.c_str(),
                request.palette.c_str());
        } else {
            Say(err, "kestrune: warning: %llu texels of %s are not in %s; the nearest entries were used\n",
                static_cast<unsigned long long>(inexact), request.image.c_str(), request.palette.c_str());
        }
    }
    const std::size_t end = facts.texel_offset + texels.size;
    Output output;
    const std::string shown = ShownName(request.folder, request.output);
    Claim claim{request.claims, request.image, ""};
    if (!OpenOutput(&output, request.folder, request.output.c_str(), texture.size, request.claims == nullptr ? nullptr : &claim)) {
        if (!claim.holder.empty()) {
            Say(out, "ERROR: %s and %s would both write %s\n", claim.holder.c_str(), request.image.c_str(), shown.c_str());
        } else {
            Say(out, "ERROR: cannot write file %s\n", shown.c_str());
        }
        return kColourUnwritable;
    }
    std::fwrite(texture.data, 1, facts.texel_offset, output.stream);
    std::fwrite(texels.data, 1, texels.size, output.stream);
    std::fwrite(texture.data + end, 1, texture.size - end, output.stream);
    if (!CloseOutput(&output)) {
        Say(out, "ERROR: cannot write file %s\n", shown.c_str());
        return kColourUnwritable;
    }
    if (!request.quiet) {
        Say(out, "File %s written\n", shown.c_str());
    }
    return kConverted;
}

} // namespace

void ImportTexture(const ImportRequest* request, ConversionReport* report)
{
    report->status = Import(*request, &report->out, &report->err);
}
