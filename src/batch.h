// A batch: every texture in the folders and files a command line gives,
// each converted as a single run converts it, on several threads, its
// lines printed in the order the textures were found, then a count.
#pragma once

#include <string>
#include <vector>

#include "command_line.h"

// Runs the batch `line` describes and gives its exit status: 0 when every
// texture converted, 13 when any failed, 2 when none was found.
int RunBatch(const CommandLine& line);

// Whether a file's name marks a texture: it ends in ".brtex", in any case;
// or a palette: ".brplt".
bool IsTextureName(const std::string& name);
bool IsPaletteName(const std::string& name);

// The palette beside the texture `name` among the names of its folder:
// STEM.brplt, STEM being the name without a final ".brtex" in any case,
// spelt exactly so, else with ".brplt" in any case, the first in byte
// order; empty when there is none.
std::string PaletteBeside(const std::string& name, const std::vector<std::string>& folder);
