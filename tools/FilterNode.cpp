// Filter device lookup and command output for the kzvol filter commands.
#include "tools/FilterNode.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/QnbfLookup.h"
#include "host/FullIO.h"

namespace kzvol::cli {

bool BindFilterNode(KZVolumeUnix& volume, const std::string& node, std::string* error) {
    if (QnbfBindByName(volume, node))
        return true;
    AdminNode admin;  // why the lookup failed
    if (!admin.ok())
        *error = std::string("cannot reach the filter driver through ") + kQnbfAdminNode + ": " +
                 std::strerror(admin.open_errno()) +
                 " (load the qnbf driver, or give --emulator DIR for the stand-in)";
    else
        *error = "no filter device " + node + " (kzvol devices lists them)";
    return false;
}

bool CommandOutput::Open(const std::string& path, std::string* error) {
    if (path.empty())
        return true;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        direct_.reset(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        fd_ = direct_.get();
    } else {
        file_ = std::make_unique<AtomicFile>(path);
        fd_ = file_->fd();
    }
    if (fd_ < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CommandOutput::Write(const void* data, size_t size) {
    return WriteAll(fd_, data, size);
}

bool CommandOutput::Finish() {
    return !file_ || file_->Commit();
}

}  // namespace kzvol::cli
