// File I/O helpers of the file-index table: whole writes and reads that retry on
// EINTR and short transfers, and a buffered sequential writer that checksums its
// output in fixed units. One object per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kzvol::fstree {

// Each is true when every byte moved; false with errno set otherwise (EIO for a
// read that met the end of the file early).
bool WriteAll(int fd, const void* data, size_t size);
bool PWriteAll(int fd, const void* data, size_t size, uint64_t offset);
bool PReadAll(int fd, void* data, size_t size, uint64_t offset);

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
