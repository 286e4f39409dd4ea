#include "png.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <libdeflate.h>

namespace {

enum ColourType : std::uint8_t { kGrey = 0, kRGB = 2, kIndexed = 3, kGreyAlpha = 4, kRGBA = 6 };

struct Layout {
    ColourType type;
    int bit_depth;
    int bytes_per_pixel; // what the filters step back by: at least 1
    std::size_t stride;  // the bytes of a row, without its filter byte
};

constexpr std::uint32_t kPixelsPerMetre = 57540; // as the BMPs say
constexpr std::size_t kMostChunk = 0x7FFFFFFF;

std::uint32_t Key(RgbaPixel p)
{
    return (std::uint32_t{p.r} << 24) | (std::uint32_t{p.g} << 16) | (std::uint32_t{p.b} << 8) | p.a;
}

// The distinct RGBA values of an image as far as a palette can hold them,
// each with its palette index, in an open-addressed table.
struct Colours {
    static constexpr int kSlots = 1024;
    static constexpr int kMost = 256;
    std::uint32_t keys[kSlots];
    std::int16_t indexes[kSlots]; // -1: an empty slot
    RgbaPixel palette[kMost];
    int count; // kMost + 1 once there are more than a palette holds
};

int Slot(const Colours* colours, std::uint32_t key)
{
    int slot = static_cast<int>((key * 0x9E3779B1u) >> 22);
    while (colours->indexes[slot] >= 0 && colours->keys[slot] != key) {
        slot = (slot + 1) % Colours::kSlots;
    }
    return slot;
}

void Count(Colours* colours, RgbaPixel pixel)
{
    const std::uint32_t key = Key(pixel);
    const int slot = Slot(colours, key);
    if (colours->indexes[slot] >= 0) {
        return;
    }
    if (colours->count < Colours::kMost) {
        colours->keys[slot] = key;
        colours->indexes[slot] = static_cast<std::int16_t>(colours->count);
        colours->palette[colours->count] = pixel;
    }
    ++colours->count;
}

int IndexOf(const Colours* colours, RgbaPixel pixel)
{
    return colours->indexes[Slot(colours, Key(pixel))];
}

// Row y as the image shows it: the pixels themselves, or their alpha as
// grey, made in `scratch` (width pixels).
const RgbaPixel* Row(PngImage image, std::int32_t width, std::int32_t y, const RgbaPixel* pixels, RgbaPixel* scratch)
{
    const RgbaPixel* row = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    if (image == PngImage::kColour) {
        return row;
    }
    for (std::int32_t x = 0; x < width; ++x) {
        scratch[x] = RgbaPixel{row[x].a, row[x].a, row[x].a, 255};
    }
    return scratch;
}

struct Analysis {
    bool grey = true;
    bool opaque = true;
    Colours colours;
};

// Whether every pixel of a row is grey, and whether every one is opaque:
// whole words compared, which the compiler can do many at a time.
bool AllGrey(const RgbaPixel* row, std::int32_t width)
{
    std::uint32_t differ = 0;
    for (std::int32_t x = 0; x < width; ++x) {
        const std::uint32_t v = BitCast<std::uint32_t>(row[x]);
        differ |= (v ^ (v >> 8)) & 0xFFFF; // R against G, G against B
    }
    return differ == 0;
}

bool AllOpaque(const RgbaPixel* row, std::int32_t width)
{
    std::uint32_t alpha = 0xFF;
    for (std::int32_t x = 0; x < width; ++x) {
        alpha &= row[x].a;
    }
    return alpha == 0xFF;
}

// Reads rows until the type is settled: past 256 values, neither all grey
// nor all opaque, it is RGBA whatever the rest holds.
void Analyse(PngImage image, std::int32_t width, std::int32_t height, const RgbaPixel* pixels, RgbaPixel* scratch,
             Analysis* analysis)
{
    std::memset(analysis->colours.indexes, 0xFF, sizeof analysis->colours.indexes);
    analysis->colours.count = 0;
    for (std::int32_t y = 0; y < height; ++y) {
        const RgbaPixel* row = Row(image, width, y, pixels, scratch);
        analysis->grey = analysis->grey && AllGrey(row, width);
        analysis->opaque = analysis->opaque && AllOpaque(row, width);
        for (std::int32_t x = 0; x < width && analysis->colours.count <= Colours::kMost; ++x) {
            if (x == 0 || Key(row[x]) != Key(row[x - 1])) { // a run costs one look
                Count(&analysis->colours, row[x]);
            }
        }
        if (analysis->colours.count > Colours::kMost && !analysis->grey && !analysis->opaque) {
            return;
        }
    }
}

Layout LayoutOf(const Analysis& analysis, std::int32_t width)
{
    const int count = analysis.colours.count;
    Layout layout{kRGBA, 8, 4, 0};
    if (count <= 16) {
        layout = Layout{kIndexed, count <= 2 ? 1 : count <= 4 ? 2 : 4, 1, 0};
    } else if (analysis.grey && analysis.opaque) {
        layout = Layout{kGrey, 8, 1, 0};
    } else if (count <= Colours::kMost) {
        layout = Layout{kIndexed, 8, 1, 0};
    } else if (analysis.grey) {
        layout = Layout{kGreyAlpha, 8, 2, 0};
    } else if (analysis.opaque) {
        layout = Layout{kRGB, 8, 3, 0};
    }
    const std::size_t bits = static_cast<std::size_t>(width) *
                             static_cast<std::size_t>(layout.type == kIndexed ? layout.bit_depth : 8 * layout.bytes_per_pixel);
    layout.stride = (bits + 7) / 8;
    return layout;
}

// A row's bytes as the layout stores them, before filtering.
void StoreRow(const Layout& layout, const Colours& colours, const RgbaPixel* row, std::int32_t width, std::uint8_t* out)
{
    switch (layout.type) {
    case kIndexed: {
        std::memset(out, 0, layout.stride);
        const int per_byte = 8 / layout.bit_depth;
        int index = 0;
        for (std::int32_t x = 0; x < width; ++x) {
            index = x > 0 && Key(row[x]) == Key(row[x - 1]) ? index : IndexOf(&colours, row[x]);
            const int shift = 8 - layout.bit_depth * (x % per_byte + 1);
            out[x / per_byte] = static_cast<std::uint8_t>(out[x / per_byte] | index << shift);
        }
        break;
    }
    case kGrey:
        for (std::int32_t x = 0; x < width; ++x) {
            out[x] = row[x].r;
        }
        break;
    case kGreyAlpha:
        for (std::int32_t x = 0; x < width; ++x) {
            out[2 * x] = row[x].r, out[2 * x + 1] = row[x].a;
        }
        break;
    case kRGB:
        for (std::int32_t x = 0; x < width; ++x) {
            out[3 * x] = row[x].r, out[3 * x + 1] = row[x].g, out[3 * x + 2] = row[x].b;
        }
        break;
    case kRGBA:
        std::memcpy(out, row, layout.stride);
        break;
    }
}

constexpr int kFilters = 5;

// The absolute value of a filtered byte read as signed.
inline std::uint32_t Weight(std::uint8_t filtered)
{
    const int v = static_cast<std::int8_t>(filtered);
    return static_cast<std::uint32_t>(v < 0 ? -v : v);
}

inline std::int16_t Distance(int from, int to)
{
    const auto d = static_cast<std::int16_t>(from - to);
    return d < 0 ? static_cast<std::int16_t>(-d) : d;
}

// The predictor of the Paeth filter, in 16 bits, where it all fits, so
// that the compiler works eight of them at a time.
inline std::uint8_t Paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c)
{
    const std::int16_t pa = Distance(b, c), pb = Distance(a, c), pc = Distance(a + b, 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// The row under each of the five filters, into `candidates` (five rows of
// `stride` bytes), and the sum of the weights of each one's bytes. The
// first `step` bytes, which have no left neighbour, are done apart, so
// that each filter's main loop has no condition in it.
void FilterRow(const std::uint8_t* row, const std::uint8_t* above, std::size_t stride, std::size_t step,
               std::uint8_t* candidates, std::uint64_t* sums)
{
    std::uint8_t* const sub = candidates + stride; // the first row is left to the unfiltered one
    std::uint8_t* const up = sub + stride;
    std::uint8_t* const average = up + stride;
    std::uint8_t* const paeth = average + stride;
    std::uint32_t s[kFilters] = {};
    for (std::size_t i = 0; i < stride; ++i) {
        s[0] += Weight(row[i]);
        up[i] = static_cast<std::uint8_t>(row[i] - above[i]);
        s[2] += Weight(up[i]);
    }
    for (std::size_t i = 0; i < step; ++i) {
        sub[i] = row[i];
        average[i] = static_cast<std::uint8_t>(row[i] - above[i] / 2);
        paeth[i] = up[i];
    }
    for (std::size_t i = step; i < stride; ++i) {
        sub[i] = static_cast<std::uint8_t>(row[i] - row[i - step]);
        average[i] = static_cast<std::uint8_t>(row[i] - (row[i - step] + above[i]) / 2);
    }
    for (std::size_t i = step; i < stride; ++i) {
        paeth[i] = static_cast<std::uint8_t>(row[i] - Paeth(row[i - step], above[i], above[i - step]));
    }
    for (std::size_t i = 0; i < stride; ++i) {
        s[1] += Weight(sub[i]);
        s[3] += Weight(average[i]);
        s[4] += Weight(paeth[i]);
    }
    for (int f = 0; f < kFilters; ++f) {
        sums[f] = s[f];
    }
}

// The filters a whole image may take: one of the five for every row, or
// each row the one whose bytes weigh least (adaptive).
enum Filtering { kNone, kSub, kUp, kAverage, kPaeth, kAdaptive, kFilterings };

// The row as it goes into the stream: its filter's number, then its bytes.
void PutFiltered(const Layout& layout, Filtering filtering, const std::uint8_t* row, const std::uint8_t* above,
                 std::uint8_t* candidates, std::uint8_t* out)
{
    int chosen = filtering == kAdaptive ? kNone : filtering;
    if (filtering != kNone) {
        std::uint64_t sums[kFilters];
        FilterRow(row, above, layout.stride, static_cast<std::size_t>(layout.bytes_per_pixel), candidates, sums);
        for (int f = 1; filtering == kAdaptive && f < kFilters; ++f) {
            chosen = sums[f] < sums[chosen] ? f : chosen;
        }
    }
    out[0] = static_cast<std::uint8_t>(chosen);
    std::memcpy(out + 1, chosen == kNone ? row : candidates + static_cast<std::size_t>(chosen) * layout.stride,
                layout.stride);
}

void Put32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

bool AppendChunk(ByteBuffer* png, const char* type, const std::uint8_t* data, std::size_t size)
{
    std::uint8_t head[8], crc[4];
    Put32(head, static_cast<std::uint32_t>(size));
    std::memcpy(head + 4, type, 4);
    Put32(crc, libdeflate_crc32(libdeflate_crc32(0, head + 4, 4), data, size));
    return Append(png, head, 8) && Append(png, data, size) && Append(png, crc, 4);
}

bool AppendHeader(ByteBuffer* png, const Layout& layout, std::int32_t width, std::int32_t height)
{
    static const std::uint8_t kSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    std::uint8_t header[13] = {};
    Put32(header, static_cast<std::uint32_t>(width));
    Put32(header + 4, static_cast<std::uint32_t>(height));
    header[8] = static_cast<std::uint8_t>(layout.bit_depth);
    header[9] = layout.type;
    return Append(png, kSignature, sizeof kSignature) && AppendChunk(png, "IHDR", header, sizeof header);
}

bool AppendPalette(ByteBuffer* png, const Colours& colours)
{
    std::uint8_t entries[3 * Colours::kMost], alphas[Colours::kMost];
    std::size_t alpha_count = 0;
    for (int i = 0; i < colours.count; ++i) {
        const RgbaPixel p = colours.palette[i];
        entries[3 * i] = p.r, entries[3 * i + 1] = p.g, entries[3 * i + 2] = p.b;
        alphas[i] = p.a;
        alpha_count = p.a < 255 ? static_cast<std::size_t>(i) + 1 : alpha_count;
    }
    return AppendChunk(png, "PLTE", entries, 3 * static_cast<std::size_t>(colours.count)) &&
           (alpha_count == 0 || AppendChunk(png, "tRNS", alphas, alpha_count));
}

// The scratch memory the rows pass through: one row of shown pixels, the
// row and the one above it as stored, and the five filtered candidates.
struct Scratch {
    RgbaPixel* shown;
    std::uint8_t* row;
    std::uint8_t* above;
    std::uint8_t* candidates;
};

// The image the rows are made from, and how they are stored.
struct Source {
    PngImage image;
    const Layout* layout;
    const Colours* colours;
    std::int32_t width, height;
    const RgbaPixel* pixels;
};

// Rows `first` to `end` (not included) filtered into `out`, one after
// another, each its filter's number and then its bytes.
void FilterRows(const Source& source, Filtering filtering, std::int32_t first, std::int32_t end, Scratch* scratch,
                std::uint8_t* out)
{
    const Layout& layout = *source.layout;
    if (first == 0) {
        std::memset(scratch->above, 0, layout.stride);
    } else {
        StoreRow(layout, *source.colours, Row(source.image, source.width, first - 1, source.pixels, scratch->shown),
                 source.width, scratch->above);
    }
    for (std::int32_t y = first; y < end; ++y, out += layout.stride + 1) {
        StoreRow(layout, *source.colours, Row(source.image, source.width, y, source.pixels, scratch->shown),
                 source.width, scratch->row);
        PutFiltered(layout, filtering, scratch->row, scratch->above, scratch->candidates, out);
        std::swap(scratch->row, scratch->above);
    }
}

// How hard a PNG is worked for: the filterings tried, in the order one is
// preferred on a tie, on how many bytes of sampled rows, compressed at
// which level; and the level the rows chosen are then compressed at, where
// they pass kLargeRows and where not.
struct Effort {
    const Filtering* tried;
    int count;
    std::size_t sample_bytes;
    int trial_level;
    int level;
    int large_level;
};

constexpr int kBands = 8; // a large image's sample: this many bands of rows, spread over it
// Noise, told by a small sample that no filtering lets a fast level
// compress by a sixteenth, is stored as it is: no effort gains on it. An
// image smaller than that sample is not looked at for it.
constexpr std::size_t kNoiseSample = 64 * 1024;
constexpr int kNoiseTrialLevel = 1;

Effort EffortOf(PngEffort effort)
{
    // Of the painted textures' PNGs, most take no filter, the rest mostly
    // the adaptive one or up; the others win too seldom to be worth trying
    // but for the smallest.
    static constexpr Filtering kCommon[] = {kNone, kUp, kAdaptive};
    static constexpr Filtering kEvery[] = {kNone, kSub, kUp, kAverage, kPaeth, kAdaptive};
    return effort == PngEffort::kSmallest
               ? Effort{kEvery, kFilterings, 1024 * 1024, 6, kSmallestPngLevel, kSmallestPngLevel}
               : Effort{kCommon, 3, 512 * 1024, 6, kPngLevel, kLargePngLevel};
}

// How many bands of how many rows sample about `bytes` of the image's
// filtered rows: the whole image as one band where it is no larger.
struct Bands {
    std::size_t count, rows;
};

Bands BandsOf(const Source& source, std::size_t bytes)
{
    const std::size_t filtered = source.layout->stride + 1, height = static_cast<std::size_t>(source.height);
    const std::size_t rows = bytes / kBands / filtered > 0 ? bytes / kBands / filtered : 1;
    return height <= rows * kBands ? Bands{1, height} : Bands{kBands, rows};
}

// What the trials work in: the sample's rows, and room for them compressed.
struct Trials {
    std::uint8_t* sample;
    std::uint8_t* out;
    std::size_t room;
};

// The size of the sampled rows, filtered as asked, compressed by
// `compressor`.
std::size_t Trial(const Source& source, Filtering filtering, Bands bands, libdeflate_compressor* compressor,
                  Scratch* scratch, const Trials& trials)
{
    const std::size_t filtered = source.layout->stride + 1, height = static_cast<std::size_t>(source.height);
    for (std::size_t b = 0; b < bands.count; ++b) {
        const std::size_t first = bands.count == 1 ? 0 : b * (height - bands.rows) / (kBands - 1);
        FilterRows(source, filtering, static_cast<std::int32_t>(first), static_cast<std::int32_t>(first + bands.rows),
                   scratch, trials.sample + b * bands.rows * filtered);
    }
    const std::size_t size = bands.count * bands.rows * filtered;
    return libdeflate_deflate_compress(compressor, trials.sample, size, trials.out, trials.room);
}

// The filtering whose sample compresses smallest (the first such of those
// tried), and the level the whole image is to be compressed at. False when
// the memory is not there.
bool Choose(const Source& source, const Effort& effort, Scratch* scratch, Filtering* filtering, int* level)
{
    const std::size_t filtered = source.layout->stride + 1;
    const Bands noise = BandsOf(source, kNoiseSample), trial = BandsOf(source, effort.sample_bytes);
    const std::size_t noise_size = noise.count * noise.rows * filtered, size = trial.count * trial.rows * filtered;
    libdeflate_compressor* fast = libdeflate_alloc_compressor(kNoiseTrialLevel);
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(effort.trial_level);
    Trials trials{static_cast<std::uint8_t*>(std::malloc(size)), nullptr, 0};
    trials.room = compressor != nullptr ? libdeflate_deflate_compress_bound(compressor, size) : 0;
    trials.out = static_cast<std::uint8_t*>(std::malloc(trials.room));
    const bool made = fast != nullptr && compressor != nullptr && trials.sample != nullptr && trials.out != nullptr;
    bool is_noise = made && static_cast<std::size_t>(source.height) * filtered >= kNoiseSample;
    for (const Filtering f : {kNone, kAdaptive}) {
        is_noise = is_noise && Trial(source, f, noise, fast, scratch, trials) > noise_size / 16 * 15;
    }
    const bool large = static_cast<std::size_t>(source.height) > kLargeRows / filtered;
    *filtering = kNone, *level = is_noise ? 0 : large ? effort.large_level : effort.level;
    std::size_t smallest = 0;
    for (int i = 0; made && !is_noise && i < effort.count; ++i) {
        const Filtering f = effort.tried[i];
        const std::size_t compressed = Trial(source, f, trial, compressor, scratch, trials);
        if (i == 0 || compressed < smallest) {
            smallest = compressed, *filtering = f;
        }
    }
    libdeflate_free_compressor(fast);
    libdeflate_free_compressor(compressor);
    std::free(trials.sample);
    std::free(trials.out);
    return made;
}

// The IDAT chunk: the rows filtered as chosen, into one buffer, and
// compressed straight into the PNG.
bool AppendPixels(ByteBuffer* png, const Source& source, PngEffort effort, Scratch* scratch)
{
    Filtering filtering = kNone;
    int level = 0;
    if (!Choose(source, EffortOf(effort), scratch, &filtering, &level)) {
        return false;
    }
    const std::size_t filtered = source.layout->stride + 1, height = static_cast<std::size_t>(source.height);
    if (filtered > SIZE_MAX / height) {
        return false; // in a 32-bit build, more than memory can hold
    }
    const std::size_t size = filtered * height;
    auto* rows = static_cast<std::uint8_t*>(AllocateLarge(size));
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    const std::size_t room = compressor != nullptr ? libdeflate_zlib_compress_bound(compressor, size) : 0;
    const std::size_t head = png->size;
    bool made = rows != nullptr && compressor != nullptr && Append(png, "\0\0\0\0IDAT", 8) && MakeRoom(png, room);
    if (made) {
        FilterRows(source, filtering, 0, source.height, scratch, rows);
        // Never 0, "no room": the room is libdeflate's own bound.
        const std::size_t stream = libdeflate_zlib_compress(compressor, rows, size, png->bytes + png->size, room);
        png->size += stream;
        made = stream <= kMostChunk;
    }
    std::free(rows);
    libdeflate_free_compressor(compressor);
    if (!made) {
        return false;
    }
    const std::size_t chunk = png->size - head - 8;
    Put32(png->bytes + head, static_cast<std::uint32_t>(chunk));
    std::uint8_t crc[4];
    Put32(crc, libdeflate_crc32(0, png->bytes + head + 4, chunk + 4));
    return Append(png, crc, 4);
}

bool AppendDensity(ByteBuffer* png)
{
    std::uint8_t density[9] = {};
    Put32(density, kPixelsPerMetre);
    Put32(density + 4, kPixelsPerMetre);
    density[8] = 1; // the unit is the metre
    return AppendChunk(png, "pHYs", density, sizeof density);
}

bool Allocate(Scratch* scratch, std::int32_t width, std::size_t stride)
{
    scratch->shown = static_cast<RgbaPixel*>(std::malloc(static_cast<std::size_t>(width) * sizeof(RgbaPixel)));
    scratch->row = static_cast<std::uint8_t*>(std::malloc(stride));
    scratch->above = static_cast<std::uint8_t*>(std::malloc(stride));
    scratch->candidates = static_cast<std::uint8_t*>(std::malloc(kFilters * stride));
    return scratch->shown != nullptr && scratch->row != nullptr && scratch->above != nullptr &&
           scratch->candidates != nullptr;
}

void Release(Scratch* scratch)
{
    std::free(scratch->shown);
    std::free(scratch->row);
    std::free(scratch->above);
    std::free(scratch->candidates);
}

} // namespace

bool MakePNG(PngImage image, std::int32_t width, std::int32_t height, const RgbaPixel* pixels, PngEffort effort,
             ByteBuffer* png)
{
    auto* analysis = static_cast<Analysis*>(std::malloc(sizeof(Analysis)));
    Scratch scratch{};
    bool made = analysis != nullptr && Allocate(&scratch, width, 4 * static_cast<std::size_t>(width));
    if (made) {
        *analysis = Analysis{};
        Analyse(image, width, height, pixels, scratch.shown, analysis);
        const Layout layout = LayoutOf(*analysis, width);
        made = AppendHeader(png, layout, width, height) &&
               (layout.type != kIndexed || AppendPalette(png, analysis->colours)) &&
               AppendDensity(png) &&
               AppendPixels(png, Source{image, &layout, &analysis->colours, width, height, pixels}, effort, &scratch) &&
               AppendChunk(png, "IEND", png->bytes, 0);
    }
    Release(&scratch);
    std::free(analysis);
    return made;
}
