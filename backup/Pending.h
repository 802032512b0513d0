// The folder of a backup being written, ".tmp-<id>" in the repository. Files go
// in synced; Commit syncs the extents, writes the manifest and renames the folder
// to its id, so a crash at any moment leaves either no backup or a whole one.
// Unless committed or kept, the folder is removed when the object goes.
#pragma once

#include <cstdint>
#include <string>

#include "backup/Repository.h"
#include "host/Handles.h"

namespace kzvol::backup {

class PendingBackup {
  public:
    PendingBackup(const Repository& repo, std::string id);
    ~PendingBackup();
    PendingBackup(const PendingBackup&) = delete;
    PendingBackup& operator=(const PendingBackup&) = delete;

    const std::string& dir() const { return dir_; }
    const std::string& id() const { return id_; }
    uint64_t extent_bytes_written() const { return written_; }

    // Makes the folder, refusing one that exists; the first synced file syncs the
    // repository too.
    bool Create(std::string* error);
    // Writes `name` in the folder whole, replacing an earlier version; synced, with
    // the folder, when `sync`.
    bool WriteFile(const std::string& name, const std::string& contents, bool sync,
                   std::string* error);
    bool OpenExtents(std::string* error);
    bool AppendExtent(const char* data, uint32_t length, std::string* error);
    // Syncs the extents, writes the manifest, renames the folder to its id and
    // syncs the repository. False leaves the folder to be removed.
    bool Commit(const std::string& manifest, std::string* error);
    // Leaves the folder in place for the next backup to find.
    void Keep() { keep_ = true; }

  private:
    const Repository& repo_;
    std::string id_, dir_;
    UniqueFd extents_;
    uint64_t written_ = 0, flushed_ = 0;
    bool created_ = false, keep_ = false, repoSynced_ = false;
};

// Removes a folder the backup tool made, with everything in it.
bool RemoveFolder(const std::string& dir);

}  // namespace kzvol::backup
