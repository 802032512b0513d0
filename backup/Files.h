// Small file helpers of the backup repository: syncing a directory, reading a
// bounded file whole, and error text with the cause.
#pragma once

#include <cstddef>
#include <string>

namespace kzvol::backup {

// fsync of a directory, so that entries created or renamed in it are durable.
bool SyncDir(const std::string& dir);
// Writes `contents` to `path` (created or truncated), not synced: for files that
// only a killed process, not a crash, must find again.
bool WriteWholeFile(const std::string& path, const std::string& contents);
// Reads `path` whole; false (errno set, EFBIG when larger than `limit`) otherwise.
bool ReadWholeFile(const std::string& path, size_t limit, std::string* out);
// "<what>: <strerror(errno)>".
std::string WithErrno(const std::string& what);

}  // namespace kzvol::backup
