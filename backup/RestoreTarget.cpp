// Opening, filling and putting in place the target of a restore.
#include "backup/RestoreTarget.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "backup/Files.h"
#include "host/AtomicFile.h"
#include "host/Env.h"

namespace kzvol::backup {
namespace {

constexpr char kTempMark[] = ".kzvol-restore-";

// Removes the files beside `base` in `dir` that earlier, killed restores left:
// those no running restore holds locked.
void RemoveKilledRestores(const std::string& dir, const std::string& base) {
    const std::string prefix = "." + base + kTempMark;
    for (const std::string& name : FolderEntries(dir)) {
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string path = dir + "/" + name;
        UniqueFd fd = OpenRegular(path, O_RDONLY);
        if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
    }
}

}  // namespace

bool IsInside(const std::string& path, const std::string& dir) {
    std::error_code ec;
    std::string target = std::filesystem::weakly_canonical(path, ec).string();
    std::string root = ec ? "" : std::filesystem::weakly_canonical(dir, ec).string();
    if (ec || root.empty())
        return false;
    if (root.back() != '/')
        root += '/';
    return (target + "/").compare(0, root.size(), root) == 0;
}

RestoreTarget::~RestoreTarget() {
    if (!temp_.empty())
        ::unlink(temp_.c_str());
}

bool RestoreTarget::Open(uint64_t volumeBytes, std::string* error) {
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        return OpenDevice(volumeBytes, error);
    if (::lstat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = path_ + " is neither a regular file nor a block device";
        return false;
    }
    return OpenFile(volumeBytes, error);
}

bool RestoreTarget::OpenFile(uint64_t volumeBytes, std::string* error) {
    struct stat old;
    const bool replacing = ::stat(path_.c_str(), &old) == 0;
    size_t slash = path_.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : path_.substr(0, slash + (slash == 0));
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    RemoveKilledRestores(dir, base);
    temp_ = (slash == std::string::npos ? "" : path_.substr(0, slash + 1)) + "." + base +
            kTempMark + "XXXXXX";
    fd_.reset(::mkostemp(temp_.data(), O_CLOEXEC));  // 0600
    if (!fd_) {
        temp_.clear();
        *error = WithErrno("cannot create a file beside " + path_);
        return false;
    }
    ::flock(fd_.get(), LOCK_EX | LOCK_NB);
    if (replacing && (::fchown(fd_.get(), old.st_uid, old.st_gid) != 0 ||
                      ::fchmod(fd_.get(), old.st_mode & 07777) != 0)) {
        *error = WithErrno("cannot give " + temp_ + " the owner and mode of " + path_);
        return false;
    }
    if (::ftruncate(fd_.get(), static_cast<off_t>(volumeBytes)) == 0)
        return true;
    *error = WithErrno("cannot size " + temp_);
    return false;
}

bool RestoreTarget::OpenDevice(uint64_t volumeBytes, std::string* error) {
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC));
    uint64_t bytes = 0;
    if (!fd_ || ::ioctl(fd_.get(), BLKGETSIZE64, &bytes) != 0) {
        *error = WithErrno("cannot open " + path_ + " for exclusive writing");
        return false;
    }
    if (bytes == volumeBytes)
        return true;
    *error = path_ + " holds " + std::to_string(bytes) + " bytes; the backup is of a volume of " +
             std::to_string(volumeBytes);
    return false;
}

bool RestoreTarget::Finish(std::string* error) {
    if (!CurrentEnv()->SyncFile(fd_.get())) {
        *error = WithErrno("cannot sync " + (temp_.empty() ? path_ : temp_));
        return false;
    }
    if (!temp_.empty() && ::rename(temp_.c_str(), path_.c_str()) != 0) {
        *error = WithErrno("cannot rename " + temp_ + " to " + path_);
        return false;
    }
    // The new name must survive a crash as well as the contents.
    if (!temp_.empty() && !SyncDirectory(DirectoryOf(path_))) {
        *error = WithErrno("cannot sync the directory of " + path_);
        return false;
    }
    temp_.clear();
    fd_.reset();
    return true;
}

}  // namespace kzvol::backup
