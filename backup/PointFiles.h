// The files of a backup point, without restoring its image: paths are found
// through the backup's file-index table, inodes and data read from the assembled
// point by the directory reader's own parsing. A point without an index, or a
// path that is not in it, is refused naming what is missing.
//
// Threads: an object is used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "backup/PointReader.h"
#include "fstree/UnixFsTreeReader.h"
#include "rdfd/InodeReader.h"

namespace kzvol::backup {

// The file-index table of backup `id` (its base path), or false with *error when
// the backup has none.
bool BackupTable(const Repository& repo, const std::string& id, std::string* table,
                 std::string* error);

class PointFiles {
  public:
    explicit PointFiles(const Repository& repo);
    ~PointFiles();

    // Opens backup `id`: its chain, its index and the file system of its point.
    bool Open(const std::string& id, std::string* error);
    // The inode of `path` ("/" the root). Every directory on the way must be in
    // the index; the last name may also be one the index leaves out (a file with
    // several names, a device), found in its directory on the volume.
    bool Find(const std::string& path, uint32_t* inode, std::string* error);

    PointReader& point() { return point_; }
    ext3::InodeReader& fs() { return *fs_; }
    // What a failure of the file-system reads really was: the point's last failed
    // read (an extent that does not match its digest, say), else `error`.
    std::string FsError(const std::string& error) const;

  private:
    static unsigned int ReadCallback(void* context, char* buffer, unsigned int size,
                                     unsigned long long offset);

    const Repository& repo_;
    PointReader point_;
    std::string id_, readError_;
    UnixFsTreeReader table_;
    std::unique_ptr<ext3::InodeReader> fs_;
};

}  // namespace kzvol::backup
