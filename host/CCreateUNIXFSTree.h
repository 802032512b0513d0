// The file-index table writer: one row per directory, file and link of an image
// backup, kept in TABLE.dat (rows in the order added) and TABLE.idx (an index
// sorted by parent inode and name, built at Close). UnixFsTreeReader reads it.
//
// Every operation returns 0 on success or a positive errno value. Calling order:
// Init, Open, Add..., Close; Init and Open may follow again after Close. A table
// that is still open when the object is destroyed (or whose Close failed) is
// disposed of: both files are removed. Not thread-safe: one object per thread.
#pragma once

#include <cstddef>
#include <memory>

#include "host/Export.h"

class KZVOL_API CCreateUNIXFSTree {
  public:
    CCreateUNIXFSTree();
    ~CCreateUNIXFSTree();
    CCreateUNIXFSTree(const CCreateUNIXFSTree&) = delete;
    CCreateUNIXFSTree& operator=(const CCreateUNIXFSTree&) = delete;

    // Prepares the writer. `handle` is the caller's process-wide handle; it must
    // not be null. EBUSY while a table is open.
    int Init(long long* handle);
    // Creates (or truncates) tablePath.dat and tablePath.idx. EINVAL without a
    // successful Init, EBUSY while a table is open; on failure no file is left.
    int Open(const char* tablePath);
    // Appends one row. EBADF when no table is open; EINVAL for a null name,
    // ENAMETOOLONG for a name over 4096 bytes; an I/O error is returned again by
    // every later Add and by Close.
    int Add(unsigned long long parentInode, unsigned long long inode, unsigned long long size,
            unsigned int mtime, unsigned char type, const char* name);
    // Builds the index and marks both files complete. EBADF when no table is
    // open. On failure both files are removed.
    int Close();

    // Memory the index sort may hold before it spills to a temporary file
    // (default 64 MiB); takes effect at the next Open.
    void SetSortMemory(size_t bytes);

  private:
    struct KZVOL_LOCAL Impl;
    std::unique_ptr<Impl> impl_;
};
