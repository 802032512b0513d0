// Raw sector I/O of KZVolumeUnix: open and close the device, plain and retrying
// positioned transfers in 512-byte sectors, repositioning, and the trace files.
// Each attempt moves its bytes straight into or out of the caller's buffer, with as
// many calls as the kernel needs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "filter/DriverChannel.h"
#include "host/EvDebug.h"
#include "host/Sleep.h"
#include "host/TraceFile.h"
#include "volume/KZVolume.h"
#include "volume/Transfer.h"

namespace {

EvDebug g_log;

constexpr int kTransferAttempts = 2;
constexpr unsigned long kRetryWaitMs = 5000;
constexpr unsigned long kCloseWaitMs = 2000;

using kzvol::PendingIO;
using kzvol::TransferBytes;

bool Usable(int fd) {
    return fd != -1 && fd != 0;
}

ssize_t PositionedRead(int fd, char* buffer, size_t n, off_t at) {
    return kzvol::ReadWhole(fd, buffer, n, at);
}
ssize_t PositionedWrite(int fd, char* buffer, size_t n, off_t at) {
    return kzvol::WriteWhole(fd, buffer, n, at);
}

// What differs between the plain read and write.
struct PlainTransfer {
    const char* context;
    const char* handleError;
    const char* traceFile;
    const char* traceStart;
    const char* failure;
    ssize_t (*io)(int, char*, size_t, off_t);
};

const PlainTransfer kPlainRead = {"KZVolumeUnix::Read:",
                                  "Invalid volume handle \n",
                                  "readvollog",
                                  "\n reading for volume=%d \t offset=%llu \t size=%lu",
                                  "Failed to read : errno %d  BytesRead = %ld, BytesToead = %lu\n",
                                  PositionedRead};

const PlainTransfer kPlainWrite = {
    "KZVolumeUnix::Write:",
    "Invalid Volume Handle \n",
    "writevollog",
    "\n writing for volume=%d \t offset=%llu \t size=%lu",
    "Failed to write :errno  %d BytesWritten = %ld, BytesToWrite = %lu\n",
    PositionedWrite};

// What differs between the retrying read and write.
struct RetryingTransfer {
    const char* context;
    const char* traceFile;
    const char* traceAttempt;  // byte offset, byte count, returned, errno
    const char* attemptError;  // byte offset, returned, byte count
    const char* finalError;
    bool finalTraced;
    ssize_t (*io)(int, char*, size_t, off_t);
};

const RetryingTransfer kRetryingRead = {
    "KZVolumeUnix::DiskRead:",
    "readvollog",
    "Read failed offset=%lld size=%lu returned=%ld errorno=%d  retrying\n",
    "Failed to read :offset=%lld  BytesRead = %ld, BytesToead = %lu\n",
    "Failed to read  after =%d retry: offset=%lld BytesRead = %ld, BytesToead = %lu\n",
    true,
    PositionedRead};

const RetryingTransfer kRetryingWrite = {
    "KZVolumeUnix::DiskWrite:",
    "wrtevollog",
    "offset=%lld size=%lu returned=%ld errorno=%d \n",
    "Failed to write :offset=%lld  BytesWritten = %ld, BytesToWrite = %lu\n",
    nullptr,
    false,
    PositionedWrite};

// Plain transfer on the descriptor `handle`: one attempt; `done` is set only on
// success. The transfer counts as pending before the descriptor is read, so a
// Close on another thread cannot close it (and let its number be reused) between
// the read and the transfer.
bool PlainIO(const PlainTransfer& kind, const int& handle, std::atomic<unsigned int>& pending,
             unsigned long long offset, unsigned long count, char* buffer, unsigned long& done) {
    ssize_t got;
    int err;
    size_t bytes;
    {
        PendingIO inFlight(pending);
        const int fd = handle;
        if (!Usable(fd)) {
            g_log.Error(kind.context, "%s", kind.handleError);
            return false;
        }
        off_t at;
        if (!TransferBytes(kind.context, offset, count, &at, &bytes))
            return false;
        kzvol::TraceFile trace(kind.traceFile);
        trace.Printf(kind.traceStart, fd, static_cast<unsigned long long>(at),
                     static_cast<unsigned long>(bytes));
        errno = 0;  // a short transfer sets none: log 0 rather than a stale value
        got = kind.io(fd, buffer, bytes, at);
        err = errno;
        if (got != static_cast<ssize_t>(bytes))
            trace.Printf(kind.failure, err, static_cast<long>(got),
                         static_cast<unsigned long>(bytes));
    }
    if (got != static_cast<ssize_t>(bytes)) {
        g_log.Error(kind.context, kind.failure, err, static_cast<long>(got),
                    static_cast<unsigned long>(bytes));
        return false;
    }
    done = count;
    return true;
}

// Retrying transfer: at most two attempts, a 5000 ms wait after each failed one.
// The transfer counter is raised before the descriptor is read and stays raised
// from the first attempt to the last, waits included, so a Close on another
// thread cannot close the descriptor under a transfer.
bool RetryingIO(const RetryingTransfer& kind, const int& handle, std::atomic<unsigned int>& pending,
                unsigned long long offset, unsigned long count, char* buffer) {
    PendingIO inFlight(pending);
    const int fd = handle;
    if (!Usable(fd)) {
        g_log.Error(kind.context, "Invalid Volume Handle \n");
        return false;
    }
    off_t at;
    size_t bytes;
    if (!TransferBytes(kind.context, offset, count, &at, &bytes))
        return false;
    kzvol::TraceFile trace(kind.traceFile);
    const long long where = static_cast<long long>(at);
    const unsigned long size = static_cast<unsigned long>(bytes);
    long got = 0;
    int attempts = 0;
    while (attempts < kTransferAttempts) {
        errno = 0;
        got = static_cast<long>(kind.io(fd, buffer, bytes, at));
        int err = errno;
        if (got == static_cast<long>(bytes))
            return true;
        UXSLEEP(kRetryWaitMs);
        ++attempts;
        trace.Printf(kind.traceAttempt, where, size, got, err);
        g_log.Error(kind.context, kind.attemptError, where, got, size);
    }
    if (kind.finalTraced) {
        trace.Printf(kind.finalError, attempts, where, got, size);
        g_log.Error(kind.context, kind.finalError, attempts, where, got, size);
    } else {
        g_log.Error(kind.context,
                    "Failed to Write : offset=%lld BytesRead = %ld, BytesToead = %lu after =%d "
                    "retry \n",
                    where, got, size, attempts);
    }
    return false;
}

}  // namespace

