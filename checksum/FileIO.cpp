// FileIO: opening, writing, offsets, closing and the fork guard. The reads through
// the cache are in FileIORead.cpp.
#include "checksum/FileIO.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "checksum/FileIOGuard.h"

namespace kzvol::checksum {

std::atomic<pid_t> g_currentPid{0};

namespace {

void RefreshPid() {
    g_currentPid.store(::getpid(), std::memory_order_relaxed);
}

bool TrackPidAcrossFork() {
    RefreshPid();
    // The child handler runs in every child that fork() creates.
    ::pthread_atfork(nullptr, nullptr, RefreshPid);
    return true;
}

}  // namespace

pid_t StartTrackingPid() {
    static const bool tracking = TrackPidAcrossFork();
    (void)tracking;
    return g_currentPid.load(std::memory_order_relaxed);
}

// Tracking starts when the library is loaded.
[[maybe_unused]] const pid_t g_pidAtLoad = StartTrackingPid();

}  // namespace kzvol::checksum

using kzvol::checksum::CheckOwner;
using kzvol::checksum::CurrentPid;
using kzvol::checksum::LogAndRethrow;

namespace {

EvDebug g_log;

constexpr int kModeRead = O_RDONLY;
constexpr int kModeTruncate = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int kModeAppend = O_WRONLY | O_CREAT;
constexpr mode_t kFileBits = 0644;

constexpr const char* kCtxCtor = "FileIO :: FileIO";
constexpr const char* kCtxDtor = "FileIO :: ~FileIO";
constexpr const char* kCtxWrite = "FileIO :: WriteData";
constexpr const char* kCtxSeek = "FileIO :: SetCurOffset";
constexpr const char* kCtxClose = "FileIO :: close";

bool IsWriteMode(int mode) {
    return mode == kModeTruncate || mode == kModeAppend;
}

}  // namespace

FileIO::FileIO(std::string path, int mode)
    : m_strPath(std::move(path)),
      m_nMode(mode),
      m_hFile(-1),
      m_bCacheInvalid(false),
      m_llFileOffset(0),
      m_uCachePos(0),
      m_uCacheFill(0),
      m_nOwnerPid(0),
      m_bEof(false) {
    LogAndRethrow(g_log, kCtxCtor, "%s", [this] { Open(); });
}

void FileIO::Open() {
    if (m_nMode != kModeRead && !IsWriteMode(m_nMode)) {
        g_log.Error(kCtxCtor, "Unsupported Mode:%d", m_nMode);
        throw KyException(kCtxCtor, KY_APPLICATION_EXCEPTION, "UnSupported Mode");
    }
    if (m_nMode == kModeRead && ::access(m_strPath.c_str(), F_OK) != 0) {
        g_log.Error(kCtxCtor, "[%s] doesnot exist. Read makes no sense", m_strPath.c_str());
        throw KyException(kCtxCtor, KY_FILE_NOT_FOUND, "Read from a non-existent file");
    }
    // Close-on-exec: the agent runs commands, which have no use for hash files.
    int fd = ::open(m_strPath.c_str(), m_nMode | O_CLOEXEC, kFileBits);
    if (fd < 0) {
        g_log.Error(kCtxCtor, "open failed on [%s]. errno:%d", m_strPath.c_str(), errno);
        throw KyException(kCtxCtor, KY_SYSTEM_EXCEPTION, "File Open failed");
    }
    m_pCache.reset(new (std::nothrow) char[kCacheSize]);
    if (!m_pCache) {
        ::close(fd);
        g_log.Error(kCtxCtor, "new failed to allocate memory for Buffer");
        throw KyException(kCtxCtor, KY_SYSTEM_EXCEPTION, "Memory allocation for Buffer failed");
    }
    m_hFile = fd;
    m_nOwnerPid = CurrentPid();
}

FileIO::~FileIO() {
    if (m_hFile < 0)
        return;
    try {
        Close();
    } catch (const KyException& e) {
        g_log.Error(kCtxDtor, "%s", e.what());
    } catch (...) {
        g_log.Error(kCtxDtor, "UnHandled Exception");
    }
}

void kzvol::checksum::RefuseForkedUse(const char* context) {
    g_log.Error(context, "Not intended to use across fork()");
    throw KyException(context, KY_APPLICATION_EXCEPTION, "Improper Usage");
}

bool FileIO::WriteData(const char* data, int length) {
    return LogAndRethrow(g_log, kCtxWrite, "exception: %s", [&] {
        CheckOwner(m_nOwnerPid, kCtxWrite);
        if (!IsWriteMode(m_nMode)) {
            g_log.Error(kCtxWrite,
                        "Improper Usage. Supported Modes -- O_WRONLY | O_CREAT | O_TRUNC , "
                        "O_WRONLY | O_CREAT");
            throw KyException(kCtxWrite, KY_APPLICATION_EXCEPTION, "ImProper Usage");
        }
        ssize_t n = -1;
        errno = EINVAL;  // a negative length is refused without a system call
        if (length >= 0) {
            do {
                n = ::write(m_hFile, data, static_cast<size_t>(length));
            } while (n < 0 && errno == EINTR);
        }
        if (n != length) {
            g_log.Error(kCtxWrite, "write failed on [%s]. Ret Value:%d.errno:%d", m_strPath.c_str(),
                        static_cast<int>(n), errno);
            throw KyException(kCtxWrite, KY_SYSTEM_EXCEPTION, "Write failed");
        }
        return true;
    });
}

long long FileIO::GetCurOffset() const {
    if (m_bCacheInvalid)
        return m_llFileOffset;
    return m_llFileOffset - m_uCacheFill + m_uCachePos;
}

void FileIO::SetCurOffset(long long offset) {
    LogAndRethrow(g_log, kCtxSeek, "%s", [&] {
        off_t at = ::lseek(m_hFile, static_cast<off_t>(offset), SEEK_SET);
        if (at < 0) {
            g_log.Error(kCtxSeek, "lseek64 failed on [%s]. Ret:%lld . errno:%d", m_strPath.c_str(),
                        static_cast<long long>(at), errno);
            throw KyException(kCtxSeek, KY_SYSTEM_EXCEPTION, "lseek failed");
        }
        m_llFileOffset = offset;
        m_bCacheInvalid = true;
    });
}

void FileIO::Close() {
    LogAndRethrow(g_log, kCtxClose, "%s", [&] {
        if (m_hFile < 0) {
            g_log.Error(kCtxClose, "Fd is not valid.");
            return;
        }
        // Linux releases the descriptor even when close() reports an error, so it is
        // forgotten either way: closing the number again could close a descriptor
        // that another thread has been given since.
        int fd = m_hFile;
        m_hFile = -1;
        int rc = ::close(fd);
        if (rc != 0) {
            g_log.Error(kCtxClose, "close failed on [%s]. Ret Value:%d.errno:%d", m_strPath.c_str(),
                        rc, errno);
            throw KyException(kCtxClose, KY_SYSTEM_EXCEPTION, "close failed");
        }
    });
}
