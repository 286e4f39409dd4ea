// Decoding speed of every format in memory: the texel data sits in a
// temporary file that stays in the page cache, so what is timed is the
// reader, the tile walk and the pixel rules, not the disk. Beside it, the
// library's decode of the whole texture file from memory into the caller's
// buffer.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "bench_textures.h"
#include "kestrune.h"
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
    FileInput in;
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

void BM_Library(benchmark::State& state, const BenchFormat& format)
{
    const auto size = static_cast<std::uint16_t>(state.range(0));
    const Bytes texels = BenchTexels(format, size);
    const Bytes file = MakeBRTEX(size, size, format.code, texels), palette = MakeBRPLT(2, 256, PseudoRandomBytes(512, 7));
    std::vector<unsigned char> rgba(4 * std::size_t{size} * size);
    for (auto _ : state) {
        if (kestrune_decode_rgba(file.data(), file.size(), palette.data(), palette.size(), rgba.data(), rgba.size(),
                                 4 * std::size_t{size}) != KESTRUNE_OK) {
            state.SkipWithError("not decoded");
            break;
        }
        benchmark::DoNotOptimize(rgba.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(texels.size()));
    state.counters["pixels/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * size * size, benchmark::Counter::kIsRate);
}

int RegisterAll()
{
    for (const BenchFormat& format : kBenchFormats) {
        using Bench = void (*)(benchmark::State&, const BenchFormat&);
        const std::pair<const char*, Bench> kinds[] = {{"Decode/", BM_Decode}, {"Library/", BM_Library}};
        for (const auto& [kind, bench] : kinds) {
            benchmark::RegisterBenchmark((kind + std::string(format.name)).c_str(), bench, format)
                ->Arg(1024)
                ->Arg(4096)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return 0;
}

const int kRegistered = RegisterAll();

} // namespace

BENCHMARK_MAIN();
