#include "buffer.h"

#include <cstdlib>
#include <cstring>

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
    void* grown = std::realloc(buffer->bytes, capacity);
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
