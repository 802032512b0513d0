// The shared pieces of content snapshots: events, path matching, commands and the
// driver's snapshot flag.
#include "metadata/ContentSnapSupport.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "filter/QnbfVolInfo.h"
#include "host/Env.h"
#include "host/EvEvent.h"
#include "host/KzProcess.h"
#include "volume/KZVolume.h"

namespace kzvol::contentsnap {

void RaiseEvent(int code, const std::string* arg) {
    // A fresh event per raise, so that it carries its own argument only.
    EvEvent event;
    if (arg)
        event << *arg;
    event.CriticalEvent(code, 0, 0);
}

bool IsAtOrBelow(const std::string& dir, const std::string& top) {
    size_t end = top.find_last_not_of('/');
    const size_t len = end == std::string::npos ? 0 : end + 1;
    if (dir.compare(0, len, top, 0, len) != 0)
        return false;
    // "/" leaves len 0: every absolute directory is below it.
    return dir.size() == len ? len != 0 : dir[len] == '/';
}

std::string NormalPath(const std::string& path) {
    if (path.empty())
        return path;
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}

int RunCommand(const std::string& command, std::string* output, std::string* error) {
    output->clear();
    error->clear();
    KzProcess process;
    return process.system(command, output, error, 0, false);
}

bool IsMountedAt(const std::string& device, const std::string& dir) {
    std::vector<MountTableEntry> table;
    if (!CurrentEnv()->ReadMountTable(&table))
        return false;
    struct stat wanted;
    const bool numbered = ::stat(device.c_str(), &wanted) == 0 && S_ISBLK(wanted.st_mode);
    for (const MountTableEntry& entry : table) {
        if (entry.fields.size() < 2 || entry.fields[1] != dir)
            continue;
        struct stat st;
        if (entry.fields[0] == device || (numbered && ::stat(entry.fields[0].c_str(), &st) == 0 &&
                                          S_ISBLK(st.st_mode) && st.st_rdev == wanted.st_rdev))
            return true;
    }
    return false;
}

bool VolumeHasSnapshot(KZVolumeUnix& volume, bool* hasSnapshot) {
    QNBFVolInfo_t info;
    std::memset(&info, 0, sizeof info);
    if (!volume.QNBFGetVolInfo(info))
        return false;
    *hasSnapshot = info.has_snapshot != 0;
    return true;
}

}  // namespace kzvol::contentsnap
