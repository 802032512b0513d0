// Replacing a file's contents without ever leaving it half-written: the new
// contents go to a temporary file made with mkstemp in the target's directory,
// are flushed and fsynced, take the target's mode, and are renamed over it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "host/Export.h"

namespace kzvol {

// True when `path` now holds `contents`. On false the target is unchanged and no
// temporary file is left; errno tells why. A new file gets `modeIfNew`.
KZVOL_API bool ReplaceFileContents(const std::string& path, const std::string& contents,
                                   mode_t modeIfNew = 0644);

// The same for contents written in pieces: the temporary file beside `path` takes
// the writes, and Commit puts it in place. Until then the target is untouched; an
// object destroyed without a successful Commit removes its temporary file.
class KZVOL_API AtomicOutput {
  public:
    explicit AtomicOutput(const std::string& path, mode_t modeIfNew = 0644);
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    // False (errno set) when the temporary file could not be made.
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // False with errno set when not every byte was written.
    bool Write(const void* data, size_t size);
    // Mode, fsync, rename over the target. False with errno set; the target is
    // then unchanged.
    bool Commit();

  private:
    std::string path_, temp_;
    mode_t mode_;
    int fd_ = -1;
};

}  // namespace kzvol
