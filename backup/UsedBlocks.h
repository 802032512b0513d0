// The blocks an ext2/ext3 file system uses, read from its block bitmaps, so that a
// backup can store only those: the bytes of every other block read as zeros.
// Blocks before the first data block (the boot block) and bytes past the file
// system's end count as used; so does every block of a group whose bitmap is not
// initialised.
//
// Threads: Load on one thread; then Mask and Unused from any number at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kzvol::backup {

class UsedBlocks {
  public:
    // Reads `length` bytes (a multiple of 512) at `offset` of the volume.
    using ReadAt = std::function<bool(uint64_t, uint32_t, char*, std::string*)>;

    // Reads the superblock, the group descriptors and the block bitmaps of the file
    // system on a volume of `volumeBytes`. False with *error saying why when the
    // volume holds no ext2/ext3 file system this can read.
    bool Load(uint64_t volumeBytes, const ReadAt& read, std::string* error);

    // Zeroes the bytes of `data` (`length` bytes at volume offset `offset`) that
    // lie in blocks the file system does not use.
    void Mask(uint64_t offset, char* data, uint32_t length) const;
    // True when no byte of [offset, offset + length) is in a used block.
    bool Unused(uint64_t offset, uint32_t length) const;

    uint64_t UsedBlockCount() const;
    uint32_t block_size() const { return blockSize_; }

  private:
    bool Used(uint64_t block) const {
        return block >= blocks_ || (used_[block / 8] >> (block % 8) & 1);
    }
    bool ReadGroups(uint32_t firstDataBlock, uint32_t blocksPerGroup, bool groupFlags,
                    const ReadAt& read, std::string* error);

    uint32_t blockSize_ = 0;
    uint64_t blocks_ = 0;        // blocks of the file system
    std::vector<uint8_t> used_;  // bit per block, LSB first
};

}  // namespace kzvol::backup
