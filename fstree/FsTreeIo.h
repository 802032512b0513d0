// File I/O helpers of the file-index table: a buffered sequential writer that checksums its
// output in fixed units. One object per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/FullIO.h"

namespace kzvol::fstree {

using kzvol::PReadAll;
using kzvol::PWriteAll;
using kzvol::WriteAll;

// Appends to `fd` at its current position through a buffer, and keeps the
// CRC-32C of every `unitBytes` of output (the last unit may be shorter).
class ChecksummedWriter {
  public:
    ChecksummedWriter(int fd, uint32_t unitBytes, size_t bufferBytes);

    // False with errno set when a write failed; the writer is then unusable.
    bool Write(const void* data, size_t size);
    // Writes out the buffer and closes the last partial unit.
    bool Finish();

    uint64_t bytes() const { return bytes_; }
    const std::vector<uint32_t>& crcs() const { return crcs_; }

  private:
    bool Flush();

    int fd_;
    uint32_t unitBytes_;
    std::vector<unsigned char> buffer_;
    size_t used_ = 0;
    uint64_t bytes_ = 0;
    uint32_t unitCrc_ = 0;
    uint32_t unitFill_ = 0;
    std::vector<uint32_t> crcs_;
};

// Writes `values` as little-endian 32-bit words.
bool WriteWords(int fd, const std::vector<uint32_t>& values);

}  // namespace kzvol::fstree
