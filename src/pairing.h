// The rules by which names pair: which files are textures and palettes,
// the palette a texture takes among the names beside it, and the stem its
// outputs are named by. The tool, its batch, the library and the page all
// pair by these.
#pragma once

#include <string>
#include <vector>

// Whether a file's name marks a texture: it ends in ".brtex", in any case;
// or a palette: ".brplt".
bool IsTextureName(const std::string& name);
bool IsPaletteName(const std::string& name);

// The palette beside the texture `name` among the names of its folder, in
// byte order: STEM.brplt, STEM being the name without a final ".brtex" in
// any case, spelt exactly so, else with ".brplt" in any case, the first;
// empty when there is none.
std::string PaletteBeside(const std::string& name, const std::vector<std::string>& folder);

// The texture's name without a final ".brtex" in exactly those letters,
// keeping any folder part: what its outputs are named by.
std::string OutputStem(const std::string& texture_name);
