// Writing a backup folder under its temporary name and renaming it into place.
#include "backup/Pending.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "backup/Files.h"
#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/FullIO.h"

namespace kzvol::backup {
namespace {

// Writeback of the extents starts every this many bytes, so the final sync waits
// for little.
constexpr uint64_t kWritebackEvery = 8ull << 20;

}  // namespace

bool RemoveFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return !ec;
}

PendingBackup::PendingBackup(const Repository& repo, std::string id)
    : repo_(repo), id_(std::move(id)), dir_(repo.TempDir(id_)) {}

PendingBackup::~PendingBackup() {
    extents_.reset();
    if (created_ && !keep_)
        RemoveFolder(dir_);
}

bool PendingBackup::Create(std::string* error) {
    if (::mkdir(dir_.c_str(), 0700) != 0) {
        *error = WithErrno("cannot create " + dir_);
        return false;
    }
    created_ = true;
    return true;
}

bool PendingBackup::WriteFile(const std::string& name, const std::string& contents, bool sync,
                              std::string* error) {
    const std::string path = dir_ + "/" + name;
    bool ok = sync ? ReplaceFileContents(path, contents, 0600) &&
                         (repoSynced_ || SyncDirectory(repo_.dir()))
                   : WriteWholeFile(path, contents);
    repoSynced_ |= ok && sync;
    if (ok)
        return true;
    *error = WithErrno("cannot write " + path);
    return false;
}

bool PendingBackup::OpenExtents(std::string* error) {
    const std::string path = dir_ + "/" + kExtentsFile;
    extents_.reset(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (extents_)
        return true;
    *error = WithErrno("cannot create " + path);
    return false;
}

bool PendingBackup::AppendExtent(const char* data, uint32_t length, std::string* error) {
    if (!WriteAll(extents_.get(), data, length)) {
        *error = WithErrno("cannot write " + dir_ + "/" + kExtentsFile);
        return false;
    }
    written_ += length;
    if (written_ - flushed_ >= kWritebackEvery) {
        ::sync_file_range(extents_.get(), static_cast<off_t>(flushed_),
                          static_cast<off_t>(written_ - flushed_), SYNC_FILE_RANGE_WRITE);
        flushed_ = written_;
    }
    return true;
}

bool PendingBackup::Commit(const std::string& manifest, std::string* error) {
    if (!CurrentEnv()->SyncFile(extents_.get()) || ::close(extents_.release()) != 0) {
        *error = WithErrno("cannot sync " + dir_ + "/" + kExtentsFile);
        return false;
    }
    if (!WriteFile(kManifestFile, manifest, true, error))
        return false;
    const std::string target = repo_.BackupDir(id_);
    if (::rename(dir_.c_str(), target.c_str()) != 0) {
        *error = WithErrno("cannot rename " + dir_ + " to " + target);
        return false;
    }
    created_ = false;
    if (SyncDirectory(repo_.dir()))
        return true;
    *error = WithErrno("backup " + id_ + " is in place, but syncing " + repo_.dir() + " failed");
    return false;
}

}  // namespace kzvol::backup
