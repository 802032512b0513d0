// Whole reads and writes.
#include "host/FullIO.h"

#include <unistd.h>

#include <cerrno>

namespace kzvol {
namespace {

// Calls `step(pointer, size, offset)` until `size` bytes have moved.
template <typename Byte, typename Step>
bool Loop(Byte* p, size_t size, uint64_t offset, Step step) {
    while (size > 0) {
        ssize_t n = step(p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t size) {
    return Loop(static_cast<const unsigned char*>(data), size, 0,
                [fd](const unsigned char* p, size_t n, off_t) { return ::write(fd, p, n); });
}

bool PWriteAll(int fd, const void* data, size_t size, uint64_t offset) {
    return Loop(
        static_cast<const unsigned char*>(data), size, offset,
        [fd](const unsigned char* p, size_t n, off_t at) { return ::pwrite(fd, p, n, at); });
}

bool PReadAll(int fd, void* data, size_t size, uint64_t offset) {
    return Loop(static_cast<unsigned char*>(data), size, offset,
                [fd](unsigned char* p, size_t n, off_t at) { return ::pread(fd, p, n, at); });
}

}  // namespace kzvol
