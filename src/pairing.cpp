#include "pairing.h"

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

bool EndsWithAnyCase(const std::string& name, const std::string& ending)
{
    return name.size() >= ending.size() && Lower(name.substr(name.size() - ending.size())) == ending;
}

} // namespace

bool IsTextureName(const std::string& name)
{
    return EndsWithAnyCase(name, ".brtex");
}

bool IsPaletteName(const std::string& name)
{
    return EndsWithAnyCase(name, ".brplt");
}

std::string PaletteBeside(const std::string& name, const std::vector<std::string>& folder)
{
    const std::string stem = IsTextureName(name) ? name.substr(0, name.size() - 6) : name;
    const std::string exact = stem + ".brplt";
    std::string any_case;
    for (const std::string& entry : folder) {
        if (entry == exact) {
            return entry;
        }
        if (any_case.empty() && entry.size() == exact.size() && entry.compare(0, stem.size(), stem) == 0 &&
            IsPaletteName(entry)) {
            any_case = entry;
        }
    }
    return any_case;
}

std::string OutputStem(const std::string& texture_name)
{
    static const std::string kExtension = ".brtex";
    const std::size_t n = texture_name.size();
    if (n > kExtension.size() && texture_name.compare(n - kExtension.size(), kExtension.size(), kExtension) == 0) {
        return texture_name.substr(0, n - kExtension.size());
    }
    return texture_name;
}
