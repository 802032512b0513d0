// The target of a restore: a block device written in place (opened exclusively,
// it must have the volume's size), or a file written beside its final name and
// renamed over it once complete and synced. A new file is created 0600; a file
// replaced keeps its mode and owner. The file beside ("." NAME ".kzvol-restore-"
// and six characters) is locked while it is written, so the next restore to the
// same name removes what a killed one left without touching one still running.
#pragma once

#include <cstdint>
#include <string>

#include "host/Handles.h"

namespace kzvol::backup {

class RestoreTarget {
  public:
    explicit RestoreTarget(std::string path) : path_(std::move(path)) {}
    ~RestoreTarget();
    RestoreTarget(const RestoreTarget&) = delete;
    RestoreTarget& operator=(const RestoreTarget&) = delete;

    bool Open(uint64_t volumeBytes, std::string* error);
    int fd() const { return fd_.get(); }
    // A fresh file reads zeros wherever nothing was written (extents of zeros stay holes).
    bool ReadsZeros() const { return !temp_.empty(); }
    // Syncs, and renames a file into place.
    bool Finish(std::string* error);

  private:
    bool OpenDevice(uint64_t volumeBytes, std::string* error);
    bool OpenFile(uint64_t volumeBytes, std::string* error);

    std::string path_, temp_;
    UniqueFd fd_;
};

// True when `path` (existing or not) lies inside the directory `dir`.
bool IsInside(const std::string& path, const std::string& dir);

}  // namespace kzvol::backup
