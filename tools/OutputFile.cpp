// Output files written beside their targets and renamed into place.
#include "tools/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "host/AtomicFile.h"

namespace kzvol::cli {
namespace {

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A symbolic link that neither the caller nor the owner of its directory made:
// one planted by another user in a shared (sticky) directory such as /tmp.
bool ForeignLink(const std::string& path) {
    struct stat link, dir;
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid == ::geteuid())
        return false;
    return ::stat(DirectoryOf(path).c_str(), &dir) != 0 || link.st_uid != dir.st_uid;
}

}  // namespace

OutputFile::OutputFile(const std::string& path) : path_(path) {
    if (ForeignLink(path)) {
        errno = EPERM;  // never written through: it would replace the link's target
        return;
    }
    // /dev/stdout and its kin name a descriptor the caller set up: written as it is.
    if (path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0) {
        direct_.reset(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        return;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char real[PATH_MAX];
        if (::realpath(path.c_str(), real))
            path_ = real;
    }
    if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        direct_.reset(::open(path_.c_str(), O_WRONLY | O_CLOEXEC));
        return;
    }
    atomic_ = std::make_unique<AtomicFile>(path_);
}

StagedTable::StagedTable(const std::string& base) : base_(base) {
    std::string tmpl = DirectoryOf(base) + "/." + BaseName(base) + ".XXXXXX";
    if (::mkdtemp(tmpl.data()))
        dir_ = tmpl;
}

StagedTable::~StagedTable() {
    if (dir_.empty())
        return;
    int saved = errno;
    for (const char* suffix : {".dat", ".idx"})
        ::unlink((write_base() + suffix).c_str());
    ::rmdir(dir_.c_str());
    errno = saved;
}

bool StagedTable::Commit() {
    for (const char* suffix : {".dat", ".idx"}) {
        if (::rename((write_base() + suffix).c_str(), (base_ + suffix).c_str()) != 0)
            return false;
    }
    return SyncDirectory(DirectoryOf(base_));
}

}  // namespace kzvol::cli
