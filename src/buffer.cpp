#include "buffer.h"

#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

static_assert((kHugePage & (kHugePage - 1)) == 0, "aligned_alloc takes a power of two");

void* AllocateLarge(std::size_t size)
{
#ifdef __linux__
    if (size >= kHugePage && size <= SIZE_MAX - kHugePage) {
        const std::size_t whole_pages = (size + kHugePage - 1) / kHugePage * kHugePage;
        void* buffer = std::aligned_alloc(kHugePage, whole_pages);
        if (buffer != nullptr) {
            madvise(buffer, whole_pages, MADV_HUGEPAGE); // only advice: failure changes nothing
        }
        return buffer;
    }
#endif
    return std::malloc(size);
}

bool MakeRoom(ByteBuffer* buffer, std::size_t extra)
{
    if (buffer->capacity - buffer->size >= extra) {
        return true;
    }
    if (extra > SIZE_MAX - buffer->size) {
        return false;
    }
    std::size_t capacity = buffer->capacity < 4096 ? 4096 : buffer->capacity;
    while (capacity - buffer->size < extra) {
        capacity = capacity > SIZE_MAX / 2 ? SIZE_MAX : capacity * 2;
    }
    void* grown = nullptr;
    if (buffer->capacity < kHugePage && capacity >= kHugePage) {
        grown = AllocateLarge(capacity);
        if (grown != nullptr && buffer->size > 0) {
            std::memcpy(grown, buffer->bytes, buffer->size);
        }
        if (grown != nullptr) {
            std::free(buffer->bytes);
        }
    } else {
        grown = std::realloc(buffer->bytes, capacity);
    }
    if (grown == nullptr) {
        return false;
    }
    buffer->bytes = static_cast<std::uint8_t*>(grown);
    buffer->capacity = capacity;
    return true;
}

bool Append(ByteBuffer* buffer, const void* data, std::size_t count)
{
    if (!MakeRoom(buffer, count)) {
        return false;
    }
    std::memcpy(buffer->bytes + buffer->size, data, count);
    buffer->size += count;
    return true;
}

void FreeBuffer(ByteBuffer* buffer)
{
    std::free(buffer->bytes);
    *buffer = ByteBuffer{};
}
