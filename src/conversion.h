// One texture's conversion, as a single run does it and as a batch does it
// for each texture it finds: the texture read and decoded, its outputs
// written, and every line the run prints gathered in a report instead of
// printed, so that a batch can print its textures' reports in the order it
// found them, whatever order they end in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "output.h"
#include "pairing.h"

enum ExitStatus {
    kConverted = 0,
    kUsage = 1,
    kNoTextureName = 2,
    kTextureUnreadable = 3,
    kNotBRTEX = 4,
    kNoPaletteName = 5,
    kPaletteUnreadable = 6,
    kNotBRPLT = 7,
    kColourUnwritable = 8,
    kAlphaUnwritable = 9,
    kTooLarge = 10,
    kReadError = 11,
    kStdoutUnwritable = 12,
    kSomeFailed = 13, // a batch in which any texture failed
    kImageUnreadable = 14, // --import: the image is missing, damaged or no PNG
    kImageSizeDiffers = 15, // --import: the image's size is not the texture's
    kCannotEncode = 16,     // --import: the texture's format is none the tool encodes
};

struct ConversionRequest {
    std::string texture;          // the name to open, as the messages give it
    std::string palette;          // the same for the palette; empty for none
    bool alpha = false;           // "-a": the alpha image too
    bool png = false;             // "--png": PNGs instead of BMPs
    bool smallest = false;        // "--smallest": the smallest PNGs, slowly
    const OutputFolder* folder = nullptr; // the outputs' folder ("-o"), or none: beside the texture
    std::string stem;             // the outputs' name without ".bmp" or "_alpha.bmp", below `folder` if any
    bool guarded = false;         // inputs opened by the rules for links in shared folders
    bool batch = false;           // a message that names no file names the texture
    bool quiet = false;           // "-q": no "written" lines
    OutputClaims* claims = nullptr; // the batch's outputs, where one file must not take two of them
};

struct ConversionReport {
    int status = kConverted;
    std::string out; // the lines for standard output, banner excepted
    std::string err; // the lines for standard error: warnings
};

// Appends a printf-formatted line to `text`.
[[gnu::format(printf, 2, 3)]] void Say(std::string* text, const char* format, ...);

// Opens a file for reading and makes sure it can be read: a directory opens
// on some systems but fails at its first read, and counts as not opened.
// A guarded input is looked up as the outputs are, following a link in a
// shared folder only where another user cannot have planted it.
std::FILE* OpenInput(const std::string& name, bool guarded);

// The name an output is shown under: below the folder, joined with the
// system's separator, or as it is.
std::string ShownName(const OutputFolder* folder, const std::string& name);

void ConvertTexture(const ConversionRequest* request, ConversionReport* report);

// The fields "--info" prints of the texture `name`, tab-separated, with the
// palette it would take (empty for none): true; or, where it cannot be
// read or is no texture, its "ERROR: " message: false. Only the header is
// read.
bool DescribeTexture(const std::string& name, const std::string& palette, bool guarded, std::string* fields);

// A name as "--info" prints it: a tab, a newline and a backslash as "\t",
// "\n" and "\\", so that each line splits at its tabs.
std::string Escaped(const std::string& name);
