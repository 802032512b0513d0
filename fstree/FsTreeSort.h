// External sort of the file-index table's index records. Records are collected
// in memory up to a fixed budget; a full batch is sorted and spilled as one run
// to an unlinked temporary file in the table's directory, and Drain merges the
// runs (k-way, one read buffer per run), so memory stays bounded however many
// rows the table holds. One object per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fstree/FsTreeFormat.h"
#include "host/Handles.h"

namespace kzvol::fstree {

class RecordSorter {
  public:
    // Temporary runs go to `tempDir`; `memoryBytes` bounds the in-memory batch.
    RecordSorter(std::string tempDir, size_t memoryBytes);

    // False with errno set when a run could not be written.
    bool Add(const IndexRecord& record);
    // Hands every record added, in RecordLess order, to `emit` (32 encoded bytes
    // each) and empties the sorter. False with errno set on a failed read or
    // write, or when `emit` answers false.
    bool Drain(const std::function<bool(const unsigned char*)>& emit);

    size_t runs() const { return runs_.size(); }

  private:
    struct Run {
        uint64_t offset;  // byte offset in the run file
        uint64_t count;   // records
    };
    bool Spill();
    bool Merge(const std::function<bool(const unsigned char*)>& emit);

    std::string tempDir_;
    size_t capacity_;
    std::vector<IndexRecord> batch_;
    UniqueFd runFile_;
    uint64_t runBytes_ = 0;
    std::vector<Run> runs_;
};

}  // namespace kzvol::fstree
