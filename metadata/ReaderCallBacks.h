// The callbacks through which the on-disk directory reader runs during metadata
// collection: RDFDReadCallBack reads the raw device, RDFDReadAheadCallBack hints
// what the reader will read next, RDFDResidentCallBack tells what is in memory, and
// RDFDGetInodeNameCallBack adds each reported entry to the file-index table. All run
// on the reader's (the caller's) thread and never throw.
#pragma once

#include "host/CCreateUNIXFSTree.h"
#include "host/Export.h"

// `context` points at an int descriptor of the raw device. Reads up to `size`
// bytes at byte `offset` into `buffer` with one positioned read (the descriptor's
// offset does not move); returns the count read (short at the end of the device)
// or 0 on failure, which is logged.
KZVOL_API unsigned int RDFDReadCallBack(void* context, char* buffer, unsigned int size,
                                        unsigned long long offset);

// The same context: asks the kernel to start reading [offset, offset + length) into
// the page cache, so that RDFDReadCallBack finds it there. Advice only; errors are
// ignored.
KZVOL_API void RDFDReadAheadCallBack(void* context, unsigned long long offset,
                                     unsigned long long length);

// The same context: true when [offset, offset + length) is in the page cache now,
// read with RWF_NOWAIT (which fails rather than wait for the device); false when it
// is not, or the descriptor cannot say.
KZVOL_API bool RDFDResidentCallBack(void* context, unsigned long long offset,
                                    unsigned long long length);

// Readies descriptor `fd` for a walk with RDFDReadAheadCallBack: the walk hints all
// it reads, so the kernel's own read-ahead, which would read past what is needed, is
// switched off for the descriptor (POSIX_FADV_RANDOM). Advice only.
KZVOL_API void RDFDPrepareForReadAhead(int fd);

// `context` is the CCreateUNIXFSTree the row goes to. Adds the row (type 1 for a
// directory, 0 otherwise); true when the table took it, false (logged) when not.
KZVOL_API bool RDFDGetInodeNameCallBack(void* context, unsigned long long parentInode,
                                        unsigned long long inode, unsigned long long size,
                                        unsigned int mtime, bool isDir, char* name);
