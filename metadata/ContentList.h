// The content list of a file-system backup, shared with the backup agent: the
// content paths to protect and, per path, one record for every filter volume
// whose snapshot serves it. The agent fills contentPath and count; the library
// only appends records (FSpodSnap) and writes their release status
// (UnmountUnsnapAll). Plain copyable records; every member is public.
#pragma once

#include <string>
#include <vector>

// One snapshotted volume of a content item.
struct kz_snapdevmntpath {
    std::string mntPath;      // mount point of the volume
    std::string devName;      // its filter device, "/dev/qnbf/qnbfN"
    std::string snapMntPath;  // where the snapshot is mounted: "/snapmnt" + mntPath
    // 0 when made (and while its release succeeds); 1 when the snapshot could not
    // be unmounted; 2 when the snapshot could not be released.
    int status = 0;
};

// One content path and the snapshots made for it, in the order they were made.
struct kz_contenttosnapmnt {
    int snapCount = 0;  // number of records in snaps
    std::vector<kz_snapdevmntpath> snaps;
    std::string contentPath;  // a file or directory to back up
};

struct kz_subclient_contentlist {
    std::vector<kz_contenttosnapmnt> contents;
    int count = 0;  // items to process from index 0; at most contents.size()
};

// One mount-table entry: its device and mount-directory fields.
struct kz_devmntpath {
    std::string devName;
    std::string mntPath;
};
