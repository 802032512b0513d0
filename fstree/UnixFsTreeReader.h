// Reads a file-index table written by CCreateUNIXFSTree: every row in the order
// it was added, a directory's children, and a path resolved from the root row,
// the last two by binary search in the index (logarithmic in the row count).
//
// Nothing read is trusted: headers, sizes and every index page and row chunk are
// checked against their checksums before use, so a table that was never closed,
// was truncated or is damaged yields an error text rather than wrong rows.
// Methods answer false with *error set on such a table. One object per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fstree/FsTreeFormat.h"

namespace kzvol {

using FsTreeRow = fstree::Row;

class UnixFsTreeReader {
  public:
    UnixFsTreeReader();
    ~UnixFsTreeReader();
    UnixFsTreeReader(const UnixFsTreeReader&) = delete;
    UnixFsTreeReader& operator=(const UnixFsTreeReader&) = delete;

    // Opens tablePath.dat and tablePath.idx and checks that they form one
    // complete table.
    bool Open(const std::string& tablePath, std::string* error);
    uint64_t RowCount() const;

    // Calls `visit` for each row in the order the rows were added; `visit`
    // answers false to stop early (the result is still true). Once every row is
    // read, the index is read too and must hold exactly one record per row, so a
    // damaged index fails here as it fails Children and Resolve (after the rows
    // were visited).
    bool ForEachRow(const std::function<bool(const FsTreeRow&)>& visit, std::string* error);
    // The root row: the first row added with parent inode 0. *found is false
    // when the table has none.
    bool Root(FsTreeRow* row, bool* found, std::string* error);
    // The rows whose parent inode is `dirInode`, in the order they were added.
    bool Children(uint64_t dirInode, std::vector<FsTreeRow>* rows, std::string* error);
    // Resolves a '/'-separated path of names below the root ("" or "/" is the
    // root itself; empty components are ignored). Every component but the last
    // must be a directory row. When a directory holds several rows of one name,
    // the first added wins.
    bool Resolve(const std::string& path, FsTreeRow* row, bool* found, std::string* error);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kzvol
