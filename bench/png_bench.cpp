// Making a PNG in memory from decoded pixels, for painted images of each
// content at 1024 x 1024: the type chosen, the rows filtered and deflated.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "painted_textures.h"
#include "png.h"

namespace {

void BM_MakePNG(benchmark::State& state, Content content, PngImage image)
{
    const auto size = static_cast<std::uint16_t>(state.range(0));
    const Bytes rgba = PaintRGBA(content, size, size, 1);
    std::vector<RgbaPixel> pixels(rgba.size() / 4);
    std::memcpy(pixels.data(), rgba.data(), rgba.size());
    std::size_t made = 0;
    for (auto _ : state) {
        ByteBuffer png;
        if (!MakePNG(image, size, size, pixels.data(), PngEffort::kDefault, &png)) {
            state.SkipWithError("no PNG");
        }
        made = png.size;
        FreeBuffer(&png);
    }
    state.counters["PNG bytes"] = static_cast<double>(made);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(rgba.size()));
}

int RegisterAll()
{
    for (const Content content : kContents) {
        for (const PngImage image : {PngImage::kColour, PngImage::kAlpha}) {
            const std::string name = std::string("MakePNG/") + ContentName(content) + (image == PngImage::kAlpha ? "/alpha" : "");
            benchmark::RegisterBenchmark(name.c_str(), BM_MakePNG, content, image)->Arg(1024)->Unit(benchmark::kMillisecond);
        }
    }
    return 0;
}

const int kRegistered = RegisterAll();

} // namespace

BENCHMARK_MAIN();
