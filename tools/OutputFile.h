// Output files of the kzvol tool. A regular file (or a new one) is written
// beside its target and replaces it only once complete, so a failed command
// leaves what the target held; a device, FIFO or terminal, and any path under
// /dev or /proc (/dev/stdout), is written directly. A symbolic link is followed
// to its file only when the caller or the owner of its directory made it; another
// user's link (planted in /tmp) is refused with EPERM.
#pragma once

#include <memory>
#include <string>

#include "host/AtomicFile.h"
#include "host/Handles.h"

namespace kzvol::cli {

class OutputFile {
  public:
    explicit OutputFile(const std::string& path);
    // False (errno set) when the output cannot be written at all.
    bool ok() const { return fd() >= 0; }
    int fd() const { return atomic_ ? atomic_->fd() : direct_.get(); }
    // The path to write: the temporary file beside a regular target.
    std::string write_path() const { return atomic_ ? atomic_->temp_path() : path_; }
    // Puts a regular output in place; false (errno set) when that fails.
    bool Commit() { return !atomic_ || atomic_->Commit(); }

  private:
    std::string path_;
    std::unique_ptr<AtomicFile> atomic_;
    UniqueFd direct_;
};

// A pair of files "BASE.dat" and "BASE.idx" (a file-index table) staged in a
// private directory beside BASE and moved into place only at Commit; a staged
// pair that is never committed is removed.
class StagedTable {
  public:
    explicit StagedTable(const std::string& base);
    ~StagedTable();
    StagedTable(const StagedTable&) = delete;
    StagedTable& operator=(const StagedTable&) = delete;

    bool ok() const { return !dir_.empty(); }
    // The base path to write the table under.
    std::string write_base() const { return dir_ + "/table"; }
    bool Commit();

  private:
    std::string base_, dir_;
};

}  // namespace kzvol::cli
