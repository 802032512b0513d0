// The reader's device-read and row callbacks for metadata collection.
#include "metadata/ReaderCallBacks.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "host/EvDebug.h"
#include "rdfd/RDFDCallBacks.h"

static_assert(std::is_same_v<decltype(&RDFDReadCallBack), ReadCallBack>);
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
    int fd = *static_cast<int*>(context);
    if (::lseek64(fd, static_cast<off64_t>(offset), SEEK_SET) < 0) {
        int err = errno;
        Log().Error(where, "lseek failed errno:%u Error:%s", err, std::strerror(err));
        return 0;
    }
    ssize_t n = ::read(fd, buffer, size);
    if (n < 0) {
        int err = errno;
        Log().Error(where, "read failed errno:%u Error:%s", err, std::strerror(err));
        return 0;
    }
    return static_cast<unsigned int>(n);
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
