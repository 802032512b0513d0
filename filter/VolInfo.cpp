// The filter device's information as the caller sees it (QNBFVolInfo_t), and the
// data-block map of the device's active snapshot.
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/DriverVolume.h"
#include "filter/QnbfVolInfo.h"
#include "host/EvDebug.h"

namespace {

EvDebug g_log;
constexpr uint64_t kSizeGranule = 4096;
constexpr uint64_t kBlockSize = 512;

void Fill(const qn_getinfo_arg& from, QNBFVolInfo_t& to) {
    to.dev_value = from.underlying_dev;
    to.total_blocks = (from.size & ~(kSizeGranule - 1)) / kBlockSize;
    to.diff_tracked = from.diff_bmp_valid != 0;
    to.diff_bmp_size = static_cast<uint32_t>(from.diff_bmp_size);
    to.incr_tracked = from.incr_bmp_valid != 0;
    to.incr_bmp_size = static_cast<uint32_t>(from.incr_bmp_size);
    to.has_snapshot = from.snap_minor_cnt > 0;
    // The driver's name field is one byte wider than ours: cut and terminate.
    std::memcpy(to.dev_name, from.dev_name, sizeof to.dev_name - 1);
    to.dev_name[sizeof to.dev_name - 1] = '\0';
}

}  // namespace

bool KZVolumeUnix::QNBFGetVolInfo(QNBFVolInfo_t& info) {
    static const kzvol::Preconditions kChecks = {
        "KZVolumeUnix::QNBFGetVolInfo", kzvol::HandleRule::OpenOnDemand, "open failed errno=%d \n",
        false, "invalid minor node \n"};
    m_strErrorString.clear();
    std::memset(&info, 0, sizeof info);
    if (m_strVolName.find(kzvol::kQnbfNodeDir) == std::string::npos) {
        g_log.Debug(kChecks.context, " NOT QNBF dev=%s \n", m_strVolName.c_str());
        return true;
    }
    if (!kzvol::CheckDriverVolume(*this, kChecks))
        return false;
    qn_getinfo_arg driver;
    if (int ret = kzvol::AskOwnInfo(*this, &driver)) {
        g_log.Error(kChecks.context, "QNBF_GET_INFO failed ret=%d \n", ret);
        return false;
    }
    Fill(driver, info);
    g_log.Debug(kChecks.context, "bmpsize=%d totalblock=%llu \n", driver.incr_bmp_size,
                static_cast<unsigned long long>(info.total_blocks));
    return true;
}

bool KZVolumeUnix::QNBFPrepareDataBlock(std::string, qn_getdatablockbmp_arg* arg) {
    static const kzvol::Preconditions kChecks = {
        "KZVolumeUnix::QNBFPrepareDataBlock:", kzvol::HandleRule::NotTested, "", false,
        "QNBFGetVolInfo:invalid handle=%d\n"};
    m_strErrorString.clear();
    if (!kzvol::CheckDriverVolume(*this, kChecks))
        return false;
    if (!arg) {
        g_log.Error(kChecks.context, "no data-block map record given\n");
        return false;
    }
    qn_getinfo_arg driver;
    if (int ret = kzvol::AskOwnInfo(*this, &driver)) {
        g_log.Error(kChecks.context, "failed to getinfo ret=%d\n", ret);
        return false;
    }
    if (driver.snap_minor_cnt < 1) {
        g_log.Error(kChecks.context, "Failed to getvalid snapnodegetinfofarg.snap_minor_cnt=%d\n",
                    driver.snap_minor_cnt);
        return false;
    }
    arg->minor = driver.snap_minor[0];
    g_log.Error(kChecks.context, "getinfofarg.snap_minor_cnt=%d\n", driver.snap_minor_cnt);
    if (int ret = kzvol::QnbfRequest(m_hVolume, QNBF_GET_DATABLOCK_MAP, arg)) {
        g_log.Error(kChecks.context, "failed to getdatablokmap ret=%d\n", ret);
        return false;
    }
    return true;
}
