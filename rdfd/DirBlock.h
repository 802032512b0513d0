// Parses the entries of one directory block. Knows nothing of devices, inodes or
// walks: it takes the block's bytes and yields one validated entry at a time, so the
// same code serves the walkers, the tests and the fuzzer.
#pragma once

#include <cstdint>

namespace kzvol::ext3 {

struct DirEntry {
    uint32_t inode = 0;
    uint8_t fileType = 0;
    uint8_t nameLen = 0;
    char name[256] = {};  // NUL-terminated copy of the entry's name
};

enum class DirEntryStatus {
    kEntry,      // *entry holds the next entry
    kEnd,        // the block's entries are exhausted
    kBadRecord,  // the record at the current position cannot be used
};

class DirBlockParser {
  public:
    DirBlockParser(const unsigned char* block, uint32_t blockSize)
        : block_(block), size_(blockSize) {}

    // A record is used only when its header and name lie inside the block and its
    // length is a non-zero multiple of 4 that holds them. Anything else is a bad
    // record, after which the rest of the block is not looked at.
    DirEntryStatus Next(DirEntry* entry);

    uint32_t position() const { return pos_; }

  private:
    const unsigned char* block_;
    uint32_t size_;
    uint32_t pos_ = 0;
};

}  // namespace kzvol::ext3
