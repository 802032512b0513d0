// The process-wide state of the ACL dump (KZVolumeUnix::DumpACLInfo): a cache of
// the distinct ACLs already written to the caller's ACL file, the running offset
// in that file, and the list of per-file records sorted by inode that the caller
// writes out afterwards. Exported so that the caller can read and reset it; not
// guarded: one thread at a time.
#pragma once

#include <sys/acl.h>

#include "host/Export.h"

// One remembered ACL: the object (owned by the cache) and where its external form
// starts in the ACL file.
struct acl_cache_entry {
    acl_t acl;
    unsigned long long offset;
};

// Where one file's ACL lies in the ACL file.
struct acl_info {
    unsigned long long inode;
    unsigned long long offset;
    unsigned int size;
};

// A node of the index list; nodes stay in ascending inode order.
struct acl_node {
    acl_info* info;
    acl_node* next;
};

enum { KZ_ACL_CACHE_ENTRIES = 1024 };

KZVOL_API extern acl_cache_entry acllist[KZ_ACL_CACHE_ENTRIES];
// Valid entries of acllist, 0 to 1024.
KZVOL_API extern int acl_in_memory;
// ACL bytes written so far: the offset of the next ACL in the file.
KZVOL_API extern unsigned long long fileoffset;
// Head of the index list, null when empty. Records and nodes are heap blocks
// (new) that belong to the caller once listed.
KZVOL_API extern acl_node* first;

namespace kzvol {
// Frees the index list and the cached ACLs and zeroes the state, as a caller does
// before it starts a new ACL file.
KZVOL_API void ResetAclDumpState();
}  // namespace kzvol
