// Atomic rewrite through a temporary file in the same directory.
#include "host/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/FullIO.h"
#include "host/Handles.h"

namespace kzvol {

bool ReplaceFileContents(const std::string& path, const std::string& contents, mode_t modeIfNew) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmpl = dir + "/." + base + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd)
        return false;

    struct stat st;
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : modeIfNew;
    bool ok = WriteAll(fd.get(), contents.data(), contents.size()) &&
              ::fchmod(fd.get(), mode) == 0 && ::fsync(fd.get()) == 0;
    int saved = errno;
    fd.reset();
    if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0)
        return true;
    if (ok)
        saved = errno;
    ::unlink(tmpl.c_str());
    errno = saved;
    return false;
}

}  // namespace kzvol
