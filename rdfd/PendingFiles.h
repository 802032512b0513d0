// The optimized walker's pending files: a map from file inode to (parent inode,
// short name) that is filled entry by entry and then read once in ascending inode
// order and emptied. Held as an append-only array of records with the names packed
// into one buffer and sorted when read, which costs no allocation per file; a second
// record for an inode already held is ignored, as a map insert would be.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace kzvol {

class PendingFiles {
  public:
    void Add(uint32_t inode, uint32_t parentInode, const char* name, size_t nameLen) {
        records_.push_back(Record{inode, parentInode, static_cast<uint32_t>(names_.size()),
                                  static_cast<uint32_t>(nameLen)});
        names_.append(name, nameLen);
        names_.push_back('\0');
    }
    bool empty() const { return records_.empty(); }

    // Calls fn(inode, parentInode, char* name) in ascending inode order, the first
    // record of each inode only, until fn returns -1; returns what it returned last.
    template <class Fn>
    int ForEachAscending(Fn&& fn) {
        std::stable_sort(records_.begin(), records_.end(),
                         [](const Record& a, const Record& b) { return a.inode < b.inode; });
        for (size_t i = 0; i < records_.size(); ++i) {
            const Record& r = records_[i];
            if (i > 0 && records_[i - 1].inode == r.inode)
                continue;
            if (fn(r.inode, r.parentInode, &names_[r.nameOffset]) == -1)
                return -1;
        }
        return 0;
    }
    void Clear() {
        records_.clear();
        names_.clear();
    }

  private:
    struct Record {
        uint32_t inode;
        uint32_t parentInode;
        uint32_t nameOffset;
        uint32_t nameLen;
    };
    std::vector<Record> records_;
    std::string names_;
};

}  // namespace kzvol
