// Running the on-disk directory reader over a device into an open file-index
// table: the one sequence metadata collection and the backup's index of a
// snapshot share (descriptor, read-ahead hints, the reader's callbacks), always
// handing back the reader's own account of a failure. Built into the library and
// into the tool alike; never exported.
#pragma once

#include <cstdint>
#include <string>

#include "host/CCreateUNIXFSTree.h"
#include "rdfd/RDFDCallBacks.h"

namespace kzvol {

struct ReaderJob {
    std::string rootName = "/";  // the root row's name
    std::string volinfoPath;     // the volume-information file the reader writes
    std::string fsType = "ext3";
    uint32_t extentBytes = 0;
    int aclEnabled = 0, seLinuxEnabled = 0;
    bool namesOnly = false;
    QuitCheckCallBack quit = nullptr;  // null: the walk is never stopped
    void* quitContext = nullptr;
};

// Walks the ext2/ext3 file system on `fd` depth first into `table` (open; the
// caller closes it), hinting the kernel ahead of the walk. False with *failure
// holding the reader's message; the table's rows and the volume-information file
// are then the caller's to discard.
bool ReadDeviceIntoTable(int fd, CCreateUNIXFSTree* table, const ReaderJob& job,
                         std::string* failure);

}  // namespace kzvol
