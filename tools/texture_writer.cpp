#include "texture_writer.h"

namespace {

constexpr std::uint8_t kFiller = 0xA5;

void Put16(Bytes* out, std::uint32_t v)
{
    out->push_back(static_cast<std::uint8_t>(v >> 8));
    out->push_back(static_cast<std::uint8_t>(v));
}

void Put32(Bytes* out, std::uint32_t v)
{
    Put16(out, v >> 16);
    Put16(out, v & 0xFFFF);
}

void PutFiller(Bytes* out, std::size_t count)
{
    out->insert(out->end(), count, kFiller);
}

void PutMagic(Bytes* out, const char* magic)
{
    out->insert(out->end(), magic, magic + 4);
}

} // namespace

Bytes MakeBRTEX(std::uint16_t width, std::uint16_t height, std::uint32_t format, const Bytes& texels,
                std::size_t leading)
{
    Bytes out(leading, kFiller);
    PutMagic(&out, "TEX0");
    Put32(&out, static_cast<std::uint32_t>(64 + texels.size()));
    PutFiller(&out, 20);
    Put16(&out, width);
    Put16(&out, height);
    Put32(&out, format);
    PutFiller(&out, 28);
    out.insert(out.end(), texels.begin(), texels.end());
    return out;
}

Bytes MakeBRPLT(std::uint32_t entry_format, std::uint16_t count, const Bytes& entries, std::size_t leading)
{
    Bytes out(leading, kFiller);
    PutMagic(&out, "PLT0");
    PutFiller(&out, 20);
    Put32(&out, entry_format);
    Put16(&out, count);
    PutFiller(&out, 34);
    out.insert(out.end(), entries.begin(), entries.end());
    return out;
}

Bytes Words(const std::vector<std::uint16_t>& words)
{
    Bytes out;
    for (std::uint16_t w : words) {
        Put16(&out, w);
    }
    return out;
}

std::FILE* OpenBytes(const Bytes& bytes)
{
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        return nullptr;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool WriteFile(const std::string& path, const Bytes& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = (std::fclose(file) == 0) && ok;
    return ok;
}

Bytes EncodeRGBA8(std::uint16_t width, std::uint16_t height, const Bytes& rgba)
{
    Bytes out;
    for (int ty = 0; ty < height; ty += 4) {
        for (int tx = 0; tx < width; tx += 4) {
            for (int pass = 0; pass < 2; ++pass) {
                for (int y = ty; y < ty + 4 && y < height; ++y) {
                    for (int x = tx; x < tx + 4 && x < width; ++x) {
                        const std::uint8_t* p = &rgba[4 * (static_cast<std::size_t>(y) * width + x)];
                        out.push_back(pass == 0 ? p[3] : p[1]);
                        out.push_back(pass == 0 ? p[0] : p[2]);
                    }
                }
            }
        }
    }
    return out;
}
