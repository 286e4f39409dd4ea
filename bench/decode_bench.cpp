// Decoding speed of every format in memory: the texel data sits in a
// temporary file that stays in the page cache, so what is timed is the
// reader, the tile walk and the pixel rules, not the disk.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "bench_textures.h"
#include "texels.h"

namespace {

void BM_Decode(benchmark::State& state, const BenchFormat& format)
{
    const std::uint16_t size = static_cast<std::uint16_t>(state.range(0));
    const Bytes texels = BenchTexels(format, size);
    std::FILE* file = OpenBytes(texels);
    if (file == nullptr) {
        state.SkipWithError("no temporary file");
        return;
    }
    TextureData texture{};
    texture.width = size;
    texture.height = size;
    texture.format = format.code;
    const Bytes palette = PseudoRandomBytes(sizeof texture.palette, 7);
    std::memcpy(texture.palette, palette.data(), palette.size());
    std::vector<RgbaPixel> pixels(static_cast<std::size_t>(size) * size);
    texture.pixels = pixels.data();
    InputStream in;
    for (auto _ : state) {
        std::rewind(file);
        BeginInput(&in, file);
        ReadTexture(&in, &texture);
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    std::fclose(file);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(texels.size()));
    state.counters["pixels/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * size * size, benchmark::Counter::kIsRate);
}

int RegisterAll()
{
    for (const BenchFormat& format : kBenchFormats) {
        benchmark::RegisterBenchmark((std::string("Decode/") + format.name).c_str(), BM_Decode, format)
            ->Arg(1024)
            ->Arg(4096)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}

const int kRegistered = RegisterAll();

} // namespace

BENCHMARK_MAIN();
