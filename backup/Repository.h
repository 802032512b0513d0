// A backup repository: a directory holding a chain of backups. Each completed
// backup is a folder named by its six-digit id holding "manifest", "extents" (the
// data of the extents the manifest lists, back to back in its order), "bitmap"
// (the change bitmap the backup took) and, when indexed, the file-index table
// "index" (index.dat, index.idx) and the volume information "volinfo". A backup
// being written lives in ".tmp-<id>" and is renamed into place when complete and
// synced; ".lock" keeps two backups from running at once; "config" says which
// volume the repository protects (Config.h).
//
// Threads: an object is used from one thread; several processes may read a
// repository while one backup writes it.
#pragma once

#include <string>
#include <vector>

#include "backup/Config.h"
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
constexpr char kIndexFailureFile[] = "index-failure";  // why an index asked for is missing
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
    // Reads the identity file, when there is one; false with *error when it cannot
    // be read, is damaged or of a newer format. Every command calls it first.
    bool Open(std::string* error);
    // The identity read by Open; null for a repository made before there was one.
    const RepositoryConfig* config() const { return hasConfig_ ? &config_ : nullptr; }
    // Writes the identity file (synced); only for a repository that has none.
    bool WriteConfig(const RepositoryConfig& config, std::string* error);

    // Ids of the completed backups, oldest first; of the unfinished ones.
    std::vector<std::string> BackupIds() const;
    std::vector<std::string> LeftoverIds() const;
    // The newest completed backup; "" when there is none.
    std::string NewestId() const;
    // One past the highest id in use, completed or not.
    std::string NextId() const;

    // Loads and checks a manifest: its own id, and the volume of the identity file.
    bool Load(const std::string& id, Manifest* out, std::string* error) const;
    // The chain from the full backup up to `id`, oldest first, each link loaded and
    // checked: present, older than the backup that names it, same volume and
    // extent size.
    bool Chain(const std::string& id, std::vector<Manifest>* chain, std::string* error) const;

  private:
    std::vector<std::string> Names(bool temporary) const;

    std::string dir_;
    UniqueFd lock_;
    RepositoryConfig config_;
    bool hasConfig_ = false;
};

}  // namespace kzvol::backup
