// A set of inode numbers as a sparse bitmap: pages of 65536 bits are allocated when
// first touched, so memory follows the inodes actually marked, not the inode count
// a (possibly corrupt) superblock claims.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kzvol {

class InodeSet {
  public:
    bool Contains(uint32_t inode) const {
        const uint32_t page = inode >> kPageShift;
        if (page >= pages_.size() || !pages_[page])
            return false;
        const uint32_t bit = inode & kPageMask;
        return (pages_[page][bit / 64] >> (bit % 64)) & 1;
    }
    void Insert(uint32_t inode) {
        const uint32_t page = inode >> kPageShift;
        if (page >= pages_.size())
            pages_.resize(page + 1);
        if (!pages_[page])
            pages_[page].reset(new uint64_t[kWordsPerPage]());
        const uint32_t bit = inode & kPageMask;
        pages_[page][bit / 64] |= uint64_t{1} << (bit % 64);
    }
    void Erase(uint32_t inode) {
        const uint32_t page = inode >> kPageShift;
        if (page >= pages_.size() || !pages_[page])
            return;
        const uint32_t bit = inode & kPageMask;
        pages_[page][bit / 64] &= ~(uint64_t{1} << (bit % 64));
    }
    void Clear() { pages_.clear(); }

  private:
    static constexpr uint32_t kPageShift = 16;
    static constexpr uint32_t kPageMask = (1u << kPageShift) - 1;
    static constexpr uint32_t kWordsPerPage = (1u << kPageShift) / 64;
    std::vector<std::unique_ptr<uint64_t[]>> pages_;
};

}  // namespace kzvol
