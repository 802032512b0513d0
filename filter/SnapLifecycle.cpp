// Creating, stopping and removing a copy-on-write snapshot of a filter device:
// SWSnapSynchronize has the driver freeze and start a snapshot whose files live in
// KZ_SNAP_PARTITION, SWSnapFreezeSync deletes the active snapshot device and
// SWSnapUnsynchronize removes its copy-on-write files. Four further snapshot
// queries are empty on Linux.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/DriverVolume.h"
#include "filter/FilterFiles.h"
#include "filter/QnbfLookup.h"
#include "filter/SnapFiles.h"
#include "host/EvDebug.h"
#include "host/KzProcess.h"
#include "volume/MountTable.h"

namespace {

EvDebug g_log;

// Copies `text` into a text field of the snapshot record; false when it does not fit.
bool CopyPath(char (&field)[1024], const std::string& text) {
    if (text.size() >= sizeof field)
        return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// The snapshot minor at the end of a snapshot id "/dev/qnbf/qnbfN"; false when the
// id names no snapshot device.
bool SnapMinorOf(const std::string& snapId, int* minor) {
    const size_t prefix = sizeof kzvol::kQnbfNodePrefix - 1;
    if (snapId.compare(0, prefix, kzvol::kQnbfNodePrefix) != 0)
        return false;
    const char* digits = snapId.c_str() + prefix;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(digits, &end, 10);
    if (end == digits || *end != '\0' || errno == ERANGE || value < 0 || value > INT32_MAX)
        return false;
    *minor = static_cast<int>(value);
    return true;
}

// Removes `path`; a file that is not there counts as removed.
bool RemoveCowFile(const std::string& path, const char* context, const char* failure) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    g_log.Error(context, failure, path.c_str(), errno);
    return false;
}

}  // namespace

bool KZVolumeUnix::SWSnapSynchronize(std::string device, short) {
    static const char kContext[] = "KZVolumeUnix::SWSnapSynchronize:";
    m_strErrorString.clear();
    const unsigned long chunkSize = kzvol::SnapChunkSize("KZVolumeUnix::SWSnapSynchronize");
    std::string name = getdevname(device);
    qn_getinfo_arg info;
    if (!get_qnbf_dev_info(name.data(), &info, QN_LOOKUP_BY_NAME)) {
        g_log.Error(kContext, "Unable to find node for minor num=%d \n", m_QnbfNodeMinorno);
        return false;
    }
    if (!kzvol::UsableHandle(m_hVolume) && !Open()) {
        g_log.Error(kContext, "failed to open errno=%d \n", errno);
        return false;
    }
    kzvol::AdminNode admin;
    if (!admin.ok()) {
        g_log.Error(kContext, "failed to open confignode errno=%d config_fd=%d \n",
                    admin.open_errno(), admin.fd());
        return false;
    }
    const char* partition = kzvol::SnapPartition();
    if (!partition) {
        g_log.Error(kContext, "could not get KZ_SNAP_PARTITION \n");
        return false;
    }
    g_log.Debug(kContext, "KZ_SNAP_PARTITION=%s \n", partition);

    qn_snapsync_arg sync;
    std::memset(&sync, 0, sizeof sync);
    sync.minor = static_cast<int32_t>(info.minor);
    sync.snap_minor = -1;
    sync.chunk_size = static_cast<uint32_t>(chunkSize);
    kzvol::CowFiles files = kzvol::CowFileNames(partition, device);
    if (!CopyPath(sync.map_file, files.map) || !CopyPath(sync.data_file, files.data)) {
        g_log.Error(kContext, "copy-on-write file name %s is longer than 1023 characters \n",
                    files.map.c_str());
        return false;
    }
    if (int ret = admin.Request(QNBF_SNAP_SYNC, &sync)) {
        g_log.Error(kContext, "Error Synchronizing Volume ret=%d errno=%d \n", ret, errno);
        return false;
    }
    g_log.Debug(kContext, "Synchronized Volume and snapminor=%d \n", sync.snap_minor);
    uint32_t snapMinor = static_cast<uint32_t>(sync.snap_minor);
    if (int ret = admin.Request(QNBF_START_NODE, &snapMinor)) {
        g_log.Error(kContext, "STARTING SNAP Volume ret=%d errno=%d \n", ret, errno);
        return false;
    }
    g_log.Debug(kContext, "STARTED SNAP Volume with snapminor=%d \n", sync.snap_minor);
    m_strSnapId = kzvol::kQnbfNodePrefix + std::to_string(sync.snap_minor);
    g_log.Debug(kContext, "m_strSnapId is set to '%s' \n", m_strSnapId.c_str());
    return true;
}

