// Trace switch and trace files.
#include "host/TraceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <mutex>

namespace kzvol {
namespace {

std::mutex g_dirMutex;
std::string& Dir() {
    static std::string dir = "/tmp";
    return dir;
}

bool OwnedByUs(const struct stat& st) {
    return st.st_uid == 0 || st.st_uid == ::geteuid();
}

}  // namespace

const std::string& TraceDirectory() {
    std::lock_guard<std::mutex> lock(g_dirMutex);
    return Dir();
}

std::string SetTraceDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_dirMutex);
    std::string old = Dir();
    Dir() = dir;
    return old;
}

bool TraceEnabled() {
    struct stat st;
    std::string path = TraceDirectory() + "/debugkzvol";
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && OwnedByUs(st);
}

TraceFile::TraceFile(const char* name, Mode mode) {
    if (!TraceEnabled())
        return;
    std::string path = TraceDirectory() + "/" + name;
    // Non-blocking, so that a FIFO planted at the path cannot hold the open.
    int flags =
        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (mode == Append ? O_APPEND : 0);
    UniqueFd fd(::open(path.c_str(), flags, 0600));
    if (!fd)
        return;
    struct stat st;
    // Truncate only after checking what was opened: never a device, FIFO, hard
    // link or someone else's file.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_uid != ::geteuid())
        return;
    int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl == -1 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0)
        return;
    if (mode == Truncate && ::ftruncate(fd.get(), 0) != 0)
        return;
    FILE* f = ::fdopen(fd.get(), mode == Append ? "a" : "w");
    if (!f)
        return;
    fd.release();
    file_.reset(f);
}

void TraceFile::Printf(const char* format, ...) {
    if (!file_)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file_.get(), format, args);
    va_end(args);
}

}  // namespace kzvol
