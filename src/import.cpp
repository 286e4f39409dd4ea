#include "import.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "containers.h"
#include "kestrune.h"
#include "png_read.h"
#include "texels.h"

namespace {

// A whole file into memory; false on a read error.
bool ReadWhole(std::FILE* file, std::vector<std::uint8_t>* bytes)
{
    std::uint8_t chunk[64 * 1024];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    return std::ferror(file) == 0;
}

// An input read whole, or the status that says why it was not.
int ReadInput(const std::string& name, bool guarded, std::vector<std::uint8_t>* bytes, int unopened, std::string* out)
{
    std::FILE* file = OpenInput(name, guarded);
    if (file == nullptr) {
        Say(out, "ERROR: cannot open file %s\n", name.c_str());
        return unopened;
    }
    const bool read = ReadWhole(file, bytes);
    std::fclose(file);
    if (!read) {
        Say(out, "ERROR: cannot read file %s\n", name.c_str());
        return kReadError;
    }
    return kConverted;
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
            Say(out, "ERROR: %s is too large to convert\n", request.texture.c_str());
            status = kTooLarge;
        } else {
            status = ReadPNGPixels(&reader, pixels->pixels) ? kConverted : kImageUnreadable;
        }
    }
    ClosePNG(&reader);
    if (file != nullptr) {
        std::fclose(file);
    }
    if (status == kImageUnreadable) {
        Say(out, "ERROR: cannot read image %s\n", request.image.c_str());
    }
    return status;
}

// The palette of an indexed texture, as a conversion takes it.
int ReadPalette(const ImportRequest& request, std::vector<std::uint8_t>* palette, std::string* out)
{
    if (request.palette.empty()) {
        Say(out, "ERROR: no palette file specified\n");
        return kNoPaletteName;
    }
    const int status = ReadInput(request.palette, request.guarded, palette, kPaletteUnreadable, out);
    if (status == kConverted && kestrune_check_palette(palette->data(), palette->size()) != KESTRUNE_OK) {
        Say(out, "ERROR: %s is not a valid BRPLT file\n", request.palette.c_str());
        return kNotBRPLT;
    }
    return status;
}

int Import(const ImportRequest& request, std::string* out, std::string* err)
{
    std::vector<std::uint8_t> texture, palette;
    int status = ReadInput(request.texture, request.guarded, &texture, kTextureUnreadable, out);
    kestrune_facts facts;
    if (status != kConverted) {
        return status;
    }
    if (kestrune_read_facts(texture.data(), texture.size(), &facts) != KESTRUNE_OK) {
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
    // The new texture: the template's bytes, read as the decoder reads them
    // (past the end as 0), with its texel data replaced.
    const std::uint64_t end = facts.texel_offset + facts.texel_length;
    std::vector<std::uint8_t> made(texture);
    if (made.size() < end) {
        made.resize(end, 0);
    }
    std::uint64_t inexact = 0;
    const int encoded = kestrune_encode_rgba(texture.data(), texture.size(), palette.data(), palette.size(),
                                             reinterpret_cast<const unsigned char*>(pixels.pixels), 4 * pixels.count,
                                             4 * std::size_t{facts.width}, made.data() + facts.texel_offset,
                                             facts.texel_length, &inexact);
    if (encoded != KESTRUNE_OK) {
        Say(out, "ERROR: %s is too large to convert\n", request.texture.c_str());
        return kTooLarge;
    }
    if (facts.needs_palette && inexact > 0) {
        Say(err, "kestrune: warning: %llu texels of %s are not in %s; the nearest entries were used\n",
            static_cast<unsigned long long>(inexact), request.image.c_str(), request.palette.c_str());
    }
    Output output;
    const std::string shown = ShownName(request.folder, request.output);
    Claim claim{request.claims, request.image, ""};
    if (!OpenOutput(&output, request.folder, request.output.c_str(), made.size(), request.claims == nullptr ? nullptr : &claim)) {
        if (!claim.holder.empty()) {
            Say(out, "ERROR: %s and %s would both write %s\n", claim.holder.c_str(), request.image.c_str(), shown.c_str());
        } else {
            Say(out, "ERROR: cannot write file %s\n", shown.c_str());
        }
        return kColourUnwritable;
    }
    std::fwrite(made.data(), 1, made.size(), output.stream);
    if (!CloseOutput(&output)) {
        Say(out, "ERROR: cannot write file %s\n", shown.c_str());
        return kColourUnwritable;
    }
    Say(out, "File %s written\n", shown.c_str());
    return kConverted;
}

} // namespace

void ImportTexture(const ImportRequest* request, ConversionReport* report)
{
    report->status = Import(*request, &report->out, &report->err);
}
