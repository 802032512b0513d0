// Small file helpers of the backup repository: opening a file others may have
// planted something at, reading a bounded file whole,
// digesting a file, and error text with the cause.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "backup/Manifest.h"
#include "host/Handles.h"

namespace kzvol::backup {

// Opens `path` with `flags` without following a final symbolic link and without
// waiting on a FIFO or a device; the descriptor is kept only when it is a regular
// file (otherwise errno is EINVAL), and then blocks again as usual.
UniqueFd OpenRegular(const std::string& path, int flags, mode_t mode = 0600);
// Writes `contents` to `path` (created 0600 or truncated), not synced: for files
// that only a killed process, not a crash, must find again.
bool WriteWholeFile(const std::string& path, const std::string& contents);
// Reads `path` whole; false (errno set, EFBIG when larger than `limit`) otherwise.
bool ReadWholeFile(const std::string& path, size_t limit, std::string* out);
// The SHA-512 digest and size of the regular file `path`; false with errno.
bool DigestFile(const std::string& path, Digest* digest, uint64_t* bytes);
// The names in directory `dir` but "." and "..", sorted; empty when unreadable.
std::vector<std::string> FolderEntries(const std::string& dir);
// "<what>: <strerror(errno)>".
std::string WithErrno(const std::string& what);
// `cause`, or `otherwise` when it is empty.
std::string CauseOr(const std::string& cause, const std::string& otherwise);

}  // namespace kzvol::backup
