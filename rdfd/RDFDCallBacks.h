// The three callbacks through which the on-disk directory reader meets its caller:
// raw device reads, one report per directory, file and link, and the job's quit poll;
// and, optionally, read-ahead hints and a residency query. The reader calls the first
// three synchronously on the caller's thread.
#pragma once

// Reads `size` bytes at byte `offset` of the device into `buffer`. Returns the number
// of bytes placed in the buffer; 0 means failure (the callback logs its own cause).
typedef unsigned int (*ReadCallBack)(void* context, char* buffer, unsigned int size,
                                     unsigned long long offset);

// One report: parent inode (0 for the root of the walk), inode, size in bytes,
// modification time, whether it is a directory, and the short name (at most 255
// bytes; the caller's root name for the root; a damaged name holding "/" or NUL
// comes escaped, "\057" and "\000", up to 1020 bytes). False stops the walk with
// an error.
typedef bool (*GetInodeAnameMappingCallBack)(void* context, unsigned long long parentInode,
                                             unsigned long long inode, unsigned long long size,
                                             unsigned int mtime, bool isDir, char* name);

// Read-ahead hint: the reader will soon read `length` bytes at byte `offset` and
// asks the device to start fetching them (for a descriptor, posix_fadvise with
// POSIX_FADV_WILLNEED). Advice only: it returns nothing, must not block for the
// data, and may do nothing at all. It gets the read callback's context, and is
// called from a thread of the reader's own while the read callback runs on the
// caller's: it must not use state the read callback changes (a descriptor's file
// position, say). Every call has returned before the entry point returns. On a
// device that answers from memory hints come in batches, possibly after the reads
// they announce.
typedef void (*ReadAheadCallBack)(void* context, unsigned long long offset,
                                  unsigned long long length);

// Residency query: true when the `length` bytes at `offset` are in this machine's
// memory now, so that reading them waits for no device (for a descriptor, preadv2
// with RWF_NOWAIT). False when unsure. It gets the read callback's context and runs
// on the caller's thread. Without it, the reader times a read instead, which cannot
// tell memory from a fast device on every machine.
typedef bool (*ResidentCallBack)(void* context, unsigned long long offset,
                                 unsigned long long length);

// Quit poll: sets the one-byte flag behind `quitFlag` (a bool) to non-zero when the
// job must stop and to zero otherwise. The result is ignored.
typedef int (*QuitCheckCallBack)(int quitArgument, void* quitContext, void* quitFlag);
