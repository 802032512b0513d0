// The data blocks of one directory in walk order: the 12 direct pointers, then the
// blocks behind the single, double and triple indirect pointers, each indirect
// block's entries in order; zero pointers and zero entries are skipped. Holds
// only the position: an indirect block is loaded, through the caller's function,
// when the sequence reaches it, and kept until its entries are used up, so a walk
// can hold one sequence per directory level at little cost.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "rdfd/Ext3Layout.h"

namespace kzvol::ext3 {

class DirBlockSequence {
  public:
    // Fills `entries` with the block numbers held in indirect block `block`.
    using Loader = std::function<void(uint32_t block, std::vector<uint32_t>* entries)>;

    explicit DirBlockSequence(const uint32_t (&pointers)[kBlockPointers]) {
        for (unsigned i = 0; i < kBlockPointers; ++i)
            pointers_[i] = pointers[i];
    }

    // The next data block into *block; false when the directory has no more.
    bool Next(const Loader& load, uint32_t* block) {
        for (;;) {
            if (!levels_.empty()) {
                Level& level = levels_.back();
                if (level.next == level.entries.size()) {
                    levels_.pop_back();
                    continue;
                }
                const uint32_t entry = level.entries[level.next++];
                if (entry == 0)
                    continue;
                if (level.depth == 1) {
                    *block = entry;
                    return true;
                }
                Push(load, entry, level.depth - 1);
                continue;
            }
            if (nextPointer_ == kBlockPointers)
                return false;
            const unsigned index = nextPointer_++;
            const uint32_t pointer = pointers_[index];
            if (pointer == 0)
                continue;
            if (index < kDirectBlocks) {
                *block = pointer;
                return true;
            }
            Push(load, pointer, index - kDirectBlocks + 1);  // 1 single, 2 double, 3 triple
        }
    }

  private:
    struct Level {
        std::vector<uint32_t> entries;
        size_t next = 0;
        unsigned depth = 1;  // 1: entries are data blocks; n: entries are of depth n - 1
    };

    void Push(const Loader& load, uint32_t block, unsigned depth) {
        Level level;
        level.depth = depth;
        load(block, &level.entries);
        levels_.push_back(std::move(level));
    }

    uint32_t pointers_[kBlockPointers];
    unsigned nextPointer_ = 0;
    std::vector<Level> levels_;
};

}  // namespace kzvol::ext3
