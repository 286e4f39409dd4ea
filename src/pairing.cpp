#include "pairing.h"

#include <cstring>

namespace {

constexpr std::size_t kEndingLength = 6; // ".brtex" and ".brplt" alike

// Whether the `length` bytes at `name` end in `ending` (lower case) in any
// case.
bool EndsWithAnyCase(const char* name, std::size_t length, const char* ending)
{
    const std::size_t size = std::strlen(ending);
    if (length < size) {
        return false;
    }
    const char* tail = name + length - size;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? static_cast<char>(tail[i] - 'A' + 'a') : tail[i];
        if (c != ending[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool IsTextureName(const std::string& name)
{
    return EndsWithAnyCase(name.data(), name.size(), ".brtex");
}

bool IsPaletteName(const std::string& name)
{
    return EndsWithAnyCase(name.data(), name.size(), ".brplt");
}

bool IsPngName(const std::string& name)
{
    return EndsWithAnyCase(name.data(), name.size(), ".png");
}

long PaletteIndex(const char* name, const char* const* names, std::size_t count)
{
    const std::size_t length = std::strlen(name);
    const std::size_t stem = EndsWithAnyCase(name, length, ".brtex") ? length - kEndingLength : length;
    long any_case = -1;
    for (std::size_t i = 0; i < count; ++i) {
        const char* entry = names[i];
        if (entry == nullptr || std::strlen(entry) != stem + kEndingLength || std::memcmp(entry, name, stem) != 0 ||
            !EndsWithAnyCase(entry, stem + kEndingLength, ".brplt")) {
            continue;
        }
        if (std::memcmp(entry + stem, ".brplt", kEndingLength) == 0) {
            return static_cast<long>(i);
        }
        if (any_case < 0 || std::strcmp(entry, names[any_case]) < 0) {
            any_case = static_cast<long>(i);
        }
    }
    return any_case;
}

std::string PaletteBeside(const std::string& name, const std::vector<std::string>& folder)
{
    std::vector<const char*> names;
    names.reserve(folder.size());
    for (const std::string& entry : folder) {
        names.push_back(entry.c_str());
    }
    const long chosen = PaletteIndex(name.c_str(), names.data(), names.size());
    return chosen < 0 ? std::string() : folder[static_cast<std::size_t>(chosen)];
}

std::size_t OutputStemLength(const char* texture_name, std::size_t length)
{
    return length > kEndingLength && std::memcmp(texture_name + length - kEndingLength, ".brtex", kEndingLength) == 0
               ? length - kEndingLength
               : length;
}

std::string OutputStem(const std::string& texture_name)
{
    return texture_name.substr(0, OutputStemLength(texture_name.data(), texture_name.size()));
}

std::string TextureOfStem(const std::string& stem)
{
    if (OutputStemLength(stem.data(), stem.size()) < stem.size() || !IsTextureName(stem)) {
        return stem + ".brtex";
    }
    return stem;
}
