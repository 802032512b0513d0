// Pieces every sector transfer of the library shares: the byte range of a transfer
// in 512-byte sectors, refused when it would not fit (a byte count is 32 bits
// wide), and the transfer counter raised while an attempt is in flight so that
// Close on another thread waits for it. Internal to the library.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>

namespace kzvol {

constexpr unsigned long long kSectorSize = 512;
// 8388608 sectors would wrap a 32-bit byte count.
constexpr unsigned long long kMaxTransferSectors = 8388607;

// Byte offset and count of a transfer of `count` sectors at sector `offset`; false,
// logged under `context`, when they would not fit.
bool TransferBytes(const char* context, unsigned long long offset, unsigned long long count,
                   off_t* byteOffset, size_t* byteCount);

// Reads or writes `n` bytes at `at` with as many calls as it takes: Linux moves at
// most 2147479552 bytes in one call. Answers the bytes moved, short when a call
// met the end of the device or failed (errno set), or -1 when the first call failed.
ssize_t ReadWhole(int fd, char* buffer, size_t n, off_t at);
ssize_t WriteWhole(int fd, char* buffer, size_t n, off_t at);

// Raises the transfer counter for the life of one attempt.
class PendingIO {
  public:
    explicit PendingIO(std::atomic<unsigned int>& counter) : counter_(counter) { ++counter_; }
    ~PendingIO() { --counter_; }
    PendingIO(const PendingIO&) = delete;
    PendingIO& operator=(const PendingIO&) = delete;

  private:
    std::atomic<unsigned int>& counter_;
};

}  // namespace kzvol
