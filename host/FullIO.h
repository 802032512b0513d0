// Whole reads and writes: loops that retry on EINTR and on short transfers until
// every byte has moved.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kzvol {

// Each is true when every byte moved; false with errno set otherwise (EIO when a
// transfer made no progress, such as a read that met the end of the file early).
bool WriteAll(int fd, const void* data, size_t size);
bool PWriteAll(int fd, const void* data, size_t size, uint64_t offset);
bool PReadAll(int fd, void* data, size_t size, uint64_t offset);

}  // namespace kzvol
