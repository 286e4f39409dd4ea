// What the fuzz targets share. The whole-conversion target splits its input
// into two files: a 16-bit big-endian length, that many bytes of texture
// file, and the rest as the palette file (make_corpus writes its seeds this
// way). A length beyond the data gives the texture everything and the
// palette nothing.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

struct FuzzFiles {
    const std::uint8_t* texture;
    std::size_t texture_size;
    const std::uint8_t* palette;
    std::size_t palette_size;
};

inline FuzzFiles SplitFuzzInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return FuzzFiles{data, 0, data, 0};
    }
    std::size_t length = (static_cast<std::size_t>(data[0]) << 8) | data[1];
    data += 2;
    size -= 2;
    if (length > size) {
        length = size;
    }
    return FuzzFiles{data, length, data + length, size - length};
}

// A read-only stream over memory. fmemopen wants a non-null buffer even
// for an empty file.
inline std::FILE* OpenMemory(const std::uint8_t* bytes, std::size_t size)
{
    static std::uint8_t empty = 0;
    return fmemopen(size > 0 ? const_cast<std::uint8_t*>(bytes) : &empty, size, "rb");
}

// Memory that delivers its bytes and then fails to read, as a disk does,
// instead of ending.
struct FailingMemory {
    const std::uint8_t* bytes;
    std::size_t size;
    std::size_t at;
};

inline std::FILE* OpenFailingMemory(FailingMemory* memory)
{
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* out, std::size_t wanted) -> ssize_t {
        auto* m = static_cast<FailingMemory*>(cookie);
        const std::size_t n = wanted < m->size - m->at ? wanted : m->size - m->at;
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        std::memcpy(out, m->bytes + m->at, n);
        m->at += n;
        return static_cast<ssize_t>(n);
    };
    return fopencookie(memory, "r", io);
}
