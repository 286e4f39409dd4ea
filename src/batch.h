// A batch: every texture in the folders and files a command line gives,
// each converted as a single run converts it, on several threads, its
// lines printed in the order the textures were found, then a count.
#pragma once

#include "command_line.h"

// Runs the batch `line` describes and gives its exit status: 0 when every
// texture converted, 13 when any failed, 2 when none was found.
int RunBatch(const CommandLine& line);

// "--info": a line of facts for every texture the walk finds, in the order
// found; 13 where any path could not be read or was no texture, else 0.
int RunInfo(const CommandLine& line);

// The palette beside the texture `name` by the batch's rule, named as the
// texture is (with its folder part); empty for none.
std::string PaletteBesideFile(const std::string& name);
