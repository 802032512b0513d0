// Validation and decoding of the records of one directory block.
#include "rdfd/DirBlock.h"

#include <cstring>

#include "rdfd/Ext3Layout.h"

namespace kzvol::ext3 {

DirEntryStatus DirBlockParser::Next(DirEntry* entry) {
    if (pos_ >= size_)
        return DirEntryStatus::kEnd;
    const uint32_t left = size_ - pos_;
    if (left < kDirEntryHeaderSize)
        return DirEntryStatus::kBadRecord;
    const unsigned char* record = block_ + pos_;
    const uint32_t recLen = Le16(record + offsetof(RawDirEntryHeader, recLen));
    const uint8_t nameLen = record[offsetof(RawDirEntryHeader, nameLen)];
    if (recLen == 0 || recLen % 4 != 0 || recLen > left || recLen < kDirEntryHeaderSize + nameLen) {
        return DirEntryStatus::kBadRecord;
    }
    entry->inode = Le32(record + offsetof(RawDirEntryHeader, inode));
    entry->nameLen = nameLen;
    entry->fileType = record[offsetof(RawDirEntryHeader, fileType)];
    std::memcpy(entry->name, record + kDirEntryHeaderSize, nameLen);
    entry->name[nameLen] = '\0';
    pos_ += recLen;
    return DirEntryStatus::kEntry;
}

}  // namespace kzvol::ext3
