// FileIO reads: the 2 MiB cache and the line and record reads served from it. A line
// or record costs a memchr and a memcpy; the system is called once per 2 MiB.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "checksum/FileIO.h"
#include "checksum/FileIOGuard.h"

using kzvol::checksum::CheckOwner;
using kzvol::checksum::CurrentPid;
using kzvol::checksum::LogAndRethrow;

namespace {

EvDebug g_log;

constexpr const char* kCtxValidate = "FileIO :: ValidateCache";
constexpr const char* kCtxReadLine = "FileIO :: ReadLine";
constexpr const char* kCtxReadData = "FileIO :: ReadData";
constexpr size_t kPrefetchAhead = 1024;

[[noreturn]] void ThrowBufferTooSmall() {
    g_log.Error(kCtxReadLine, "Supplied buffer is not big enough");
    throw KyException(kCtxReadLine, KY_APPLICATION_EXCEPTION, "Insufficient Buffer Size");
}

}  // namespace

bool FileIO::ValidateCache() {
    return LogAndRethrow(g_log, kCtxValidate, "%s", [&] {
        m_bEof = false;
        if (m_nMode != O_RDONLY) {
            g_log.Error(kCtxValidate, "Improper Usage. Mode is not O_RDONLY");
            throw KyException(kCtxValidate, KY_APPLICATION_EXCEPTION, "ImProper Usage");
        }
        if (!m_bCacheInvalid && m_uCachePos < m_uCacheFill)
            return true;
        ssize_t n;
        do {
            n = ::read(m_hFile, m_pCache.get(), kCacheSize);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            g_log.Error(kCtxValidate, "Read failed on [%s]. Ret:%d . errno%d", m_strPath.c_str(),
                        static_cast<int>(n), errno);
            throw KyException(kCtxValidate, KY_SYSTEM_EXCEPTION, "Read failed");
        }
        if (n == 0) {
            g_log.DebugLvl(kCtxValidate, 2,
                           "Read Suceeded on [%s]. But returned less data.Ret:%d , Len:%d , "
                           "CurOffset:%lld",
                           m_strPath.c_str(), 0, static_cast<int>(kCacheSize), m_llFileOffset);
            m_bEof = true;
            return false;
        }
        m_uCachePos = 0;
        m_uCacheFill = static_cast<uint32_t>(n);
        m_bCacheInvalid = false;
        m_llFileOffset += n;
        return true;
    });
}

bool FileIO::ReadLine(char** buffer, int size) {
    // Most calls find the whole line in the cache: they need no refill, cannot fail
    // and are served here; every other case takes the full path below.
    if (CurrentPid() == m_nOwnerPid && !m_bEof && HasUnreadBytes() && buffer && *buffer &&
        size > 0) {
        const char* start = m_pCache.get() + m_uCachePos;
        const size_t avail = m_uCacheFill - m_uCachePos;
        // Just after a refill the cache has left the processor's caches (2 MiB is as
        // big as its L2): asking ahead for the bytes of the next lines hides the wait.
        if (avail > kPrefetchAhead + 64) {
            __builtin_prefetch(start + kPrefetchAhead);
            __builtin_prefetch(start + kPrefetchAhead + 64);
        }
        const char* newline = static_cast<const char*>(std::memchr(start, '\n', avail));
        if (newline && newline - start < size) {
            const size_t length = static_cast<size_t>(newline - start);
            std::memcpy(*buffer, start, length);
            (*buffer)[length] = '\0';
            m_uCachePos += static_cast<uint32_t>(length + 1);
            return true;
        }
    }
    return ReadLineFully(buffer, size);
}

bool FileIO::ReadLineFully(char** buffer, int size) {
    return LogAndRethrow(g_log, kCtxReadLine, "%s", [&] {
        CheckOwner(m_nOwnerPid, kCtxReadLine);
        // ValidateCache is needed only once the unread bytes are used up; in the write
        // modes there are none, so it is still reached to refuse them.
        if (m_bEof || (!HasUnreadBytes() && !ValidateCache()))
            return false;
        if (!buffer || !*buffer || size < 1)
            ThrowBufferTooSmall();
        return CopyLine(*buffer, static_cast<size_t>(size) - 1);
    });
}

// Copies up to the next newline into `out`, which holds `room` characters and the
// NUL, refilling the cache as often as the line needs.
bool FileIO::CopyLine(char* out, size_t room) {
    size_t copied = 0;
    for (;;) {
        const char* start = m_pCache.get() + m_uCachePos;
        const size_t avail = m_uCacheFill - m_uCachePos;
        const char* newline = static_cast<const char*>(std::memchr(start, '\n', avail));
        const size_t take = newline ? static_cast<size_t>(newline - start) : avail;
        if (take > room - copied) {
            // What fits is consumed, as a character-at-a-time copy would have done.
            std::memcpy(out + copied, start, room - copied);
            m_uCachePos += static_cast<uint32_t>(room - copied);
            ThrowBufferTooSmall();
        }
        std::memcpy(out + copied, start, take);
        copied += take;
        m_uCachePos += static_cast<uint32_t>(take);
        if (newline) {
            out[copied] = '\0';
            ++m_uCachePos;
            return true;
        }
        if (!ValidateCache())
            return false;
    }
}

bool FileIO::ReadData(char** buffer, int length) {
    return LogAndRethrow(g_log, kCtxReadData, "%s", [&] {
        CheckOwner(m_nOwnerPid, kCtxReadData);
        if (m_bEof || (!HasUnreadBytes() && !ValidateCache()))
            return false;
        if ((!buffer || !*buffer) && length > 0) {
            g_log.Error(kCtxReadData, "Supplied buffer is NULL");
            throw KyException(kCtxReadData, KY_APPLICATION_EXCEPTION, "Improper Usage");
        }
        return CopyData(*buffer, length > 0 ? static_cast<size_t>(length) : 0);
    });
}

// Copies `want` bytes, refilling the cache whenever its unread bytes run out.
bool FileIO::CopyData(char* out, size_t want) {
    size_t copied = 0;
    while (copied < want) {
        if (m_uCachePos == m_uCacheFill && !ValidateCache())
            return false;
        const size_t n = std::min<size_t>(m_uCacheFill - m_uCachePos, want - copied);
        std::memcpy(out + copied, m_pCache.get() + m_uCachePos, n);
        m_uCachePos += static_cast<uint32_t>(n);
        copied += n;
    }
    return true;
}