bool KZVolumeUnix::SWSnapFreezeSync(std::string source, KZ_AppType) {
    static const char kContext[] = "KZVolumeUnix::SWSnapFreezeSync:";
    m_strErrorString.clear();
    g_log.Debug(kContext, "src=%s (happily ignored), m_strVolName=%s (actually used) \n",
                source.c_str(), m_strVolName.c_str());
    if (!kzvol::UsableHandle(m_hVolume) && !Open()) {
        g_log.Error(kContext, "failed to open device errno=%d \n", errno);
        return false;
    }
    kzvol::AdminNode admin;
    if (!admin.ok()) {
        g_log.Error(kContext, "faild to open config_node=%s errno=%d ret=%d \n",
                    kzvol::kQnbfAdminNode, admin.open_errno(), admin.fd());
        return false;
    }
    g_log.Debug(kContext, "Successfully open admin node %s n", kzvol::kQnbfAdminNode);
    if (m_strSnapId.empty())
        OpenSnapVolume();
    if (m_strSnapId.empty()) {
        g_log.Debug(kContext, "No active snap...\n");
        return true;
    }
    int snapMinor = -1;
    if (!SnapMinorOf(m_strSnapId, &snapMinor)) {
        g_log.Error(kContext, "snapshot id '%s' names no snapshot device \n", m_strSnapId.c_str());
        return false;
    }
    g_log.Debug(kContext, "snap_minor=%d \n", snapMinor);
    if (m_hSnapVolume != -1) {
        ::close(m_hSnapVolume);
        m_hSnapVolume = -1;
    }
    uint32_t minor = static_cast<uint32_t>(snapMinor);
    if (int ret = admin.Request(QNBF_DELETE_NODE, &minor)) {
        g_log.Error(kContext, "could not stop/delete snap device for %s (%s) ret=%d errno=%d\n",
                    m_strVolName.c_str(), m_strSnapId.c_str(), ret, errno);
        return false;
    }
    kzvol::RegenerateBootScript(kContext);
    g_log.Debug(kContext, "Successfully stopped/deleted snap for volume %s (%s) \n",
                m_strVolName.c_str(), m_strSnapId.c_str());
    return true;
}

bool KZVolumeUnix::SWSnapUnsynchronize() {
    static const char kContext[] = "KZVolumeUnix::SWSnapUnsynchronize:";
    m_strErrorString.clear();
    if (!kzvol::UsableHandle(m_hVolume) && !Open()) {
        g_log.Error(kContext, "Invalid Handle Value =%d errno=%d \n", m_hVolume, errno);
        return false;
    }
    const char* partition = kzvol::SnapPartition();
    if (!partition) {
        g_log.Error(kContext, "could not get KZ_SNAP_APRTITION \n");
        return false;
    }
    g_log.Debug(kContext, "KZ_SNAP_PARTITION=%s \n", partition);
    kzvol::CowFiles files = kzvol::CowFileNames(partition, m_strVolName);
    return RemoveCowFile(files.data, kContext, "could not unlink cowdatafile=%s errno=%d n") &&
           RemoveCowFile(files.map, kContext, "could not unlink cowmapfile=%s errno=%d \n");
}

bool KZVolumeUnix::SWSnapSetCacheConfig(int, unsigned long, unsigned long, int) {
    m_strErrorString.clear();
    g_log.Debug("KZVolumeUnix::SWSnapSetCacheConfig:", "NOT implemented for linux n");
    return true;
}

bool KZVolumeUnix::SWSnapGetVolumeInfo(SnapVolInfo_t&) {
    m_strErrorString.clear();
    g_log.Debug("KZVolumeUnix::SWSnapGetVolumeInfo:", "NOT implemented for linux \n");
    return true;
}

bool KZVolumeUnix::SWSnapGetSnapStatus() {
    m_strErrorString.clear();
    g_log.Debug("KZVolumeUnix::SWSnapGetSnapStatus:", "NOT implemented for llnux \n");
    return true;
}

bool KZVolumeUnix::SWSnapGetCachedExtents(std::vector<SnapCachedExtent_t>&, std::string) {
    m_strErrorString.clear();
    g_log.Debug("KZVolumeUnix::SWSnapGetCachedExtents", "NOT implemented for linux \n");
    return true;
}
