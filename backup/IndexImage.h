// Indexing a frozen image with the on-disk directory reader: the file-index table
// of its ext2/ext3 file system and the volume information, so a backup can be
// browsed (kzvol ls, kzvol find) without a restore.
#pragma once

#include <cstdint>
#include <string>

namespace kzvol::backup {

// Reads the file system on `fd` into the table `table` (table.dat, table.idx) and
// `volinfo`. On false both are removed and *error holds the reader's complaint.
bool IndexImage(int fd, const std::string& table, const std::string& volinfo, uint64_t extentBytes,
                std::string* error);

}  // namespace kzvol::backup
