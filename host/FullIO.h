// Whole reads and writes: loops that retry on EINTR and on short transfers until
// every byte has moved.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/Export.h"

namespace kzvol {

// Each is true when every byte moved; false with errno set otherwise (EIO when a
// transfer made no progress, such as a read that met the end of the file early).
KZVOL_API bool WriteAll(int fd, const void* data, size_t size);
KZVOL_API bool PWriteAll(int fd, const void* data, size_t size, uint64_t offset);
KZVOL_API bool PReadAll(int fd, void* data, size_t size, uint64_t offset);

}  // namespace kzvol
