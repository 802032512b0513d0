// Listing, loading and chaining the backups of a repository.
#include "backup/Repository.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "backup/Files.h"
#include "host/AtomicFile.h"

namespace kzvol::backup {
namespace {

constexpr size_t kManifestLimit = 1ull << 30;

std::string SizeText(const Manifest& m) {
    return "a volume of " + std::to_string(m.volumeBytes) + " bytes in extents of " +
           std::to_string(m.extentBytes);
}

}  // namespace

bool Repository::LockForWriting(std::string* error) {
    if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = WithErrno("cannot create the repository " + dir_);
        return false;
    }
    lock_ = OpenRegular(dir_ + "/.lock", O_RDWR | O_CREAT);
    if (!lock_) {
        *error = WithErrno("cannot open the lock of the repository " + dir_);
        return false;
    }
    if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        *error = "another backup is writing the repository " + dir_;
        lock_.reset();
        return false;
    }
    if (Open(error))
        return true;
    lock_.reset();
    return false;
}

bool Repository::Open(std::string* error) {
    const std::string path = dir_ + "/" + kConfigFile;
    std::string text, why;
    hasConfig_ = false;
    if (!ReadWholeFile(path, 1 << 16, &text)) {
        if (errno == ENOENT)
            return true;
        *error = WithErrno("cannot read the identity file " + path);
        return false;
    }
    if (!ParseConfig(text, &config_, &why)) {
        *error =
            "the repository " + dir_ + " cannot be used: its identity file " + path + " " + why;
        return false;
    }
    hasConfig_ = true;
    return true;
}

bool Repository::WriteConfig(const RepositoryConfig& config, std::string* error) {
    const std::string path = dir_ + "/" + kConfigFile;
    if (!ReplaceFileContents(path, FormatConfig(config), 0600)) {
        *error = WithErrno("cannot write the identity file " + path);
        return false;
    }
    config_ = config;
    hasConfig_ = true;
    return true;
}

std::vector<std::string> Repository::Names(bool temporary) const {
    std::vector<std::string> ids;
    const std::string prefix = temporary ? kTempPrefix : "";
    for (const std::string& name : FolderEntries(dir_)) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string id = name.substr(prefix.size());
        if (IsBackupId(id))
            ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::string Repository::NewestId() const {
    const std::vector<std::string> ids = BackupIds();
    return ids.empty() ? "" : ids.back();
}

std::vector<std::string> Repository::BackupIds() const {
    return Names(false);
}

std::vector<std::string> Repository::LeftoverIds() const {
    return Names(true);
}

std::string Repository::NextId() const {
    unsigned long next = 1;
    for (bool temporary : {false, true})
        for (const std::string& id : Names(temporary))
            next = std::max(next, std::stoul(id) + 1);
    char id[16];
    std::snprintf(id, sizeof id, "%06lu", next);
    return id;
}

bool Repository::Load(const std::string& id, Manifest* out, std::string* error) const {
    std::string text;
    const std::string path = BackupDir(id) + "/" + kManifestFile;
    if (!IsBackupId(id)) {
        *error = "'" + id + "' is not a backup id (six digits)";
        return false;
    }
    if (!ReadWholeFile(path, kManifestLimit, &text)) {
        *error =
            errno == ENOENT ? "no backup " + id + " in " + dir_ : WithErrno("cannot read " + path);
        return false;
    }
    std::string why;
    if (!ParseManifest(text, out, &why)) {
        *error = "the manifest of backup " + id + " is damaged: " + why;
        return false;
    }
    if (out->id != id) {
        *error = "the manifest of backup " + id + " names itself " + out->id;
        return false;
    }
    if (hasConfig_ && (out->volumeBytes != config_.volume.volumeBytes ||
                       out->extentBytes != config_.volume.extentBytes)) {
        *error = "backup " + id + " was made for " + SizeText(*out) + ", but the repository " +
                 dir_ + " protects " + IdentityText(config_.volume);
        return false;
    }
    return true;
}

bool Repository::Chain(const std::string& id, std::vector<Manifest>* chain,
                       std::string* error) const {
    chain->clear();
    Manifest m;
    if (!Load(id, &m, error))
        return false;
    chain->push_back(std::move(m));
    while (chain->back().kind == Kind::Incremental) {
        const Manifest& child = chain->back();
        Manifest parent;
        if (child.parent >= child.id) {
            *error = "backup " + child.id + " builds on a later backup, " + child.parent;
            return false;
        }
        if (!Load(child.parent, &parent, error)) {
            *error = "backup " + child.id + " builds on " + child.parent +
                     ", which cannot be used: " + *error;
            return false;
        }
        if (parent.volumeBytes != child.volumeBytes || parent.extentBytes != child.extentBytes) {
            *error = "backup " + child.id + " was made for " + SizeText(child) + ", but " +
                     parent.id + " it builds on for " + SizeText(parent);
            return false;
        }
        chain->push_back(std::move(parent));
    }
    std::reverse(chain->begin(), chain->end());
    return true;
}

}  // namespace kzvol::backup
