// Binding a driver-mode volume object to its filter device: the minor number comes
// from the driver by node name for cluster virtual clients (and for QnbfBindByName),
// else from the device node itself.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "filter/QnbfConfig.h"
#include "filter/QnbfLookup.h"
#include "host/EvDebug.h"
#include "host/NoThrow.h"
#include "volume/KZVolume.h"

namespace {

EvDebug g_log;
const char kContext[] = "KZVolumeUnix::QNBFSetMinorno:";

std::string LastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The minor of the filter device named by the last component of `node`; -1 when
// the driver lists none.
int MinorByName(const std::string& node) {
    std::string name = LastComponent(node);
    qn_getinfo_arg info;
    return get_qnbf_dev_info(name.data(), &info, QN_LOOKUP_BY_NAME) ? static_cast<int>(info.minor)
                                                                    : -1;
}

// QNBFSetMinorno without its guard against host exceptions.
bool SetMinorno(KZVolumeUnix& vol, const std::string& device) {
    if ((vol.m_hVolume == -1 || vol.m_hVolume == 0) && !vol.Open()) {
        g_log.Error(kContext, "failed to open errno=%d\n", errno);
        return false;
    }
    int minor = -1;
    if (is_VM(vol.m_strClntDisplayName)) {
        minor = MinorByName(device);
        if (minor == -1) {
            g_log.Error(kContext, "Unable to find node for minor num=%d \n", vol.m_QnbfNodeMinorno);
            return false;
        }
    } else {
        struct stat st;
        if (::stat(device.c_str(), &st) != 0) {
            g_log.Debug(kContext, "Failed to find minor number for [%s].", device.c_str());
            return false;
        }
        minor = static_cast<int>(qn_getminor(&st));
        g_log.Debug(kContext, "Minor number [%d] set for [%s].", minor, device.c_str());
    }
    g_log.Debug(kContext, "setting minorno=%d for device=%s\n", minor, device.c_str());
    vol.m_QnbfNodeMinorno = minor;
    return true;
}

}  // namespace

bool KZVolumeUnix::QNBFSetMinorno(std::string device) {
    return kzvol::FalseOnThrow(g_log, kContext, [&] { return SetMinorno(*this, device); });
}

bool QnbfBindByName(KZVolumeUnix& volume, const std::string& node) {
    const int minor = MinorByName(node);
    if (minor == -1)
        return false;
    volume.m_QnbfNodeMinorno = minor;
    return true;
}
