// The volume's geometry as the filter driver reports it: a driver-mode object asks
// for its filter device's size once and addresses the volume one to one in
// 512-byte blocks.
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "host/EvDebug.h"
#include "volume/KZVolume.h"

namespace {
EvDebug g_log;
constexpr unsigned int kBlockSize = 512;
constexpr unsigned long long kSizeGranule = 4096;
}  // namespace

bool KZVolumeUnix::GetVolumeInfo() {
    static const char kContext[] = "KZVolumeUnix::GetVolumeInfo:.";
    m_strErrorString.clear();
    if (m_QnbfNodeMinorno == -1) {
        g_log.Error(kContext, "GetVolInfo:invalid handle \n");
        return false;
    }
    qn_getinfo_arg info;
    std::memset(&info, 0, sizeof info);
    info.minor = static_cast<uint32_t>(m_QnbfNodeMinorno);
    if (kzvol::QnbfRequest(m_hVolume, QNBF_GET_INFO, &info) != 0) {
        g_log.Error(kContext, "failed to getVolumeInfo \n");
        return false;
    }
    m_nTotalBlocks = (info.size & ~(kSizeGranule - 1)) / kBlockSize;
    m_nBlockSize = kBlockSize;
    m_nFirstBlock = 0;
    m_bVolInfoValid = true;
    return true;
}

unsigned int KZVolumeUnix::GetBlockSize() {
    if (!m_bVolInfoValid && !GetVolumeInfo())
        return kBlockSize;
    return m_nBlockSize;
}

unsigned long long KZVolumeUnix::GetPhysicalOffsetForLogical(unsigned long long offset) {
    if (!m_bVolInfoValid && !GetVolumeInfo())
        return 0;
    return offset;
}

unsigned long long KZVolumeUnix::GetLogicalOffsetForPhysical(unsigned long long offset) {
    if (!m_bVolInfoValid && !GetVolumeInfo())
        return 0;
    return offset;
}

unsigned long long KZVolumeUnix::GetFsBlockSize() {
    return 0;
}

bool KZVolumeUnix::IsDataBlockAvailable(std::string& fsType) {
    return fsType == "ext3";
}
