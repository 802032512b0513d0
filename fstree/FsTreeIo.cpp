// The checksumming writer of the file-index table.
#include "fstree/FsTreeIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fstree/Crc32c.h"
#include "fstree/FsTreeFormat.h"

namespace kzvol::fstree {

ChecksummedWriter::ChecksummedWriter(int fd, uint32_t unitBytes, size_t bufferBytes)
    : fd_(fd),
      unitBytes_(unitBytes),
      capacity_(bufferBytes),
      buffer_(new unsigned char[bufferBytes]) {}

void ChecksummedWriter::StartWriteback() {
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    writeback_ = at >= 0;
    fileOffset_ = static_cast<uint64_t>(at);
}

bool ChecksummedWriter::Write(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (size > capacity_ - used_) {
        if (!Flush())
            return false;
        if (size >= capacity_) {
            bytes_ += size;
            return Emit(p, size);
        }
    }
    std::memcpy(buffer_.get() + used_, p, size);
    Commit(size);
    return true;
}

bool ChecksummedWriter::Emit(const unsigned char* data, size_t size) {
    for (size_t at = 0; at < size;) {
        size_t take = std::min<size_t>(size - at, unitBytes_ - unitFill_);
        unitCrc_ = Crc32c(unitCrc_, data + at, take);
        unitFill_ += static_cast<uint32_t>(take);
        at += take;
        if (unitFill_ == unitBytes_) {
            crcs_.push_back(unitCrc_);
            unitCrc_ = 0;
            unitFill_ = 0;
        }
    }
    if (size == 0)
        return true;
    if (!WriteAll(fd_, data, size))
        return false;
    if (writeback_) {
        // Only a hint: a failure shows again at the caller's fdatasync.
        ::sync_file_range(fd_, static_cast<off_t>(fileOffset_), static_cast<off_t>(size),
                          SYNC_FILE_RANGE_WRITE);
        fileOffset_ += size;
    }
    return true;
}

bool ChecksummedWriter::Flush() {
    if (!Emit(buffer_.get(), used_))
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
