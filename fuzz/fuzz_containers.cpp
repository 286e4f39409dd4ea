// Fuzz target for the container readers alone: the same bytes read as a
// BRTEX file and as a BRPLT file, each through a fresh stream, once as a
// file that ends and once as one whose next read fails.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "containers.h"
#include "fuzz_input.h"

namespace {

// Runs one reader and checks what it promises: the header fields stay in
// their 16-bit ranges, a reader that finds nothing leaves the record alone,
// the stream never claims to be past the end of the file, and a failing read
// is told from the end.
void Check(int (*reader)(InputStream*, TextureData*), const std::uint8_t* data, std::size_t size, bool failing)
{
    FailingMemory memory{data, size, 0};
    std::FILE* file = failing ? OpenFailingMemory(&memory) : OpenMemory(data, size);
    if (file == nullptr) {
        std::abort();
    }
    FileInput in;
    BeginInput(&in, file);
    TextureData texture{};
    TextureData untouched{};
    const int found = reader(&in, &texture);
    if (found != 0 && found != 1) {
        std::abort();
    }
    if (!found && std::memcmp(&texture, &untouched, sizeof texture) != 0) {
        std::abort();
    }
    if (texture.width < 0 || texture.width > 65535 || texture.height < 0 || texture.height > 65535) {
        std::abort();
    }
    if (InputPosition(&in) > size || in.failed != (failing && in.at_end)) {
        std::abort();
    }
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (bool failing : {false, true}) {
        Check(ReadBRTEX, data, size, failing);
        Check(ReadBRPLT, data, size, failing);
    }
    return 0;
}
