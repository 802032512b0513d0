// The reader's device-read and row callbacks for metadata collection.
#include "metadata/ReaderCallBacks.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "host/EvDebug.h"
#include "rdfd/RDFDCallBacks.h"

static_assert(std::is_same_v<decltype(&RDFDReadCallBack), ReadCallBack>);
static_assert(std::is_same_v<decltype(&RDFDReadAheadCallBack), ReadAheadCallBack>);
static_assert(std::is_same_v<decltype(&RDFDResidentCallBack), ResidentCallBack>);
static_assert(std::is_same_v<decltype(&RDFDGetInodeNameCallBack), GetInodeAnameMappingCallBack>);

namespace {

EvDebug& Log() {
    static EvDebug log;
    return log;
}

}  // namespace

unsigned int RDFDReadCallBack(void* context, char* buffer, unsigned int size,
                              unsigned long long offset) {
    const char* where = "RDFDReadCallBack";
    if (!context || !buffer) {
        Log().Error(where, "read failed errno:%u Error:%s", EINVAL, std::strerror(EINVAL));
        return 0;
    }
    const int fd = *static_cast<int*>(context);
    // An offset the descriptor could not seek to fails as the seek would have.
    if (offset > static_cast<unsigned long long>(INT64_MAX)) {
        Log().Error(where, "lseek failed errno:%u Error:%s", EINVAL, std::strerror(EINVAL));
        return 0;
    }
    ssize_t n;
    do {
        n = ::pread64(fd, buffer, size, static_cast<off64_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int err = errno;
        // A descriptor that cannot be positioned fails as the seek before a read did.
        const char* step = err == EBADF || err == ESPIPE ? "lseek" : "read";
        Log().Error(where, "%s failed errno:%u Error:%s", step, err, std::strerror(err));
        return 0;
    }
    return static_cast<unsigned int>(n);
}

void RDFDPrepareForReadAhead(int fd) {
    ::posix_fadvise64(fd, 0, 0, POSIX_FADV_RANDOM);
}

void RDFDReadAheadCallBack(void* context, unsigned long long offset, unsigned long long length) {
    if (context == nullptr || offset > static_cast<unsigned long long>(INT64_MAX) ||
        length > static_cast<unsigned long long>(INT64_MAX))
        return;
    ::posix_fadvise64(*static_cast<int*>(context), static_cast<off64_t>(offset),
                      static_cast<off64_t>(length), POSIX_FADV_WILLNEED);
}

bool RDFDResidentCallBack(void* context, unsigned long long offset, unsigned long long length) {
    constexpr unsigned long long kPiece = 1 << 20;
    if (context == nullptr || offset > static_cast<unsigned long long>(INT64_MAX) ||
        length > static_cast<unsigned long long>(INT64_MAX) - offset)
        return false;
    std::vector<char> buffer(std::min(length, kPiece));
    for (unsigned long long done = 0; done < length;) {
        iovec piece{buffer.data(), std::min(buffer.size(), static_cast<size_t>(length - done))};
        const ssize_t n = ::preadv2(*static_cast<int*>(context), &piece, 1,
                                    static_cast<off_t>(offset + done), RWF_NOWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)  // not in memory (EAGAIN), past the end, or no answer
            return false;
        done += static_cast<unsigned long long>(n);
    }
    return true;
}

bool RDFDGetInodeNameCallBack(void* context, unsigned long long parentInode,
                              unsigned long long inode, unsigned long long size, unsigned int mtime,
                              bool isDir, char* name) {
    const char* where = "RDFDGetInodeNameCallBack";
    const char* shown = name ? name : "(null)";
    Log().DebugLvl(where, 4, "%llu , %llu , %llu , %u , %s , %s", parentInode, inode, size, mtime,
                   shown, isDir ? "DIR" : "FILE");
    int rc = context ? static_cast<CCreateUNIXFSTree*>(context)->Add(parentInode, inode, size,
                                                                     mtime, isDir ? 1 : 0, name)
                     : EINVAL;
    if (rc == 0)
        return true;
    Log().Error(where, "failed to add Name=%s to ctreetable ret=%d", shown, rc);
    return false;
}
