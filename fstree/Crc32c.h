// CRC-32C (Castagnoli polynomial), the checksum of the file-index table's
// headers, index pages and row chunks. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kzvol {

// Continues a CRC-32C over `size` bytes; start with crc 0. Uses the processor's
// CRC32 instruction where there is one.
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);
// The same by table lookup only.
uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size);

}  // namespace kzvol
