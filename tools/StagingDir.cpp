// The staging directory of command outputs.
#include "tools/StagingDir.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/Handles.h"

namespace kzvol::cli {
namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

StagingDir::StagingDir(const std::string& target) {
    std::string tmpl = DirectoryOf(target) + "/.kzvol-stage.XXXXXX";
    if (::mkdtemp(tmpl.data()))
        path_ = tmpl;
    else
        error_ = "cannot make a staging directory beside " + target + ": " + std::strerror(errno);
}

StagingDir::~StagingDir() {
    if (path_.empty())
        return;
    if (UniqueDir dir{::opendir(path_.c_str())}) {
        while (const struct dirent* e = ::readdir(dir.get())) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ::unlinkat(::dirfd(dir.get()), e->d_name, 0);
        }
    }
    ::rmdir(path_.c_str());
}

std::string StagingDir::PathFor(const std::string& target, const std::string& suffix) const {
    return path_ + "/" + BaseName(target) + suffix;
}

bool StagingDir::Commit(const std::string& staged, const std::string& target,
                        std::string* error) const {
    UniqueFd fd(::open(staged.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd && ::fsync(fd.get()) == 0 && ::rename(staged.c_str(), target.c_str()) == 0)
        return true;
    *error = "cannot put " + target + " in place: " + std::strerror(errno);
    return false;
}

}  // namespace kzvol::cli
