// One backup of a volume into a repository, in the order that loses no write:
//   0. check that the repository protects this volume (Preflight.h), remove
//      the images killed backups recorded, refuse to go on while another image
//      of the volume is active;
//   1. take and clear the change bitmap (a full backup clears it too and sends
//      every extent);
//   2. fold in the bitmaps of backups that never completed (the differential
//      bitmap stands in for one that was lost; every extent counts when the
//      driver does not track the bitmap), write the result into the new
//      backup's temporary folder and sync it;
//   3. freeze the volume, read the extents to send from the frozen image (with
//      used-only, the unused blocks of its file system as zeros), hash and
//      compress each on the worker threads, ask the extent hash tracker whether it
//      changed (an incremental skips extents whose digest equals the previous
//      point's), index the image when asked, thaw;
//   4. write the manifest (every extent and every other file of the folder with
//      its digest) and rename the folder into place.
// An index that cannot be built leaves the backup without one, saying why.
// A write landing between steps 1 and 3 is in the image and in the next bitmap.
// On any failure after step 1 the taken bits go back to the bitmap; when that too
// fails the temporary folder stays, and the next backup folds its bitmap in.
#pragma once

#include <atomic>
#include <string>

#include "backup/Readback.h"
#include "backup/Repository.h"
#include "backup/Source.h"

namespace kzvol::backup {

struct BackupOptions {
    bool incremental = false;
    bool index = false;
    // Store only the blocks the snapshot's ext2/ext3 file system uses, the others
    // as zeros; refused on a volume without one.
    bool usedOnly = false;
    const std::atomic<bool>* stop = nullptr;  // set: stop at the next extent and fail
    Progress progress;                        // bytes read from the image, bytes to read
};

struct BackupReport {
    Manifest manifest;
    uint64_t extentsRead = 0, bytesRead = 0;  // from the frozen image
    uint64_t extentsSkipped = 0;              // read, but equal to the previous point
    uint64_t bytesWritten = 0;                // extents and manifest
    size_t leftoversFolded = 0;
    size_t leftoversLost = 0;    // unfinished backups whose bitmap was not durable
    std::string readAllBecause;  // why every extent was read, when it was
    std::string indexError;      // why the index asked for is missing
    double seconds = 0, takeSeconds = 0, freezeSeconds = 0, thawSeconds = 0;
};

// `repo` must be locked for writing.
bool RunBackup(Repository& repo, Source& source, const BackupOptions& options, BackupReport* report,
               std::string* error);

}  // namespace kzvol::backup
