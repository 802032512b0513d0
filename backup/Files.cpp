// Small file helpers of the backup repository.
#include "backup/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/FullIO.h"
#include "host/KzcSHA512.h"

namespace kzvol::backup {

UniqueFd OpenRegular(const std::string& path, int flags, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return UniqueFd();
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool WriteWholeFile(const std::string& path, const std::string& contents) {
    UniqueFd fd = OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC);
    return fd && WriteAll(fd.get(), contents.data(), contents.size());
}

bool ReadWholeFile(const std::string& path, size_t limit, std::string* out) {
    UniqueFd fd = OpenRegular(path, O_RDONLY);
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return false;
    if (static_cast<uint64_t>(st.st_size) > limit) {
        errno = EFBIG;
        return false;
    }
    out->assign(static_cast<size_t>(st.st_size), '\0');
    return out->empty() || PReadAll(fd.get(), out->data(), out->size(), 0);
}

bool DigestFile(const std::string& path, Digest* digest, uint64_t* bytes) {
    UniqueFd fd = OpenRegular(path, O_RDONLY);
    if (!fd)
        return false;
    KzcSHA512 sha;
    sha.reset();
    std::vector<char> buffer(1 << 20);
    *bytes = 0;
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        sha.addData(buffer.data(), static_cast<size_t>(n));
        *bytes += static_cast<uint64_t>(n);
    }
    sha._finish(digest->data(), digest->size());
    return true;
}

std::vector<std::string> FolderEntries(const std::string& dir) {
    std::vector<std::string> names;
    UniqueDir d(::opendir(dir.c_str()));
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string WithErrno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string CauseOr(const std::string& cause, const std::string& otherwise) {
    return cause.empty() ? otherwise : cause;
}

}  // namespace kzvol::backup
