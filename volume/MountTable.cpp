// Mount-table lookups over the shared scan, and the retrying stream lock.
#include "volume/MountTable.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "filter/DriverChannel.h"
#include "host/EvDebug.h"
#include "host/Sleep.h"
#include "volume/MountScan.h"

namespace {

EvDebug g_log;

constexpr int kLockRequests = 10;
constexpr unsigned long kLockRetryMs = 2000;

}  // namespace

char* kz_getmountpoint(char* device) {
    static const char kContext[] = "kz_getmountpoint:";
    const std::string wanted = device ? device : "";
    kzvol::MountedFs fs;
    int err = 0;
    switch (kzvol::FindMountedFs([&](const kzvol::MountedFs& m) { return m.device == wanted; }, &fs,
                                 &err)) {
        case kzvol::MountScan::kFound:
            g_log.Debug(kContext, "found mntpath=%s for device=%s \n", fs.dir.c_str(),
                        wanted.c_str());
            return ::strdup(fs.dir.c_str());
        case kzvol::MountScan::kNotFound:
            g_log.Error(kContext, "could not get mountpoint for device=%s\n", wanted.c_str());
            return nullptr;
        case kzvol::MountScan::kUnreadable:
            g_log.Error(kContext, "failed to open /etc/mtab for device=%s errno=%d\n",
                        wanted.c_str(), err);
            return nullptr;
    }
    return nullptr;
}

std::string getrawdev(char* mountpoint) {
    static const char kContext[] = "getrawdev:";
    const std::string wanted = mountpoint ? mountpoint : "";
    kzvol::MountedFs fs;
    int err = 0;
    switch (kzvol::FindMountedFs([&](const kzvol::MountedFs& m) { return m.dir == wanted; }, &fs,
                                 &err)) {
        case kzvol::MountScan::kFound:
            return fs.device;
        case kzvol::MountScan::kNotFound:
            g_log.Debug(kContext, "could not get rawdevice name for mountpoint=%s \n",
                        wanted.c_str());
            return std::string();
        case kzvol::MountScan::kUnreadable:
            g_log.Debug(kContext, "failed to open /etc/mtab errno=%d \n", err);
            return std::string();
    }
    return std::string();
}

std::string getdevname(std::string path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string getVolName(std::string name) {
    if (name.find(kzvol::kQnbfNodePrefix) != std::string::npos)
        return name;
    return getrawdev(name.data());
}

int lock(FILE* stream, int type) {
    if (!stream) {
        errno = EBADF;
        return -1;
    }
    struct flock64 request;
    std::memset(&request, 0, sizeof request);
    request.l_type = static_cast<short>(type);
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // to the end of the file and beyond
    // The non-waiting request: a lock held elsewhere is asked for again after a
    // sleep, so the wait is bounded instead of lasting as long as the holder.
    for (int attempt = 1;; ++attempt) {
        if (::fcntl(::fileno(stream), F_SETLK64, &request) == 0)
            return 0;
        int err = errno;
        if (err != EACCES && err != EAGAIN)
            return -1;
        UXSLEEP(kLockRetryMs);
        if (attempt >= kLockRequests) {
            errno = err;
            return -1;
        }
    }
}
