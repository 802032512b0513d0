// File I/O helpers of the file-index table: a buffered sequential writer that checksums its
// output in fixed units. One object per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/FullIO.h"

namespace kzvol::fstree {

using kzvol::PReadAll;
using kzvol::PWriteAll;
using kzvol::WriteAll;

// Appends to `fd` at its current position through a buffer, and keeps the
// CRC-32C of every `unitBytes` of output (the last unit may be shorter).
// Checksums are taken when the buffer is written out, over large spans.
class ChecksummedWriter {
  public:
    ChecksummedWriter(int fd, uint32_t unitBytes, size_t bufferBytes);

    // Starts the disk writing out every span as soon as it is written, so that
    // a later fdatasync finds little left to wait for. Takes the file's current
    // position as the place of the next byte.
    void StartWriteback();

    // False with errno set when a write failed; the writer is then unusable.
    // Spans larger than the buffer go to the file without being copied.
    bool Write(const void* data, size_t size);
    // Room for `size` bytes (at most the buffer size) to be filled in place and
    // then claimed with Commit(size); null with errno set when a write failed.
    unsigned char* Reserve(size_t size) {
        if (size > capacity_ - used_ && !Flush())
            return nullptr;
        return buffer_.get() + used_;
    }
    void Commit(size_t size) {
        used_ += size;
        bytes_ += size;
    }
    // Writes out the buffer and closes the last partial unit.
    bool Finish();

    uint64_t bytes() const { return bytes_; }
    const std::vector<uint32_t>& crcs() const { return crcs_; }

  private:
    bool Flush();
    // Checksums `size` bytes and writes them to the file.
    bool Emit(const unsigned char* data, size_t size);

    int fd_;
    uint32_t unitBytes_;
    size_t capacity_;
    std::unique_ptr<unsigned char[]> buffer_;  // not zero-filled: only written bytes are read
    size_t used_ = 0;
    uint64_t bytes_ = 0;
    uint32_t unitCrc_ = 0;
    uint32_t unitFill_ = 0;
    std::vector<uint32_t> crcs_;
    bool writeback_ = false;
    uint64_t fileOffset_ = 0;  // of the next byte written, when writeback_
};

// Writes `values` as little-endian 32-bit words.
bool WriteWords(int fd, const std::vector<uint32_t>& values);

}  // namespace kzvol::fstree
