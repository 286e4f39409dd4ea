// What --import does with an image, on any bytes: the PNG reader (libspng)
// on the first part of the input, split as the other targets split theirs,
// and where it gives pixels, the encoder on them into a texture of their
// size in the format the last byte names, which then decodes to pixels the
// format holds. Never a crash, nor a read or write past a buffer.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "kestrune.h"
#include "png_read.h"
#include "texture_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const FuzzFiles files = SplitFuzzInput(data, size);
    std::FILE* file = OpenMemory(files.texture, files.texture_size);
    PngReader reader;
    std::vector<RgbaPixel> pixels;
    // Small images only, so that each run stays quick.
    const bool read = file != nullptr && OpenPNG(&reader, file) && std::size_t{reader.width} * reader.height <= 65536 &&
                      (pixels.resize(std::size_t{reader.width} * reader.height), ReadPNGPixels(&reader, pixels.data()) == PngPixels::kRead);
    ClosePNG(&reader);
    if (file != nullptr) {
        std::fclose(file);
    }
    if (!read) {
        return 0;
    }
    static const std::uint32_t kFormats[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 14};
    const std::uint32_t format = kFormats[(size > 0 ? data[size - 1] : 0) % 10];
    const Bytes palette = MakeBRPLT(2, 16, Bytes(files.palette, files.palette + std::min<std::size_t>(files.palette_size, 32)));
    const Bytes texture = MakeBRTEX(static_cast<std::uint16_t>(reader.width), static_cast<std::uint16_t>(reader.height), format, {});
    kestrune_facts facts;
    if (kestrune_read_facts(texture.data(), texture.size(), &facts) != KESTRUNE_OK) {
        std::abort();
    }
    Bytes made(texture.begin(), texture.end());
    made.resize(facts.texel_offset + facts.texel_length, 0);
    const std::size_t stride = 4 * std::size_t{reader.width};
    if (kestrune_encode_rgba(texture.data(), texture.size(), palette.data(), palette.size(),
                             reinterpret_cast<const unsigned char*>(pixels.data()), 4 * pixels.size(), stride,
                             made.data() + facts.texel_offset, facts.texel_length, nullptr) != KESTRUNE_OK) {
        std::abort();
    }
    std::vector<unsigned char> back(4 * pixels.size());
    if (kestrune_decode_rgba(made.data(), made.size(), palette.data(), palette.size(), back.data(), back.size(), stride) !=
        KESTRUNE_OK) {
        std::abort();
    }
    // Encoded again from what it decoded to, a texture is what it was.
    std::vector<unsigned char> again(facts.texel_length);
    kestrune_encode_rgba(made.data(), made.size(), palette.data(), palette.size(), back.data(), back.size(), stride, again.data(),
                         again.size(), nullptr);
    if (!std::equal(again.begin(), again.end(), made.begin() + static_cast<std::ptrdiff_t>(facts.texel_offset))) {
        std::abort();
    }
    return 0;
}
