// A backup repository: a directory holding a chain of backups. Each completed
// backup is a folder named by its six-digit id holding "manifest", "extents" (the
// data of the extents the manifest lists, back to back in its order), "bitmap"
// (the change bitmap the backup took) and, when indexed, the file-index table
// "index" (index.dat, index.idx) and the volume information "volinfo". A backup
// being written lives in ".tmp-<id>" and is renamed into place when complete and
// synced; ".lock" keeps two backups from running at once.
//
// Threads: an object is used from one thread; several processes may read a
// repository while one backup writes it.
#pragma once

#include <string>
#include <vector>

#include "backup/Manifest.h"
#include "host/Handles.h"

namespace kzvol::backup {

// Files of a backup folder.
constexpr char kManifestFile[] = "manifest";
constexpr char kExtentsFile[] = "extents";
constexpr char kBitmapFile[] = "bitmap";
constexpr char kSnapshotFile[] = "snapshot";
constexpr char kIndexTable[] = "index";
constexpr char kVolumeInfoFile[] = "volinfo";
constexpr char kTempPrefix[] = ".tmp-";

class Repository {
  public:
    explicit Repository(std::string dir) : dir_(std::move(dir)) {}

    const std::string& dir() const { return dir_; }
    std::string BackupDir(const std::string& id) const { return dir_ + "/" + id; }
    std::string TempDir(const std::string& id) const { return dir_ + "/" + kTempPrefix + id; }

    // Creates the directory when missing and takes the writer's lock; false with
    // *error when another backup holds it.
    bool LockForWriting(std::string* error);

    // Ids of the completed backups, oldest first; of the unfinished ones.
    std::vector<std::string> BackupIds() const;
    std::vector<std::string> LeftoverIds() const;
    // One past the highest id in use, completed or not.
    std::string NextId() const;

    bool Load(const std::string& id, Manifest* out, std::string* error) const;
    // The chain from the full backup up to `id`, oldest first, each link loaded and
    // checked: present, older than the backup that names it, same volume and
    // extent size.
    bool Chain(const std::string& id, std::vector<Manifest>* chain, std::string* error) const;

  private:
    std::vector<std::string> Names(bool temporary) const;

    std::string dir_;
    UniqueFd lock_;
};

}  // namespace kzvol::backup
