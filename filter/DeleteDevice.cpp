// KZVolumeUnix::QNBFDeleteDevice: takes a volume out of the filter driver (defunct,
// then delete), regenerates the boot script and, for a cluster client, removes the
// device's state directory and its shared_disks entry as far as it can.
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
#include "host/EvDebug.h"
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
    if (!RemoveFromDriver(minor))
        return false;
    kzvol::RegenerateBootScript();
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
