// Compression of stored extents: zstd at a level chosen for speed over ratio. An
// extent that does not shrink is stored as it is.
//
// Threads: every function may run on several threads at once; each thread keeps
// its own compression contexts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kzvol::backup {

// The zstd level of stored extents: the fastest of the positive levels.
constexpr int kCompressionLevel = 1;

// Bytes an output buffer needs for CompressExtent of `length` bytes.
size_t CompressedCapacity(size_t length);

// Compresses `length` bytes of `in` into `out` (CompressedCapacity(length) bytes)
// and answers the compressed length; 0 when it would not be shorter than `length`
// (or compression failed): the extent is then stored raw.
uint32_t CompressExtent(const char* in, uint32_t length, char* out, size_t outCapacity);

// Decompresses `storedLength` bytes of `in` into exactly `length` bytes at `out`;
// false when the bytes are not one zstd frame of that length.
bool DecompressExtent(const char* in, uint32_t storedLength, char* out, uint32_t length);

}  // namespace kzvol::backup
