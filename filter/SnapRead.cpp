// Reading the active snapshot of a filter device: OpenSnapVolume finds it through
// the driver when the object does not know it yet and opens it read-only;
// SWSnapRead reads 512-byte blocks with positioned reads (as many calls as each
// attempt takes), two attempts at once.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "filter/DriverChannel.h"
#include "filter/DriverVolume.h"
#include "host/EvDebug.h"
#include "host/TraceFile.h"
#include "volume/Transfer.h"

namespace {
EvDebug g_log;
constexpr int kSnapReadAttempts = 2;
}  // namespace

bool KZVolumeUnix::OpenSnapVolume() {
    static const char kContext[] = "KZVolumeUnix::OpenSnapVolume:";
    static const char kDetail[] = "OpenSnapVolume";
    m_strErrorString.clear();
    g_log.DebugLvl(kDetail, 1, "m_strSnapId :%s, QNBFMinorNo : %d", m_strSnapId.c_str(),
                   m_QnbfNodeMinorno);
    if (m_strSnapId.empty()) {
        if (m_QnbfNodeMinorno == -1) {
            g_log.Error(kContext, "QNBFGetVolInfo:invalid handle=%d \n", m_QnbfNodeMinorno);
            return false;
        }
        qn_getinfo_arg info;
        if (int ret = kzvol::AskOwnInfo(*this, &info)) {
            g_log.Error(kContext, "failed to getinfo ret=%d \n", ret);
            return false;
        }
        if (info.snap_minor_cnt < 1) {
            g_log.Error(kContext, "Failed to getvalid snapnodegetinfofarg.snap_minor_cnt=%d \n",
                        info.snap_minor_cnt);
            return false;
        }
        m_strSnapId = kzvol::kQnbfNodePrefix + std::to_string(info.snap_minor[0]);
        g_log.DebugLvl(kDetail, 1, "SnapDev : %s", m_strSnapId.c_str());
    }
    // A descriptor from an earlier open is replaced, not leaked.
    if (m_hSnapVolume != -1)
        ::close(m_hSnapVolume);
    m_hSnapVolume = kzvol::QnbfOpen(m_strSnapId, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (kzvol::UsableHandle(m_hSnapVolume)) {
        g_log.Debug(kContext, "Opened rd only volume %s \n", m_strSnapId.c_str());
        return true;
    }
    g_log.Error(kContext, "failed to open snapvolume=%s errno=%d \n", m_strSnapId.c_str(), errno);
    return false;
}

bool KZVolumeUnix::SWSnapRead(unsigned long long block, unsigned long count, char* buffer,
                              unsigned long& done) {
    static const char kContext[] = "KZVolumeUnix::SWSnapRead:";
    m_strErrorString.clear();
    done = 0;
    off_t at;
    size_t bytes;
    if (!kzvol::TransferBytes(kContext, block, count, &at, &bytes))
        return false;
    // Counted before the descriptor is looked at, so that a Close on another
    // thread waits instead of closing it under the read.
    kzvol::PendingIO inFlight(m_nPendingIO);
    if (!kzvol::UsableHandle(m_hSnapVolume) || m_strSnapId.empty()) {
        if (!OpenSnapVolume()) {
            g_log.Error(kContext, "Invalid volume handle for rdsnap errno=%d \n", errno);
            return false;
        }
    }
    kzvol::TraceFile trace("readsnapvollog");
    trace.Printf("\n blkoffset=%llu \t noofblocks=%lu \t blksize=%d", block, count,
                 static_cast<int>(kzvol::kSectorSize));
    const long long where = static_cast<long long>(at);
    const unsigned long size = static_cast<unsigned long>(bytes);
    long got = 0;
    for (int attempt = 0; attempt < kSnapReadAttempts; ++attempt) {
        trace.Printf("\n volume handle=%d \t offset=%llu \t size=%lu", m_hSnapVolume,
                     static_cast<unsigned long long>(at), size);
        errno = 0;
        got = static_cast<long>(kzvol::ReadWhole(m_hSnapVolume, buffer, bytes, at));
        int err = errno;
        if (got == static_cast<long>(bytes)) {
            done = count;
            return true;
        }
        trace.Printf("Read failed offset=%lld size=%lu returned=%ld errorno=%d  retrying\n", where,
                     size, got, err);
        g_log.Error(kContext, "Failed to read : offset=%lld  BytesRead = %ld, BytesToead = %lu \n",
                    where, got, size);
    }
    g_log.Error(
        kContext,
        "Failed to read  after =%d retry: offset=%lld  BytesRead = %ld, BytesToead = %lu \n",
        kSnapReadAttempts, where, got, size);
    return false;
}
