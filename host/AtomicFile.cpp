// Atomic rewrite through a temporary file in the same directory.
#include "host/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "host/Env.h"
#include "host/FullIO.h"
#include "host/Handles.h"

namespace kzvol {

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncDirectory(const std::string& dir) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && CurrentEnv()->SyncFile(fd.get());
}

AtomicFile::AtomicFile(std::string path, mode_t modeIfNew)
    : path_(std::move(path)), modeIfNew_(modeIfNew) {
    size_t slash = path_.rfind('/');
    std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    temp_ = DirectoryOf(path_) + "/." + base + ".XXXXXX";
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0)
        temp_.clear();
}

AtomicFile::~AtomicFile() {
    if (fd_ < 0)
        return;
    int saved = errno;
    ::close(fd_);
    ::unlink(temp_.c_str());
    errno = saved;
}

bool AtomicFile::Commit() {
    if (fd_ < 0)
        return false;
    struct stat st;
    mode_t mode = ::stat(path_.c_str(), &st) == 0 ? (st.st_mode & 07777) : modeIfNew_;
    bool ok = ::fchmod(fd_, mode) == 0 && CurrentEnv()->SyncFile(fd_);
    ok = ::close(std::exchange(fd_, -1)) == 0 && ok;
    if (ok && ::rename(temp_.c_str(), path_.c_str()) == 0)
        return SyncDirectory(DirectoryOf(path_));
    int saved = errno;
    ::unlink(temp_.c_str());
    errno = saved;
    return false;
}

bool ReplaceFileContents(const std::string& path, const std::string& contents, mode_t modeIfNew) {
    AtomicFile file(path, modeIfNew);
    return file.ok() && WriteAll(file.fd(), contents.data(), contents.size()) && file.Commit();
}

}  // namespace kzvol
