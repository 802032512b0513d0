// Reading a change bitmap into the caller's buffer, alone or cleared in the same
// request. The filter device is flushed first (best effort) so that the driver has
// seen every buffered write; with the trace switch on, the bytes read are appended
// to the "bitmap" trace file.
#include <fcntl.h>
#include <linux/fs.h>

#include <cerrno>
#include <climits>
#include <string>

#include "filter/DriverChannel.h"
#include "filter/DriverVolume.h"
#include "filter/QnbfConfig.h"
#include "filter/QnbfLookup.h"
#include "host/EvDebug.h"
#include "host/Handles.h"
#include "host/TraceFile.h"

namespace {

EvDebug g_log;

// What differs between the plain read and the read-and-clear.
struct BitmapRead {
    kzvol::Preconditions checks;
    unsigned long request;
    const char* emptyBuffer;  // null: fail without a message
    const char* diffHeader;
    int minFlushFd;  // the smallest descriptor taken as opened
};

const BitmapRead kGet = {{"KZVolumeUnix::QNBFGetVolBitmap", kzvol::HandleRule::OpenOnDemand,
                          "failed to open errno=%d \n", false, "invalid minor node=%d \n"},
                         QNBF_GET_BITMAP,
                         nullptr,
                         "\n %s printing differential bitmap \n",
                         1};

const BitmapRead kGetAndClear = {
    {"KZVolumeUnix::QNBFGetAndClrVolBitmap", kzvol::HandleRule::OpenOnDemand,
     "Failed to open QNBF node.\n", false, " invalid handle =%d for minor node \n"},
    QNBF_GETCLR_BITMAP,
    "Bitmap is empty or size=%lu \n",
    "\n %s printing differential  bitmap \n",
    0};

// The node of the object's filter device; false (logged) when a cluster client's
// node cannot be found.
bool FilterNodePath(KZVolumeUnix& volume, const char* context, std::string* path) {
    if (!is_VM(volume.m_strClntDisplayName)) {
        *path = kzvol::kQnbfNodePrefix + std::to_string(volume.m_QnbfNodeMinorno);
        return true;
    }
    qn_getinfo_arg info;
    if (!get_qnbf_dev_info(reinterpret_cast<char*>(&volume.m_QnbfNodeMinorno), &info,
                           QN_LOOKUP_BY_MINOR)) {
        g_log.Error(context, "Unable to find node for minor num=%d \n", volume.m_QnbfNodeMinorno);
        return false;
    }
    info.node_name[sizeof info.node_name - 1] = '\0';
    *path = std::string(kzvol::kQnbfNodeDir) + info.node_name;
    return true;
}

// Flushes the filter device's buffers; a failure is logged and otherwise ignored.
void FlushFilterDevice(const std::string& path, const BitmapRead& kind) {
    const char* context = kind.checks.context;
    kzvol::UniqueFd fd(kzvol::QnbfOpen(path, O_RDWR | O_CLOEXEC));
    if (fd.get() < kind.minFlushFd) {
        g_log.Error(context, "open failed for dev=%s: errno=%d fd=%d \n", path.c_str(), errno,
                    fd.get());
        return;
    }
    int ret = kzvol::QnbfRequest(fd.get(), BLKFLSBUF, nullptr);
    if (ret != 0)
        g_log.Error(context, "flush ioctl() failed for dev=%s fd=%d errno=%d ret=%d \n",
                    path.c_str(), fd.get(), errno, ret);
}

void DumpBytes(kzvol::TraceFile& dump, const unsigned char* buffer, unsigned long size) {
    if (!dump.open())
        return;
    for (unsigned long i = 0; i < size; ++i) {
        if (i % 16 == 0)
            dump.Printf("\n");
        dump.Printf("%x \t", buffer[i]);
    }
}

bool ReadBitmap(const BitmapRead& kind, KZVolumeUnix& volume, KZVBitmapType type,
                unsigned char* buffer, unsigned long size) {
    const char* context = kind.checks.context;
    kzvol::TraceFile dump("bitmap", kzvol::TraceFile::Append);
    if (!buffer || size == 0) {
        if (kind.emptyBuffer)
            g_log.Error(context, kind.emptyBuffer, size);
        return false;
    }
    uint32_t driverKind;
    if (!kzvol::CheckDriverVolume(volume, kind.checks) ||
        !kzvol::DriverBitmapKind(type, context, &driverKind))
        return false;
    // The record's size is 32 bits; a larger buffer still holds that many bytes.
    qn_bitmap_arg arg{static_cast<uint32_t>(volume.m_QnbfNodeMinorno), driverKind,
                      static_cast<uint32_t>(size > UINT_MAX ? UINT_MAX : size), buffer};
    std::string node;
    if (!FilterNodePath(volume, context, &node))
        return false;
    FlushFilterDevice(node, kind);
    dump.Printf(driverKind == QNBF_KIND_INCREMENTAL ? "\n %s printing incremental bitmap \n"
                                                    : kind.diffHeader,
                context);
    int ret = kzvol::QnbfRequest(volume.m_hVolume, kind.request, &arg);
    int err = errno;
    DumpBytes(dump, buffer, size);
    if (ret != 0) {
        g_log.Error(context, "ioctl() failed: errno=%d ret=%d \n", err, ret);
        return false;
    }
    return true;
}

}  // namespace

bool KZVolumeUnix::QNBFGetVolBitmap(KZVBitmapType type, unsigned char* buffer, unsigned long size,
                                    bool) {
    m_strErrorString.clear();
    return ReadBitmap(kGet, *this, type, buffer, size);
}

bool KZVolumeUnix::QNBFGetAndClrVolBitmap(KZVBitmapType type, unsigned char* buffer,
                                          unsigned long size, bool) {
    m_strErrorString.clear();
    return ReadBitmap(kGetAndClear, *this, type, buffer, size);
}
