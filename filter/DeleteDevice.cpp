// KZVolumeUnix::QNBFDeleteDevice: takes a volume out of the filter driver (defunct,
// then delete), regenerates the boot script and, for a cluster client, removes the
// device's state directory and its shared_disks entry as far as it can.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "filter/ClusterFiles.h"
#include "filter/DriverChannel.h"
#include "filter/FilterFiles.h"
#include "filter/QnbfConfig.h"
#include "filter/QnbfLookup.h"
#include "filter/QnbfProtocol.h"
#include "host/Env.h"
#include "host/EvDebug.h"
#include "host/Handles.h"
#include "host/NoThrow.h"
#include "volume/KZVolume.h"

namespace {

EvDebug g_log;
const char kContext[] = "KZVolumeUnix::QNBFDeleteDevice:";

// The minor of `device`: from the driver by node name for a cluster client, else
// the number after "/dev/qnbf/qnbf". -1, logged, when there is none.
int MinorOf(const std::string& displayName, const char* device) {
    if (is_VM(displayName)) {
        const char* slash = std::strrchr(device, '/');
        std::string name = slash ? slash + 1 : device;
        qn_getinfo_arg info;
        if (!get_qnbf_dev_info(name.data(), &info, QN_LOOKUP_BY_NAME)) {
            g_log.Error(kContext, "Unable to find minor number for node=%s \n", device);
            return -1;
        }
        return static_cast<int>(info.minor);
    }
    const char* at = std::strstr(device, kzvol::kQnbfNodePrefix);
    char* end = nullptr;
    long minor = at ? std::strtol(device + std::strlen(kzvol::kQnbfNodePrefix), &end, 10) : -1;
    if (!at || end == device + std::strlen(kzvol::kQnbfNodePrefix) || minor < 0 ||
        minor > 0xfffff) {
        g_log.Debug(kContext, "invalid device=%s\n", device);
        return -1;
    }
    return static_cast<int>(minor);
}

// Why the filter node of `minor` must stay: where it is mounted, or that someone
// holds it open exclusively; empty when it is free. Defuncting a node in use would
// stop change tracking of a volume that is still written.
std::string NodeInUse(int minor) {
    const std::string node = kzvol::kQnbfNodePrefix + std::to_string(minor);
    struct stat nodeStat;
    const bool exists = ::stat(node.c_str(), &nodeStat) == 0 && S_ISBLK(nodeStat.st_mode);
    std::vector<kzvol::MountTableEntry> table;
    if (kzvol::CurrentEnv()->ReadMountTable(&table)) {
        for (const kzvol::MountTableEntry& entry : table) {
            struct stat st;
            if (entry.fields.size() >= 2 &&
                (entry.fields[0] == node ||
                 (exists && ::stat(entry.fields[0].c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                  st.st_rdev == nodeStat.st_rdev)))
                return node + " is mounted on " + entry.fields[1];
        }
    }
    if (!exists)
        return std::string();
    kzvol::UniqueFd held(::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK));
    return !held && errno == EBUSY ? node + " is held open" : std::string();
}

bool RemoveFromDriver(int minor) {
    kzvol::AdminNode node;
    if (!node.ok()) {
        g_log.Error(kContext, "failed to open config node errno=%d \n", node.open_errno());
        return false;
    }
    uint32_t arg = static_cast<uint32_t>(minor);
    int ret = node.Request(QNBF_DEFUNCT_NODE, &arg);
    if (ret == 0)
        ret = node.Request(QNBF_DELETE_NODE, &arg);
    if (ret != 0) {
        g_log.Error(kContext, "could not defunct device errno=%d ret=%d \n", errno, ret);
        return false;
    }
    return true;
}

bool DeleteDevice(KZVolumeUnix& vol, char* device) {
    if (!device) {
        g_log.Error(kContext, "no device given \n");
        return false;
    }
    const int minor = MinorOf(vol.m_strClntDisplayName, device);
    if (minor < 0)
        return false;
    g_log.Debug(kContext, "got minor number=%d for device=%s \n", minor, device);
    vol.m_strErrorString = NodeInUse(minor);
    if (!vol.m_strErrorString.empty()) {
        g_log.Error(kContext, "%s: not removed \n", vol.m_strErrorString.c_str());
        return false;
    }
    if (!RemoveFromDriver(minor))
        return false;
    kzvol::RegenerateBootScript(kContext);
    if (!is_VM(vol.m_strClntDisplayName))
        return true;
    return kzvol::ForgetClusterDevice(vol, minor);
}

}  // namespace

bool KZVolumeUnix::QNBFDeleteDevice(char* device) {
    m_strErrorString.clear();
    errno = 0;
    if ((m_hVolume == -1 || m_hVolume == 0) && !Open())
        return false;
    return kzvol::FalseOnThrow(g_log, kContext, [&] { return DeleteDevice(*this, device); });
}
