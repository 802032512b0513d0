// The directory reader run into a table, with hints and its failure text.
#include "metadata/ReaderIntoTable.h"

#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"
#include "rdfd/RDFDException.h"

namespace kzvol {
namespace {

int NeverQuit(int, void*, void* flag) {
    *static_cast<unsigned char*>(flag) = 0;
    return 0;
}

}  // namespace

bool ReadDeviceIntoTable(int fd, CCreateUNIXFSTree* table, const ReaderJob& job,
                         std::string* failure) {
    std::string rootName = job.rootName, volinfo = job.volinfoPath, fsType = job.fsType;
    char platform[100] = "linux";
    int device = fd;
    RDFDPrepareForReadAhead(device);
    RDFDException caught(static_cast<RDFDExceptionCodes>(-1), "it stopped before the end");
    const bool ok = RDFDInterfaceForImgPod(
        rootName.data(), RDFDReadCallBack, &device, RDFDGetInodeNameCallBack, table, volinfo.data(),
        fsType.data(), platform, job.extentBytes, job.aclEnabled, job.seLinuxEnabled, job.namesOnly,
        job.quit ? job.quit : NeverQuit, job.quit ? job.quitContext : nullptr, &caught,
        RDFDReadAheadCallBack);
    if (!ok)
        *failure = caught.GetErrorMsg();
    return ok;
}

}  // namespace kzvol
