// KZVolumeUnix members of the driver protocol: the device list for callers and
// the device attributes, which Linux does not have.
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "host/EvDebug.h"
#include "volume/KZVolume.h"

namespace {
EvDebug g_log;
}

bool KZVolumeUnix::QNBFShowDevList(qn_getdevicelist_arg* list) {
    static const char kContext[] = "KZVolumeUnix::QNBFShowDevList:";
    m_strErrorString.clear();
    kzvol::AdminReply reply = kzvol::SendAdminRequest(QNBF_GET_DEVLIST, list);
    if (!reply.opened) {
        g_log.Error(kContext, "failed to open config node errno=%d config_fd=%d \n", reply.err,
                    reply.fd);
        return false;
    }
    if (reply.ret != 0) {
        g_log.Error(kContext, "failed to get DEVLIST ret=%d errno=%d \n", reply.ret, reply.err);
        return false;
    }
    g_log.Debug(kContext, "Got the device list \n");
    return true;
}

bool KZVolumeUnix::QNBFGetDeviceAttr(void*) {
    g_log.Debug("KZVolumeUnix::QNBFGetDeviceAttr", "NOT implemented for linux \n");
    return true;
}
