// Content snapshots for file-system backups. KZVolSnap is the agent's entry: op 0
// snapshots every filter volume behind the list's content paths and mounts each
// snapshot read-only under "/snapmnt" (KZVolumeUnix::FSpodSnap), op 1 unmounts and
// releases every snapshot the list records (KZVolumeUnix::UnmountUnsnapAll).
//
// Threads: single-threaded; nothing is locked, so two calls on the same mount
// points at once would race on the mount table and the snapshot directories.
#pragma once

#include <string>
#include <vector>

#include "host/Export.h"
#include "metadata/ContentList.h"

// Operations of KZVolSnap.
constexpr int KZVOLSNAP_SNAP = 0;
constexpr int KZVOLSNAP_RELEASE = 1;

// 1 when `op` is KZVOLSNAP_SNAP or KZVOLSNAP_RELEASE and `list` is not null (the
// outcome per item is in its records and in the critical events raised); 0 for a
// null list or another op, which touch nothing.
extern "C" KZVOL_API int KZVolSnap(int op, kz_subclient_contentlist* list);

// Appends to `found` every mount-table entry of a filter device ("/dev/qnbf/qnbf"
// in its device field) mounted on `mntPath` or below it, compared by whole path
// components: /home finds /home and /home/x, never /home2 or /mnt/home; "/" finds
// every one. True when at least one was appended; false also when the mount table
// cannot be read. `found` is never cleared.
KZVOL_API bool getAllDeviceMntPath(std::string mntPath, std::vector<kz_devmntpath>& found);
