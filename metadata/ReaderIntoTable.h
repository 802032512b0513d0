// Running the on-disk directory reader over a device into an open file-index
// table: the one sequence metadata collection, the backup's index of a snapshot
// and `kzvol index` share (descriptor, read-ahead hints, the reader's callbacks,
// counts), always handing back the reader's own account of a failure. Built into
// the library and into the tool alike; never exported.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/CCreateUNIXFSTree.h"
#include "rdfd/RDFDCallBacks.h"

namespace kzvol {

// What a run read from the device and added to the table.
struct ReaderCounts {
    uint64_t bytesRead = 0, readCalls = 0, entries = 0, directories = 0;
};

struct ReaderJob {
    std::string rootName = "/";  // the root row's name
    std::string volinfoPath;     // the volume-information file the reader writes ("" none)
    std::string fsType = "ext3";
    uint32_t extentBytes = 0;
    int aclEnabled = 0, seLinuxEnabled = 0;
    bool namesOnly = false;
    // The walker that orders its reads forward across the device; it takes no ACL,
    // SELinux or names-only settings.
    bool optimized = false;
    QuitCheckCallBack quit = nullptr;  // null: the walk is never stopped
    void* quitContext = nullptr;
    // Called every 1024 entries, when set.
    std::function<void(const ReaderCounts&)> progress;
};

// How a run ended.
struct ReaderOutcome {
    ReaderCounts counts;
    // The code of the reader's exception (an RDFDExceptionCodes value); -1 when the
    // walk stopped without one (a quit request, or a callback refusing).
    int failureCode = -1;
    std::string failure;  // the reader's own text
};

// Walks the ext2/ext3 file system on `fd` into `table` (open; the caller closes
// it), hinting the kernel ahead of the walk. False when the walk failed; the
// table's rows and the volume-information file are then the caller's to discard.
bool ReadDeviceIntoTable(int fd, CCreateUNIXFSTree* table, const ReaderJob& job,
                         ReaderOutcome* outcome);

}  // namespace kzvol