bool KZVolumeUnix::OpenWithFlags(int flags, bool modeForm) {
    static const char kContext[] = "KZVolumeUnix::open:";
    m_strErrorString.clear();
    if (!m_bValid) {
        g_log.Error(kContext, modeForm ? "Trying to open volume on invalid KZVolumeUnix object\n"
                                       : "Trying to open volume on invalid KZVolumeUnix object \n");
        return false;
    }
    if (Usable(m_hVolume)) {
        if (modeForm)
            g_log.Debug(kContext, "Volume Already Opened with handle: %X\n", m_hVolume);
        return true;
    }
    g_log.Debug(kContext, "Opening %s \n", m_strVolName.c_str());
    int fd = kzvol::QnbfOpen(m_strVolName, flags | O_LARGEFILE);
    if (fd == -1) {
        if (modeForm)
            g_log.Error(kContext, "Failed to Open Volume %s errno=%d\n", m_strVolName.c_str(),
                        errno);
        else
            g_log.Error(kContext, "Failed to Open Volume %s \n", m_strVolName.c_str());
        return false;
    }
    m_hVolume = fd;
    m_bOwnHandle = true;
    g_log.Debug(kContext, "Opened Volume %s\n", m_strVolName.c_str());
    return true;
}

bool KZVolumeUnix::Open() {
    return OpenWithFlags(O_RDWR, false);
}

