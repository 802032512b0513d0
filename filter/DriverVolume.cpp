// Preconditions and shared requests of the bitmap and snapshot members.
#include "filter/DriverVolume.h"

#include <cerrno>
#include <cstring>

#include "filter/DriverChannel.h"
#include "host/EvDebug.h"

namespace kzvol {
namespace {
EvDebug g_log;
}

bool CheckDriverVolume(KZVolumeUnix& volume, const Preconditions& checks) {
    if (checks.handle != HandleRule::NotTested && !UsableHandle(volume.m_hVolume)) {
        if (checks.handle == HandleRule::FailAtOnce || !volume.Open()) {
            if (checks.reportsHandle)
                g_log.Error(checks.context, checks.handleFailed, volume.m_hVolume, errno);
            else
                g_log.Error(checks.context, checks.handleFailed, errno);
            return false;
        }
    }
    if (volume.m_QnbfNodeMinorno == -1) {
        g_log.Error(checks.context, checks.badMinor, volume.m_QnbfNodeMinorno);
        return false;
    }
    return true;
}

bool DriverBitmapKind(KZVBitmapType type, const char* context, uint32_t* kind) {
    switch (type) {
        case KZV_BITMAP_INCREMENTAL:
            *kind = QNBF_KIND_INCREMENTAL;
            return true;
        case KZV_BITMAP_DIFFERENTIAL:
            *kind = QNBF_KIND_DIFFERENTIAL;
            return true;
    }
    g_log.Error(context, "bitmap type=%d names no bitmap: 0 incremental, 1 differential \n",
                static_cast<int>(type));
    return false;
}

int AskOwnInfo(const KZVolumeUnix& volume, qn_getinfo_arg* info) {
    std::memset(info, 0, sizeof *info);
    info->minor = static_cast<uint32_t>(volume.m_QnbfNodeMinorno);
    return QnbfRequest(volume.m_hVolume, QNBF_GET_INFO, info);
}

}  // namespace kzvol
