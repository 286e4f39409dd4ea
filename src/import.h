// One texture's import, the inverse of a conversion: an image (a PNG, such
// as --png wrote and an editor changed) encoded into the texture it came
// from. The texture is the template: its bytes are kept, all but its texel
// data, which the image's pixels replace in the texture's own format. The
// new texture replaces the old one under the output rules, or goes below
// "-o". Its lines are gathered in a report, as a conversion's are.
#pragma once

#include <string>

#include "conversion.h"

struct ImportRequest {
    std::string image;    // the PNG
    std::string texture;  // the template, and the output where there is no folder
    std::string palette;  // for an indexed texture; empty for none
    const OutputFolder* folder = nullptr; // "-o", or none: the texture is replaced
    std::string output;   // the new texture's name: below `folder`, or the texture's own
    bool guarded = false; // inputs opened by the rules for links in shared folders
    bool quiet = false;   // "-q": no "written" line
    OutputClaims* claims = nullptr; // a batch's outputs, where one file must not take two of them
};

void ImportTexture(const ImportRequest* request, ConversionReport* report);