bool KZVolumeUnix::Open(int mode) {
    return OpenWithFlags(mode == 1 ? O_RDONLY : O_RDWR, true);
}

bool KZVolumeUnix::OpenPhysicalDisk() {
    return true;
}

bool KZVolumeUnix::IsOpen() {
    return m_bValid && Usable(m_hVolume);
}

bool KZVolumeUnix::Close() {
    m_strErrorString.clear();
    for (unsigned int n; (n = m_nPendingIO.load()) != 0;) {
        g_log.Debug("KZVolumeUnix::Close:", "pending io count=%lu will wait \n",
                    static_cast<unsigned long>(n));
        UXSLEEP(kCloseWaitMs);
    }
    if (m_bOwnHandle && m_hVolume != -1) {
        ::close(m_hVolume);
        m_hVolume = -1;
    }
    if (m_hSnapVolume != -1) {
        ::close(m_hSnapVolume);
        m_hSnapVolume = -1;
    }
    return true;
}

bool KZVolumeUnix::Read(unsigned long long offset, unsigned long count, char* buffer,
                        unsigned long& done) {
    m_strErrorString.clear();
    return PlainIO(kPlainRead, m_hVolume, m_nPendingIO, offset, count, buffer, done);
}

bool KZVolumeUnix::Write(unsigned long long offset, unsigned long count, char* buffer,
                         unsigned long& done) {
    m_strErrorString.clear();
    return PlainIO(kPlainWrite, m_hVolume, m_nPendingIO, offset, count, buffer, done);
}

bool KZVolumeUnix::DiskRead(unsigned long long offset, unsigned int count, char* buffer,
                            unsigned int& done) {
    m_strErrorString.clear();
    done = 0;
    if (!RetryingIO(kRetryingRead, m_hVolume, m_nPendingIO, offset, count, buffer))
        return false;
    done = count;
    return true;
}

bool KZVolumeUnix::DiskWrite(unsigned long long offset, unsigned long count, char* buffer,
                             unsigned long& done) {
    m_strErrorString.clear();
    done = 0;
    if (!RetryingIO(kRetryingWrite, m_hVolume, m_nPendingIO, offset, count, buffer))
        return false;
    done = count;
    return true;
}

int KZVolumeUnix::Seek(unsigned long long offset, int whence) {
    if (::lseek(m_hVolume, static_cast<off_t>(offset), whence) == static_cast<off_t>(-1)) {
        int err = errno;
        g_log.Error("KZVolumeUnix::Seek", "Seek failed: (%d  %s)", err, std::strerror(err));
        return -1;
    }
    return 0;
}

namespace kzvol {
namespace {

template <typename Call>
ssize_t Whole(Call call, int fd, char* buffer, size_t n, off_t at) {
    size_t moved = 0;
    while (moved < n) {
        ssize_t r = call(fd, buffer + moved, n - moved, at + static_cast<off_t>(moved));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return moved ? static_cast<ssize_t>(moved) : r;
        moved += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(moved);
}

}  // namespace

ssize_t ReadWhole(int fd, char* buffer, size_t n, off_t at) {
    return Whole(::pread, fd, buffer, n, at);
}

ssize_t WriteWhole(int fd, char* buffer, size_t n, off_t at) {
    return Whole(::pwrite, fd, buffer, n, at);
}

bool TransferBytes(const char* context, unsigned long long offset, unsigned long long count,
                   off_t* byteOffset, size_t* byteCount) {
    if (count > kMaxTransferSectors) {
        g_log.Error(context,
                    "transfer of %llu sectors refused: at most %llu sectors fit in one "
                    "transfer \n",
                    count, kMaxTransferSectors);
        return false;
    }
    if (offset > static_cast<unsigned long long>(LLONG_MAX) / kSectorSize) {
        g_log.Error(context, "sector offset %llu is beyond any device \n", offset);
        return false;
    }
    *byteOffset = static_cast<off_t>(offset * kSectorSize);
    *byteCount = static_cast<size_t>(count * kSectorSize);
    return true;
}

}  // namespace kzvol
