// The rules by which names pair: which files are textures and palettes,
// the palette a texture takes among the names beside it, and the stem its
// outputs are named by. The tool, its batch, the library and the page all
// pair by these. The rules themselves work on the names where they lie and
// allocate nothing, so that the library can offer them as they are.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Whether a file's name marks a texture: it ends in ".brtex", in any case;
// a palette: ".brplt"; a PNG: ".png".
bool IsTextureName(const std::string& name);
bool IsPaletteName(const std::string& name);
bool IsPngName(const std::string& name);

// Which of `count` names, in any order, the texture `name` takes as its
// palette: STEM.brplt, STEM being the name without a final ".brtex" in any
// case, spelt exactly so (the first such), else with ".brplt" in any case,
// the least in byte order. Gives its index, or -1 for none.
long PaletteIndex(const char* name, const char* const* names, std::size_t count);

// The same among the names of a folder, giving the name; empty for none.
std::string PaletteBeside(const std::string& name, const std::vector<std::string>& folder);

// The length of the texture's name without a final ".brtex" in exactly
// those letters, and that name, keeping any folder part: what its outputs
// are named by.
std::size_t OutputStemLength(const char* texture_name, std::size_t length);
std::string OutputStem(const std::string& texture_name);

// The texture an output's stem was named by: OutputStem undone. A stem
// that ends in ".brtex" in exactly those letters can only come of a name
// with that ending twice; one that ends so in another case is the
// texture's whole name; any other stem takes ".brtex".
std::string TextureOfStem(const std::string& stem);
