// The advisory lock on a volume's lock file. The lock is a POSIX record lock, so it
// belongs to the process: it excludes other processes, not other threads, and
// closing any descriptor of the file in this process drops it. The descriptor that
// holds a lock is therefore kept, in a registry by path, until the lock is released.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "host/Handles.h"
#include "volume/KZVolume.h"

namespace {

std::mutex g_heldMutex;
// Lock-file path -> the descriptor that holds its lock.
std::map<std::string, kzvol::UniqueFd>& HeldLocks() {
    static auto* held = new std::map<std::string, kzvol::UniqueFd>;
    return *held;
}

}  // namespace

bool KZVolume::ObtainUnixFileLock() {
    m_strLockFilePath = BuildSliceNameForUnixFileLock(m_strVolName);
    std::lock_guard<std::mutex> guard(g_heldMutex);
    // Held already by this process: a second descriptor would only risk dropping it.
    if (HeldLocks().count(m_strLockFilePath))
        return true;
    kzvol::UniqueFd fd(::open(m_strLockFilePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd)
        return false;
    if (::lseek(fd.get(), 0, SEEK_SET) != 0 || ::lockf(fd.get(), F_TLOCK, 0) != 0)
        return false;
    HeldLocks()[m_strLockFilePath] = std::move(fd);
    return true;
}

bool KZVolume::ReleaseUnixFileLock() {
    std::lock_guard<std::mutex> guard(g_heldMutex);
    auto held = HeldLocks().find(m_strLockFilePath);
    kzvol::UniqueFd fd;
    if (held != HeldLocks().end()) {
        fd = std::move(held->second);
        HeldLocks().erase(held);
    } else {
        fd.reset(::open(m_strLockFilePath.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd)
            return false;
    }
    return ::lseek(fd.get(), 0, SEEK_SET) == 0 && ::lockf(fd.get(), F_ULOCK, 0) == 0;
}
