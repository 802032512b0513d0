// The walk of a mounted directory tree into the file-index table, used by metadata
// collection when the on-disk directory reader cannot be. Runs on the caller's
// thread; DebugLog is process-wide and unguarded.
#pragma once

#include <dirent.h>

#include <string>

#include "host/CCreateUNIXFSTree.h"
#include "host/Export.h"
#include "host/KZJobCtrlClient.h"

// Non-zero: the walk logs one line per entry. Zero at load; metadata collection
// sets it to 1 when extra logging is configured, and nothing clears it.
KZVOL_API extern int DebugLog;

// Walks the open stream `dir` (whose path is `dirPath`) depth first, adding one row
// per directory, symbolic link, device, pipe, socket and regular file with one
// link, each with `parentInode` as its parent; files with several links are left
// out. Takes ownership of `dir` and closes it. True when the whole subtree was
// walked; false when a row was refused, a subdirectory walk failed or `jobCtrl`
// (may be null) asked to stop; rows added before stay in the table. Entries whose
// attributes cannot be read are skipped; a subdirectory that cannot be opened
// keeps its row without content.
KZVOL_API bool DumpFileListToCTree(DIR* dir, std::string dirPath, unsigned long long parentInode,
                                   CCreateUNIXFSTree* table, KZJobCtrlClient* jobCtrl);
