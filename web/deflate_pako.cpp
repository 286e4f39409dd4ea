// The PNG writer's compression in the browser: pako 2, which the page's
// worker carries and which deflates byte for byte as zlib does, so that the
// page's PNGs are the native tools' to the byte. The stream lives in the
// worker's JavaScript, one at a time, as the tool runs on one thread.
#include <emscripten.h>

#include "deflate.h"

// Starts the stream; 0 when pako is missing or refuses the settings.
EM_JS(int, kestrune_deflate_start, (int level), {
    try {
        const stream = new pako.Deflate({level: level, windowBits: 15, memLevel: 8, strategy: 0, chunkSize: 1 << 20});
        const pending = [];
        stream.onData = (chunk) => pending.push(chunk);
        Module.kestruneDeflation = {stream: stream, pending: pending};
        return 1;
    } catch (error) {
        return 0;
    }
});

// Compresses `size` bytes at `data`; gives the bytes that came out and wait
// to be taken, or -1 when pako failed.
EM_JS(int, kestrune_deflate_push, (const std::uint8_t* data, std::size_t size, int last), {
    const deflation = Module.kestruneDeflation;
    if (!deflation.stream.push(HEAPU8.subarray(data, data + size), last ? true : false)) {
        return -1;
    }
    return deflation.pending.reduce((total, chunk) => total + chunk.length, 0);
});

// Copies the waiting bytes to `out` and forgets them.
EM_JS(void, kestrune_deflate_take, (std::uint8_t* out), {
    const deflation = Module.kestruneDeflation;
    for (const chunk of deflation.pending) {
        HEAPU8.set(chunk, out);
        out += chunk.length;
    }
    deflation.pending.length = 0;
});

EM_JS(void, kestrune_deflate_end, (), { Module.kestruneDeflation = null; });

struct Deflation {
    int unused;
};

namespace {
Deflation g_the_stream;
} // namespace

Deflation* StartDeflation()
{
    return kestrune_deflate_start(kDeflateLevel) ? &g_the_stream : nullptr;
}

bool Deflate(Deflation*, const std::uint8_t* data, std::size_t size, bool last, ByteBuffer* out)
{
    const int waiting = kestrune_deflate_push(data, size, last ? 1 : 0);
    if (waiting < 0 || !MakeRoom(out, static_cast<std::size_t>(waiting))) {
        return false;
    }
    kestrune_deflate_take(out->bytes + out->size);
    out->size += static_cast<std::size_t>(waiting);
    return true;
}

void EndDeflation(Deflation*)
{
    kestrune_deflate_end();
}

// The table-driven CRC-32 of zlib and PNG, of our own: zlib is not in this
// build.
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    static std::uint32_t table[256];
    if (table[1] == 0) {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            table[n] = c;
        }
    }
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}
