// The shared pieces of content snapshots: events, path matching, commands and the
// driver's snapshot flag.
#include "metadata/ContentSnapSupport.h"

#include <cstring>

#include "host/EvEvent.h"
#include "host/KzProcess.h"
#include "volume/KZVolume.h"

namespace kzvol::contentsnap {
namespace {

// Size of the driver's volume information record and the offset of its flag
// "the volume has at least one snapshot".
constexpr size_t kVolInfoBytes = 1096;
constexpr size_t kHasSnapshotOffset = 65;

}  // namespace

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
    alignas(8) unsigned char info[kVolInfoBytes];
    std::memset(info, 0, sizeof info);
    if (!volume.QNBFGetVolInfo(*reinterpret_cast<QNBFVolInfo_t*>(info)))
        return false;
    *hasSnapshot = info[kHasSnapshotOffset] != 0;
    return true;
}

}  // namespace kzvol::contentsnap
