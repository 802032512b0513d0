// Whole reads and writes, and the checksumming writer of the file-index table.
#include "host/FsTreeIo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/Crc32c.h"
#include "host/FsTreeFormat.h"

namespace kzvol::fstree {

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool PWriteAll(int fd, const void* data, size_t size, uint64_t offset) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
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

bool PReadAll(int fd, void* data, size_t size, uint64_t offset) {
    auto* p = static_cast<unsigned char*>(data);
    while (size > 0) {
        ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
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

ChecksummedWriter::ChecksummedWriter(int fd, uint32_t unitBytes, size_t bufferBytes)
    : fd_(fd), unitBytes_(unitBytes), buffer_(bufferBytes) {}

bool ChecksummedWriter::Write(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    bytes_ += size;
    while (size > 0) {
        size_t take = std::min<size_t>(size, unitBytes_ - unitFill_);
        take = std::min(take, buffer_.size() - used_);
        unitCrc_ = Crc32c(unitCrc_, p, take);
        unitFill_ += static_cast<uint32_t>(take);
        if (unitFill_ == unitBytes_) {
            crcs_.push_back(unitCrc_);
            unitCrc_ = 0;
            unitFill_ = 0;
        }
        std::memcpy(buffer_.data() + used_, p, take);
        used_ += take;
        p += take;
        size -= take;
        if (used_ == buffer_.size() && !Flush())
            return false;
    }
    return true;
}

bool ChecksummedWriter::Flush() {
    if (used_ > 0 && !WriteAll(fd_, buffer_.data(), used_))
        return false;
    used_ = 0;
    return true;
}

bool ChecksummedWriter::Finish() {
    if (unitFill_ > 0) {
        crcs_.push_back(unitCrc_);
        unitCrc_ = 0;
        unitFill_ = 0;
    }
    return Flush();
}

bool WriteWords(int fd, const std::vector<uint32_t>& values) {
    std::vector<unsigned char> bytes(values.size() * 4);
    for (size_t i = 0; i < values.size(); ++i)
        Put32(bytes.data() + 4 * i, values[i]);
    return WriteAll(fd, bytes.data(), bytes.size());
}

}  // namespace kzvol::fstree
