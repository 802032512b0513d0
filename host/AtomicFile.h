// Replacing a file's contents without ever leaving it half-written: the new
// contents go to a temporary file made with mkstemp in the target's directory,
// are flushed and fsynced, take the target's mode, and are renamed over it; the
// directory is fsynced after the rename so that the new name survives a crash.
#pragma once

#include <sys/types.h>

#include <string>

namespace kzvol {

// A new version of `path`, written through fd() and put in place by Commit.
// Until then the target is untouched; a writer destroyed without a successful
// Commit removes its temporary file. Not thread-safe.
class AtomicFile {
  public:
    // Creates the temporary file beside `path`; ok() is false (errno set) when
    // that fails. A new target gets `modeIfNew`, an existing one keeps its mode.
    explicit AtomicFile(std::string path, mode_t modeIfNew = 0644);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& temp_path() const { return temp_; }
    // Syncs the temporary file, renames it over the target and syncs the
    // directory. False (errno set) when any step fails; the temporary file is
    // then gone and, unless only the directory sync failed, the target is as it was.
    bool Commit();

  private:
    std::string path_, temp_;
    mode_t modeIfNew_;
    int fd_ = -1;
};

// The directory part of `path`: "." when it has none, "/" for a file in the root.
std::string DirectoryOf(const std::string& path);

// Makes the entries of directory `dir` durable (after a rename into it).
bool SyncDirectory(const std::string& dir);

// True when `path` now holds `contents`. On false the target is unchanged and no
// temporary file is left; errno tells why. A new file gets `modeIfNew`.
bool ReplaceFileContents(const std::string& path, const std::string& contents,
                         mode_t modeIfNew = 0644);

}  // namespace kzvol
