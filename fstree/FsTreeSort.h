// External sort of the file-index table's index records. Records are collected
// in memory up to a fixed budget; a full batch is sorted and spilled as one run
// to an unlinked temporary file in the table's directory, and Drain merges the
// runs (k-way, one read buffer per run), so memory stays bounded however many
// rows the table holds.
//
// Sorting a batch exploits the order the directory walkers report in: a
// directory's entries arrive in long stretches of one parent. Stretches are
// ordered by parent (nothing to do when they already ascend), and only the
// records of one parent at a time are sorted among themselves, by name hash.
// One object per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fstree/FsTreeFormat.h"
#include "fstree/FsTreeIo.h"
#include "host/Handles.h"

namespace kzvol::fstree {

class RecordSorter {
  public:
    // Temporary runs go to `tempDir`; `memoryBytes` bounds the in-memory batch.
    RecordSorter(std::string tempDir, size_t memoryBytes);

    // False with errno set when a run could not be written.
    bool Add(const IndexRecord& record) {
        if (batch_.size() == capacity_ && !Spill())
            return false;
        batch_.push_back(record);
        return true;
    }
    // Writes every record added, in RecordLess order, to `out` and empties the
    // sorter. False with errno set on a failed read or write.
    bool Drain(ChecksummedWriter* out);

    size_t runs() const { return runs_.size(); }

  private:
    struct Run {
        uint64_t offset;  // byte offset in the run file
        uint64_t count;   // records
    };
    bool Spill();
    bool Merge(ChecksummedWriter* out);

    std::string tempDir_;
    size_t capacity_;
    std::vector<IndexRecord> batch_;
    UniqueFd runFile_;
    uint64_t runBytes_ = 0;
    std::vector<Run> runs_;
};

// Writes `records` (at most 2^32 of them) to `out` in RecordLess order.
bool SortRecords(const std::vector<IndexRecord>& records, ChecksummedWriter* out);

}  // namespace kzvol::fstree
