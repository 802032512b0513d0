// Atomic rewrite through a temporary file in the same directory.
#include "host/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/FullIO.h"

namespace kzvol {

AtomicOutput::AtomicOutput(const std::string& path, mode_t modeIfNew) : path_(path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    temp_ = dir + "/." + base + ".XXXXXX";
    struct stat st;
    mode_ = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : modeIfNew;
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
}

AtomicOutput::~AtomicOutput() {
    if (fd_ < 0)
        return;
    int saved = errno;
    ::close(fd_);
    ::unlink(temp_.c_str());
    errno = saved;
}

bool AtomicOutput::Write(const void* data, size_t size) {
    return fd_ >= 0 && WriteAll(fd_, data, size);
}

bool AtomicOutput::Commit() {
    if (fd_ < 0)
        return false;
    if (::fchmod(fd_, mode_) != 0 || ::fsync(fd_) != 0 ||
        ::rename(temp_.c_str(), path_.c_str()) != 0)
        return false;  // the destructor removes the temporary file
    ::close(fd_);
    fd_ = -1;
    return true;
}

bool ReplaceFileContents(const std::string& path, const std::string& contents, mode_t modeIfNew) {
    AtomicOutput out(path, modeIfNew);
    return out.Write(contents.data(), contents.size()) && out.Commit();
}

}  // namespace kzvol
