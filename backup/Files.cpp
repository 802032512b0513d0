// Small file helpers of the backup repository.
#include "backup/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/FullIO.h"
#include "host/Handles.h"

namespace kzvol::backup {

bool SyncDir(const std::string& dir) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

bool WriteWholeFile(const std::string& path, const std::string& contents) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd && WriteAll(fd.get(), contents.data(), contents.size());
}

bool ReadWholeFile(const std::string& path, size_t limit, std::string* out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit) {
        errno = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
        return false;
    }
    out->assign(static_cast<size_t>(st.st_size), '\0');
    return out->empty() || PReadAll(fd.get(), out->data(), out->size(), 0);
}

std::string WithErrno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace kzvol::backup
