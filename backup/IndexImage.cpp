// The directory reader run over a frozen image into the backup's folder.
#include "backup/IndexImage.h"

#include <unistd.h>

#include <cstring>

#include "host/CCreateUNIXFSTree.h"
#include "metadata/ReaderIntoTable.h"

namespace kzvol::backup {

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
    ReaderJob job;
    job.volinfoPath = volinfo;
    job.extentBytes = static_cast<uint32_t>(extentBytes);
    ReaderOutcome outcome;
    bool ok = ReadDeviceIntoTable(fd, &writer, job, &outcome);
    if (ok && (rc = writer.Close()) != 0) {
        *error = "cannot finish the table " + table + ": " + std::strerror(rc);
        ok = false;
    } else if (!ok) {
        *error =
            "the directory reader could not index the snapshot (an ext2/ext3 file system is "
            "needed); the reader says: " +
            outcome.failure;
    }
    if (!ok)
        ::unlink(volinfo.c_str());
    return ok;
}

}  // namespace kzvol::backup
