// The directory reader run over a frozen image into the backup's folder.
#include "backup/IndexImage.h"

#include <unistd.h>

#include <cstring>

#include "host/CCreateUNIXFSTree.h"
#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"

namespace kzvol::backup {
namespace {

int NeverQuit(int, void*, void* flag) {
    *static_cast<unsigned char*>(flag) = 0;
    return 0;
}

}  // namespace

bool IndexImage(int fd, const std::string& table, const std::string& volinfo, uint64_t extentBytes,
                std::string* error) {
    static long long handle = 0;
    CCreateUNIXFSTree writer;  // removes the table unless it is closed
    int rc = writer.Init(&handle);
    if (rc == 0)
        rc = writer.Open(table.c_str());
    if (rc != 0) {
        *error = "cannot create the table " + table + ": " + std::strerror(rc);
        return false;
    }
    std::string rootName = "/", dumpPath = volinfo;
    char fsType[] = "ext3";
    char platform[100] = "linux";
    int device = fd;
    RDFDPrepareForReadAhead(device);
    RDFDException failure(static_cast<RDFDExceptionCodes>(-1), "it stopped before the end");
    bool ok = RDFDInterfaceForImgPod(rootName.data(), RDFDReadCallBack, &device,
                                     RDFDGetInodeNameCallBack, &writer, dumpPath.data(), fsType,
                                     platform, static_cast<unsigned int>(extentBytes), 0, 0, false,
                                     NeverQuit, nullptr, &failure, RDFDReadAheadCallBack);
    if (ok && (rc = writer.Close()) != 0) {
        *error = "cannot finish the table " + table + ": " + std::strerror(rc);
        ok = false;
    } else if (!ok) {
        *error = std::string(
                     "the directory reader could not index the snapshot (an ext2/ext3 "
                     "file system is needed); the reader says: ") +
                 failure.GetErrorMsg();
    }
    if (!ok)
        ::unlink(volinfo.c_str());
    return ok;
}

}  // namespace kzvol::backup
