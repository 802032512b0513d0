// Validation and decoding of the records of one directory block.
#include "rdfd/DirBlock.h"

#include <cstring>

#include "rdfd/Ext3Layout.h"

namespace kzvol::ext3 {

uint16_t CopyEntryName(const unsigned char* raw, uint8_t length, char* out) {
    const bool plain =
        std::memchr(raw, '/', length) == nullptr && std::memchr(raw, '\0', length) == nullptr;
    if (plain) {
        std::memcpy(out, raw, length);
        out[length] = '\0';
        return length;
    }
    uint16_t at = 0;
    for (uint8_t i = 0; i < length; ++i) {
        const unsigned char c = raw[i];
        if (c == '/' || c == '\0' || c == '\\') {
            out[at++] = '\\';
            out[at++] = static_cast<char>('0' + (c >> 6));
            out[at++] = static_cast<char>('0' + ((c >> 3) & 7));
            out[at++] = static_cast<char>('0' + (c & 7));
        } else {
            out[at++] = static_cast<char>(c);
        }
    }
    out[at] = '\0';
    return at;
}

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
    entry->fileType = record[offsetof(RawDirEntryHeader, fileType)];
    entry->nameLen = CopyEntryName(record + kDirEntryHeaderSize, nameLen, entry->name);
    pos_ += recLen;
    return DirEntryStatus::kEntry;
}

}  // namespace kzvol::ext3
