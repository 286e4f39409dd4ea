// Bytes made in memory before they are written, such as a whole PNG, whose
// size must be known before its first byte goes out. It grows by doubling
// and reports a failed allocation rather than throwing.
#pragma once

#include <cstddef>
#include <cstdint>

// A large buffer is written once, page by page, so the first touch of each
// 4 KiB page costs a fault; on a virtual machine those faults can take
// longer than filling the buffer. On Linux a buffer of kHugePage or more
// therefore starts on a 2 MiB boundary and spans whole 2 MiB pages, over
// which the system is asked for pages of that size: the faults are 512
// times fewer. Only memory that is touched is ever backed, so the rounding
// costs address space, not memory. Freed with std::free; null on failure.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
void* AllocateLarge(std::size_t size);

struct ByteBuffer {
    std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

// Makes room for at least `extra` more bytes after the first `size`; false
// when the memory is not there, the buffer then as it was. Growing past
// kHugePage, it moves to a large buffer.
bool MakeRoom(ByteBuffer* buffer, std::size_t extra);

// Appends `count` bytes from `data`, which is never null; false when the
// memory is not there.
bool Append(ByteBuffer* buffer, const void* data, std::size_t count);

void FreeBuffer(ByteBuffer* buffer);
