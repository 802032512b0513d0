// KZVolumeUnix::UnmountUnsnapAll: unmount and release every snapshot a content
// list records, newest record of each item first. An unmount that keeps failing
// is retried every 3000 ms, at most 20 times in one call; the snapshot is released
// whatever the unmount gave. The outcome per record is in its status; a record
// whose snapshot an earlier record of the list released cleanly is left at 0.
#include <cerrno>
#include <memory>
#include <set>

#include "filter/DriverChannel.h"
#include "host/EvDebug.h"
#include "host/ShellQuote.h"
#include "host/Sleep.h"
#include "metadata/ContentSnap.h"
#include "metadata/ContentSnapSupport.h"
#include "volume/KZVolume.h"

namespace kzvol::contentsnap {
namespace {

EvDebug g_log;
const char kContext[] = "KZVolumeUnix::UnmountUnsnapAll:";

constexpr int kUnmountRetries = 20;
constexpr unsigned long kUnmountRetryMs = 3000;

constexpr int kStatusUnmountFailed = 1;
constexpr int kStatusReleaseFailed = 2;

// Unmounts the record's snapshot; *retries counts the retries of the whole call.
void UnmountSnapshot(kz_snapdevmntpath& record, int* retries) {
    const std::string command = "umount -- " + ShellQuote(record.snapMntPath);
    std::string output, error;
    int rc = RunCommand(command, &output, &error);
    while (rc != 0 && *retries < kUnmountRetries) {
        ++*retries;
        UXSLEEP(kUnmountRetryMs);
        rc = RunCommand(command, &output, &error);
    }
    if (rc == 0)
        return;
    g_log.Debug(kContext, "failed to run cmd=%s err=%s out=%s errno=%d after retries=%d\n",
                command.c_str(), error.c_str(), output.c_str(), errno, *retries);
    record.status = kStatusUnmountFailed;
}

// Stops and deletes the snapshot of the record's volume.
void ReleaseSnapshot(kz_snapdevmntpath& record) {
    auto vol = std::make_unique<KZVolumeUnix>(kQnbfAdminNode);
    vol->QNBFSetMinorno(record.devName);
    if (vol->SWSnapFreezeSync(record.devName, KZ_APP_NONE)) {
        g_log.Debug(kContext, "successfully unsnapped volume=%s \n", record.devName.c_str());
        return;
    }
    RaiseEvent(kEventReleaseFailed, &record.mntPath);
    g_log.Debug(kContext, "failed to unsnap volume=%s \n", record.devName.c_str());
    record.status = kStatusReleaseFailed;
}

}  // namespace
}  // namespace kzvol::contentsnap

bool KZVolumeUnix::UnmountUnsnapAll(kz_subclient_contentlist* list) {
    if (!list)
        return true;
    int retries = 0;
    // Snapshots released cleanly in this call, by volume and snapshot path: two
    // content paths on one volume share one snapshot, released once.
    std::set<std::pair<std::string, std::string>> released;
    const size_t count = list->count < 0 ? 0 : static_cast<size_t>(list->count);
    for (size_t i = 0; i < count && i < list->contents.size(); ++i) {
        kz_contenttosnapmnt& item = list->contents[i];
        for (int k = item.snapCount - 1; k >= 0; --k) {
            if (static_cast<size_t>(k) >= item.snaps.size())
                continue;
            kz_snapdevmntpath& record = item.snaps[static_cast<size_t>(k)];
            const auto key = std::make_pair(record.devName, record.snapMntPath);
            if (released.count(key))
                continue;
            kzvol::contentsnap::UnmountSnapshot(record, &retries);
            kzvol::contentsnap::ReleaseSnapshot(record);
            if (record.status == 0)
                released.insert(key);
        }
    }
    return true;
}
