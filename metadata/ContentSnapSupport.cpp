// The shared pieces of content snapshots: events, path matching, commands and the
// driver's snapshot flag.
#include "metadata/ContentSnapSupport.h"

#include <cstring>

#include "filter/QnbfVolInfo.h"
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

int RunCommand(const std::string& command, std::string* output, std::string* error) {
    output->clear();
    error->clear();
    KzProcess process;
    return process.system(command, output, error, 0, false);
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
