// The checksumming writer of the file-index table.
#include "fstree/FsTreeIo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fstree/Crc32c.h"
#include "fstree/FsTreeFormat.h"

namespace kzvol::fstree {

ChecksummedWriter::ChecksummedWriter(int fd, uint32_t unitBytes, size_t bufferBytes)
    : fd_(fd), unitBytes_(unitBytes), buffer_(bufferBytes) {}

bool ChecksummedWriter::Write(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    bytes_ += size;
    while (size > 0) {
        size_t take = std::min(size, buffer_.size() - used_);
        std::memcpy(buffer_.data() + used_, p, take);
        used_ += take;
        p += take;
        size -= take;
        if (used_ == buffer_.size() && !Flush())
            return false;
    }
    return true;
}

// Checksums what the buffer holds, unit by unit, then writes it out. Doing the
// checksums here, over large spans, keeps Write a plain copy.
bool ChecksummedWriter::Flush() {
    for (size_t at = 0; at < used_;) {
        size_t take = std::min<size_t>(used_ - at, unitBytes_ - unitFill_);
        unitCrc_ = Crc32c(unitCrc_, buffer_.data() + at, take);
        unitFill_ += static_cast<uint32_t>(take);
        at += take;
        if (unitFill_ == unitBytes_) {
            crcs_.push_back(unitCrc_);
            unitCrc_ = 0;
            unitFill_ = 0;
        }
    }
    if (used_ > 0 && !WriteAll(fd_, buffer_.data(), used_))
        return false;
    used_ = 0;
    return true;
}

bool ChecksummedWriter::Finish() {
    if (!Flush())
        return false;
    if (unitFill_ > 0) {
        crcs_.push_back(unitCrc_);
        unitCrc_ = 0;
        unitFill_ = 0;
    }
    return true;
}

bool WriteWords(int fd, const std::vector<uint32_t>& values) {
    std::vector<unsigned char> bytes(values.size() * 4);
    for (size_t i = 0; i < values.size(); ++i)
        Put32(bytes.data() + 4 * i, values[i]);
    return WriteAll(fd, bytes.data(), bytes.size());
}

}  // namespace kzvol::fstree
