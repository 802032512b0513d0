// KZVolumeUnix::FSpodSnap: for every content path, find the mounted file system
// that holds it, snapshot each filter volume mounted there or below, and mount
// each snapshot read-only under "/snapmnt". Failures end only their content item;
// they are logged and raised as critical events.
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "filter/DriverChannel.h"
#include "host/Env.h"
#include "host/EvDebug.h"
#include "host/ShellQuote.h"
#include "metadata/ContentSnap.h"
#include "metadata/ContentSnapSupport.h"
#include "volume/KZVolume.h"

namespace kzvol::contentsnap {
namespace {

EvDebug g_log;
const char kContext[] = "KZVolumeUnix::FSpodSnap";

// Logs a failed command the same way on every path.
void LogCommandFailure(const std::string& command, const std::string& output,
                       const std::string& error, int err) {
    g_log.Debug(kContext, "failed to run cmd=%s err=%s out=%s errno=%d\n", command.c_str(),
                error.c_str(), output.c_str(), err);
}

// The mount directory of the first table entry on the device `device` (stat
// order of the table). An entry whose directory cannot be stat'ed (a shadowed or
// vanished mount) is skipped, unless it is `contentPath` itself. False when the
// table cannot be read, when `contentPath`'s entry cannot be stat'ed (both raise
// their event) or when none matches.
bool FindMountDir(dev_t device, const std::string& contentPath, std::string* dir) {
    std::vector<MountTableEntry> table;
    errno = 0;
    if (!CurrentEnv()->ReadMountTable(&table)) {
        g_log.Debug(kContext, "failed to open file=%s errno=%d \n", "/etc/mtab", errno);
        RaiseEvent(kEventNoMountTable, nullptr);
        return false;
    }
    for (const MountTableEntry& entry : table) {
        if (entry.fields.size() < 2)
            continue;
        const std::string& mntDir = entry.fields[1];
        struct stat st;
        if (::stat(mntDir.c_str(), &st) != 0) {
            g_log.Debug(kContext, "failed to stat on mntpath=%s errno=%d \n", mntDir.c_str(),
                        errno);
            if (NormalPath(mntDir) != contentPath)
                continue;
            RaiseEvent(kEventStatFailed, &mntDir);
            return false;
        }
        if (st.st_dev == device) {
            *dir = mntDir;
            return true;
        }
    }
    return false;
}

void AddRecord(kz_contenttosnapmnt& item, const kz_devmntpath& volume) {
    item.snaps.push_back({volume.mntPath, volume.devName, SnapMountPath(volume.mntPath), 0});
    ++item.snapCount;
}

// Records the snapshot the volume already has, without mounting anything. The
// snapshot must be mounted where the record says: a record of a snapshot that is
// not mounted there would make the caller read the live volume.
void RecordExistingSnapshot(KZVolumeUnix& vol, kz_contenttosnapmnt& item,
                            const kz_devmntpath& volume) {
    g_log.Debug(kContext, "volume=%s is already snapped \n", volume.devName.c_str());
    if (!vol.OpenSnapVolume()) {
        g_log.Debug(kContext, "failed to open snap volume for vol=%s \n", volume.devName.c_str());
        RaiseEvent(kEventNoSnapshot, &volume.mntPath);
        return;
    }
    const std::string snapMntPath = SnapMountPath(volume.mntPath);
    if (!IsMountedAt(vol.m_strSnapId, snapMntPath)) {
        g_log.Debug(kContext, "snapshot %s of vol=%s is not mounted at %s \n",
                    vol.m_strSnapId.c_str(), volume.devName.c_str(), snapMntPath.c_str());
        RaiseEvent(kEventMountFailed, &volume.mntPath);
        return;
    }
    AddRecord(item, volume);
}

// Releases the snapshot just started when it could not be mounted: unrecorded,
// it would stay for good and make the next run believe the volume snapped.
void ReleaseUnmounted(KZVolumeUnix& vol, const kz_devmntpath& volume) {
    if (!vol.SWSnapFreezeSync(volume.devName, KZ_APP_NONE))
        g_log.Debug(kContext, "failed to release the unmounted snapshot of vol=%s \n",
                    volume.devName.c_str());
}

// Starts a snapshot of the volume and mounts it. False when the item ends here.
bool SnapAndMount(KZVolumeUnix& vol, kz_contenttosnapmnt& item, const kz_devmntpath& volume,
                  const std::string& contentPath, size_t position) {
    if (!vol.SWSnapSynchronize(volume.devName, 0)) {
        g_log.Debug(kContext, "failed to snap volume=%s file=%s\n", volume.devName.c_str(),
                    contentPath.c_str());
        RaiseEvent(kEventNoSnapshot, &volume.mntPath);
        return false;
    }
    const std::string snapMntPath = SnapMountPath(volume.mntPath);
    std::string output, error;
    std::string command = "mkdir -p -- " + ShellQuote(snapMntPath);
    if (RunCommand(command, &output, &error) != 0) {
        LogCommandFailure(command, output, error, errno);
        ReleaseUnmounted(vol, volume);
        RaiseEvent(kEventNoSnapshot, &volume.mntPath);
        return false;
    }
    command = "mount -o ro -- " + ShellQuote(vol.m_strSnapId) + " " + ShellQuote(snapMntPath);
    if (RunCommand(command, &output, &error) != 0) {
        LogCommandFailure(command, output, error, errno);
        ReleaseUnmounted(vol, volume);
        RaiseEvent(kEventMountFailed, &volume.mntPath);
        return false;
    }
    AddRecord(item, volume);
    g_log.Debug(kContext, "snapped volume=%s file=%s snapdevname=%s snapmntpath=%s snapcount=%d\n",
                volume.devName.c_str(), contentPath.c_str(), volume.devName.c_str(),
                snapMntPath.c_str(), static_cast<int>(position));
    return true;
}

// Snapshots one volume of the item through a fresh driver-mode object. False
// when the item's remaining volumes are to be skipped.
bool SnapVolume(kz_contenttosnapmnt& item, const kz_devmntpath& volume,
                const std::string& contentPath, size_t position) {
    auto vol = std::make_unique<KZVolumeUnix>(kQnbfAdminNode);
    vol->QNBFSetMinorno(volume.devName);
    bool hasSnapshot = false;
    if (!VolumeHasSnapshot(*vol, &hasSnapshot)) {
        g_log.Debug(kContext, "failed to getvolinfo for dev=%s errno=%d \n", volume.devName.c_str(),
                    errno);
        RaiseEvent(kEventNoSnapshot, &volume.mntPath);
        return false;
    }
    if (hasSnapshot) {
        RecordExistingSnapshot(*vol, item, volume);
        return false;
    }
    return SnapAndMount(*vol, item, volume, contentPath, position);
}

void SnapContentItem(kz_contenttosnapmnt& item) {
    const std::string contentPath = NormalPath(item.contentPath);
    if (contentPath == "/") {
        g_log.Debug(kContext, "contenstr=%s not supported \n", contentPath.c_str());
        RaiseEvent(kEventRootPath, &contentPath);
        return;
    }
    struct stat content;
    if (::stat(contentPath.c_str(), &content) != 0) {
        g_log.Debug(kContext, "failed to do stat on=%s errno=%d \n", contentPath.c_str(), errno);
        RaiseEvent(kEventStatFailed, &contentPath);
        return;
    }
    std::string mountDir;
    if (!FindMountDir(content.st_dev, contentPath, &mountDir))
        return;
    g_log.Debug(kContext, " found mountpath=%s \n", mountDir.c_str());
    // On the root file system only what lies at or below the content path counts.
    const std::string search = mountDir == "/" ? contentPath : mountDir;
    std::vector<kz_devmntpath> devices;
    if (!getAllDeviceMntPath(search, devices)) {
        g_log.Debug(kContext, "failed to getalldevicemntp on mntpath=%s\n", search.c_str());
        RaiseEvent(kEventNoSnapshot, &search);
        return;
    }
    for (size_t j = 0; j < devices.size(); ++j) {
        if (!SnapVolume(item, devices[j], contentPath, j))
            return;
    }
}

}  // namespace
}  // namespace kzvol::contentsnap

bool KZVolumeUnix::FSpodSnap(kz_subclient_contentlist* list) {
    using kzvol::contentsnap::g_log;
    if (list) {
        const size_t count = list->count < 0 ? 0 : static_cast<size_t>(list->count);
        for (size_t i = 0; i < count && i < list->contents.size(); ++i)
            kzvol::contentsnap::SnapContentItem(list->contents[i]);
    }
    g_log.Debug(kzvol::contentsnap::kContext, "returning success \n");
    return true;
}
