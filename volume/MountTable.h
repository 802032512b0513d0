// Mount-table lookups between devices and mount directories, the last component
// of a device path, and a retrying advisory lock on an open stream.
//
// Threads: the lookups keep no state and read the table afresh on each call, so
// they may run on several threads at once. `lock` blocks its thread during its
// retry sleeps.
#pragma once

#include <cstdio>
#include <string>

#include "host/Export.h"

// The mount directory of the first table entry whose device is `device`, as a
// malloc'ed string the caller frees; null when none matches or the table cannot
// be read.
KZVOL_API char* kz_getmountpoint(char* device);

// The device of the first table entry mounted exactly on `mountpoint`; empty when
// none matches or the table cannot be read.
KZVOL_API std::string getrawdev(char* mountpoint);

// The text after the last '/' of `path` (the whole path when it has none).
KZVOL_API std::string getdevname(std::string path);

// `name` itself when it is a filter device path; otherwise the device mounted on
// the directory `name`, empty when there is none.
KZVOL_API std::string getVolName(std::string name);

// Places an advisory record lock of `type` (F_RDLCK, F_WRLCK or F_UNLCK) over the
// whole file behind `stream`. 0 when granted. A lock held by another process is
// asked for again after 2000 ms, ten requests in all; -1 when all were refused or
// the request failed for any other reason (errno tells why).
KZVOL_API int lock(FILE* stream, int type);
