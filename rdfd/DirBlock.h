// Parses the entries of one directory block. Knows nothing of devices, inodes or
// walks: it takes the block's bytes and yields one validated entry at a time, so the
// same code serves the walkers, the tests and the fuzzer.
#pragma once

#include <cstdint>

namespace kzvol::ext3 {

// The longest name an entry can yield: 255 bytes, each escaped to 4.
constexpr uint32_t kMaxEntryNameBytes = 255 * 4;

struct DirEntry {
    uint32_t inode = 0;
    uint8_t fileType = 0;
    uint16_t nameLen = 0;                    // of `name`, escapes included
    char name[kMaxEntryNameBytes + 1] = {};  // NUL-terminated copy of the entry's name
};

// A name no sound file system holds (one with "/" or NUL in it, from a damaged
// entry) is escaped so that it stays one path component: "/", NUL and "\" become
// "\057", "\000" and "\134". Other names are copied as they are. Returns the
// length written to `out`, which must hold kMaxEntryNameBytes + 1 bytes.
uint16_t CopyEntryName(const unsigned char* raw, uint8_t length, char* out);

enum class DirEntryStatus {
    kEntry,      // *entry holds the next entry
    kEnd,        // the block's entries are exhausted
    kBadRecord,  // the record at the current position cannot be used
};

class DirBlockParser {
  public:
    // Parses from byte `start`, a position an earlier parser of the same block
    // reported, so that a walk can leave a block and come back to it.
    DirBlockParser(const unsigned char* block, uint32_t blockSize, uint32_t start = 0)
        : block_(block), size_(blockSize), pos_(start) {}

    // A record is used only when its header and name lie inside the block and its
    // length is a non-zero multiple of 4 that holds them. Anything else is a bad
    // record, after which the rest of the block is not looked at.
    DirEntryStatus Next(DirEntry* entry);

    uint32_t position() const { return pos_; }

  private:
    const unsigned char* block_;
    uint32_t size_;
    uint32_t pos_;
};

}  // namespace kzvol::ext3
