// Changing a change bitmap in the driver: replace it with the caller's, clear it,
// have the driver save it, or OR the caller's bits into it.
#include <cerrno>

#include "filter/DriverChannel.h"
#include "filter/DriverVolume.h"
#include "host/EvDebug.h"

namespace {

EvDebug g_log;

const kzvol::Preconditions kSetChecks = {
    "KZVolumeUnix::QNBFSetVolBitmap", kzvol::HandleRule::FailAtOnce, "Open failed... errno=%d \n",
    false, "Invalid m_QnbfNodeMinorno \n"};
const kzvol::Preconditions kClearChecks = {
    "KZVolumeUnix::QNBFClearVolBitmap", kzvol::HandleRule::OpenOnDemand,
    "failed to open errno=%d \n", false, "invalid minorno=%d\n"};
const kzvol::Preconditions kSaveChecks = {
    "KZVolumeUnix::QNBFSaveVolBitmap", kzvol::HandleRule::OpenOnDemand, "failed to open errno=%d\n",
    false, "INVALID minor no=%d\n"};
const kzvol::Preconditions kMergeChecks = {
    "KZVolumeUnix::QNBFMergeVolBitmap", kzvol::HandleRule::FailAtOnce,
    "invalid handle=%d errno=%d\n", true, "invalid m_QnbfNodeMinorno=%d\n"};

// The driver's size in bytes of the bitmap of `kind`.
int32_t DriverBitmapBytes(const qn_getinfo_arg& info, uint32_t kind) {
    return kind == QNBF_KIND_INCREMENTAL ? info.incr_bmp_size : info.diff_bmp_size;
}

// Checks, then the driver's kind for `type`: false when either refuses.
bool Prepare(KZVolumeUnix& volume, const kzvol::Preconditions& checks, KZVBitmapType type,
             uint32_t* kind) {
    volume.m_strErrorString.clear();
    return kzvol::CheckDriverVolume(volume, checks) &&
           kzvol::DriverBitmapKind(type, checks.context, kind);
}

// QNBF_CLEAR_BITMAP or QNBF_SAVE_BITMAP for the object's device: the return value.
int BitmapCommand(const KZVolumeUnix& volume, unsigned long request, uint32_t kind) {
    qn_bitmapcmd_arg arg{static_cast<uint32_t>(volume.m_QnbfNodeMinorno), kind};
    return kzvol::QnbfRequest(volume.m_hVolume, request, &arg);
}

}  // namespace

bool KZVolumeUnix::QNBFSetVolBitmap(KZVBitmapType type, unsigned char* buffer) {
    const char* context = kSetChecks.context;
    uint32_t kind;
    if (!Prepare(*this, kSetChecks, type, &kind))
        return false;
    qn_getinfo_arg info;
    if (int ret = kzvol::AskOwnInfo(*this, &info)) {
        g_log.Error(context, "Failed to get QNBF Vol Info nRet=%d \n", ret);
        return false;
    }
    // Without a buffer the driver gets size 0 and a null pointer.
    uint32_t size = buffer ? static_cast<uint32_t>(DriverBitmapBytes(info, kind)) : 0;
    qn_bitmap_arg arg{static_cast<uint32_t>(m_QnbfNodeMinorno), kind, size, buffer};
    if (int ret = kzvol::QnbfRequest(m_hVolume, QNBF_SET_BITMAP, &arg)) {
        g_log.Error(context, "Failed to set QNBF Bitmap nret=%d \n", ret);
        return false;
    }
    return true;
}

bool KZVolumeUnix::QNBFClearVolBitmap(KZVBitmapType type) {
    uint32_t kind;
    if (!Prepare(*this, kClearChecks, type, &kind))
        return false;
    if (int ret = BitmapCommand(*this, QNBF_CLEAR_BITMAP, kind)) {
        g_log.Error(kClearChecks.context, "Failed to clear QNBF Bitmap nRet=%d\n", ret);
        return false;
    }
    return true;
}

bool KZVolumeUnix::QNBFSaveVolBitmap(KZVBitmapType type) {
    uint32_t kind;
    if (!Prepare(*this, kSaveChecks, type, &kind))
        return false;
    if (int ret = BitmapCommand(*this, QNBF_SAVE_BITMAP, kind)) {
        g_log.Error(kSaveChecks.context, "Failed to SAVE  QNBF Bitmap type =%d to disk nRet=%d\n",
                    static_cast<int>(type), ret);
        return false;
    }
    return true;
}

bool KZVolumeUnix::QNBFMergeVolBitmap(KZVBitmapType type, unsigned char* buffer,
                                      unsigned long size) {
    const char* context = kMergeChecks.context;
    uint32_t kind;
    if (!Prepare(*this, kMergeChecks, type, &kind))
        return false;
    qn_getinfo_arg info;
    if (int ret = kzvol::AskOwnInfo(*this, &info)) {
        g_log.Error(context, "Failed to get QNBF Vol Info nret=%d\n", ret);
        return false;
    }
    const int32_t driverSize = DriverBitmapBytes(info, kind);
    if (driverSize < 0 || size != static_cast<unsigned long>(driverSize)) {
        g_log.Error(context,
                    kind == QNBF_KIND_INCREMENTAL
                        ? "1b:ulBMSize=%lu does not match from driver returned size=%d failing\n"
                        : "1a:ulBMSize=%lu does not match from driverreturned size=%d failing\n",
                    size, driverSize);
        return false;
    }
    qn_bitmap_arg arg{static_cast<uint32_t>(m_QnbfNodeMinorno), kind,
                      static_cast<uint32_t>(driverSize), buffer};
    if (int ret = kzvol::QnbfRequest(m_hVolume, QNBF_MERGE_BITMAP, &arg)) {
        g_log.Error(context, "1a:Failed to MERGE FULLQNBF Bitmap nret=%d\n", ret);
        return false;
    }
    return true;
}

bool KZVolumeUnix::QNBFDumpAndClear(KZVBitmapType, unsigned char*, unsigned long) {
    m_strErrorString.clear();
    g_log.Debug("KZVolumeUnix::QNBFDumpAndClear:", "returning true\n");
    return true;
}
