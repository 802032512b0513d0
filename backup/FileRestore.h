// Restoring one file, symbolic link or directory tree of a backup point to a
// path of the running system, straight from the point's file system: regular
// files with their holes kept as holes, symbolic links, FIFOs, devices (as
// root), files with several names linked again within a tree; mode, times and,
// when run as root, owner kept. Everything is made under a private folder beside
// the target, new files 0600 and folders 0700 until their final mode is set, and
// renamed into place only once complete and synced: a file or link replaces a
// file or link at the target, a tree never replaces anything.
#pragma once

#include <cstdint>
#include <string>

#include "backup/PointFiles.h"

namespace kzvol::backup {

struct RestoreCounts {
    uint64_t files = 0, directories = 0, symlinks = 0, hardLinks = 0, specials = 0;
    uint64_t skipped = 0;  // devices and sockets that could not be made
    uint64_t bytes = 0;    // data bytes written
};

// Restores inode `inode` of `files` to `target`. False with *error naming the
// path and the cause (an extent that fails its digest names backup and extent);
// the target is then as it was and nothing made is left behind.
bool RestoreFiles(PointFiles& files, uint32_t inode, const std::string& target,
                  RestoreCounts* counts, std::string* error);

}  // namespace kzvol::backup
