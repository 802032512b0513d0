// The directory reader run into a table, counted, with hints and its failure text.
#include "metadata/ReaderIntoTable.h"

#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"
#include "rdfd/RDFDException.h"

namespace kzvol {
namespace {

constexpr uint64_t kProgressEvery = 1024;

// The context of the reader's callbacks for one run.
struct Run {
    int fd;
    CCreateUNIXFSTree* table;
    const ReaderJob* job;
    ReaderCounts counts;
};

int NeverQuit(int, void*, void* flag) {
    *static_cast<unsigned char*>(flag) = 0;
    return 0;
}

unsigned int CountingRead(void* context, char* buffer, unsigned int size,
                          unsigned long long offset) {
    Run* run = static_cast<Run*>(context);
    unsigned int n = RDFDReadCallBack(&run->fd, buffer, size, offset);
    run->counts.bytesRead += n;
    ++run->counts.readCalls;
    return n;
}

void ReadAhead(void* context, unsigned long long offset, unsigned long long length) {
    RDFDReadAheadCallBack(&static_cast<Run*>(context)->fd, offset, length);
}

bool Resident(void* context, unsigned long long offset, unsigned long long length) {
    return RDFDResidentCallBack(&static_cast<Run*>(context)->fd, offset, length);
}

bool CountingAdd(void* context, unsigned long long parentInode, unsigned long long inode,
                 unsigned long long size, unsigned int mtime, bool isDir, char* name) {
    Run* run = static_cast<Run*>(context);
    if (!RDFDGetInodeNameCallBack(run->table, parentInode, inode, size, mtime, isDir, name))
        return false;
    ++run->counts.entries;
    run->counts.directories += isDir ? 1 : 0;
    if (run->job->progress && run->counts.entries % kProgressEvery == 0)
        run->job->progress(run->counts);
    return true;
}

bool Walk(Run* run, RDFDException* caught) {
    const ReaderJob& job = *run->job;
    std::string rootName = job.rootName, volinfo = job.volinfoPath, fsType = job.fsType;
    char* dumpPath = volinfo.empty() ? nullptr : volinfo.data();
    QuitCheckCallBack quit = job.quit ? job.quit : NeverQuit;
    void* quitContext = job.quit ? job.quitContext : nullptr;
    if (job.optimized) {
        std::string foundType;
        bool supported = true;
        char unused[] = "";
        return RDFDInterfaceForVirtualPod(rootName.data(), CountingRead, run, CountingAdd, run,
                                          dumpPath, &foundType, unused, job.extentBytes, unused,
                                          unused, &supported, quit, 0, quitContext, caught,
                                          ReadAhead, Resident);
    }
    char platform[100] = "linux";
    return RDFDInterfaceForImgPod(rootName.data(), CountingRead, run, CountingAdd, run, dumpPath,
                                  fsType.data(), platform, job.extentBytes, job.aclEnabled,
                                  job.seLinuxEnabled, job.namesOnly, quit, quitContext, caught,
                                  ReadAhead, Resident);
}

}  // namespace

bool ReadDeviceIntoTable(int fd, CCreateUNIXFSTree* table, const ReaderJob& job,
                         ReaderOutcome* outcome) {
    Run run{fd, table, &job, {}};
    RDFDPrepareForReadAhead(run.fd);
    RDFDException caught(static_cast<RDFDExceptionCodes>(-1), "it stopped before the end");
    const bool ok = Walk(&run, &caught);
    outcome->counts = run.counts;
    outcome->failureCode = ok ? -1 : static_cast<int>(caught.GetCode());
    outcome->failure = ok ? "" : caught.GetErrorMsg();
    return ok;
}

}  // namespace kzvol
