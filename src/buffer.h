// Bytes made in memory before they are written, such as a whole PNG, whose
// size must be known before its first byte goes out. It grows by doubling
// and reports a failed allocation rather than throwing.
#pragma once

#include <cstddef>
#include <cstdint>

struct ByteBuffer {
    std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

// Makes room for at least `extra` more bytes after the first `size`; false
// when the memory is not there, the buffer then as it was.
bool MakeRoom(ByteBuffer* buffer, std::size_t extra);

// Appends `count` bytes from `data`, which is never null; false when the
// memory is not there.
bool Append(ByteBuffer* buffer, const void* data, std::size_t count);

void FreeBuffer(ByteBuffer* buffer);
