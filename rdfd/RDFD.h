// The on-disk ext2/ext3 directory reader: lists every directory, regular file and
// symbolic link of a file system straight from the raw device, through the caller's
// read callback, and reports each through the caller's mapping callback.
//
// Two entry points, each building its own reader for the duration of the call:
// RDFDInterfaceForImgPod walks depth first; RDFDInterfaceForVirtualPod reorders the
// reads so that they run mostly forward across the device. Neither throws: every
// failure is logged and answered with false. What the mapping callback received
// before a failure stays received; the caller discards partial results.
//
// Each entry point also comes with a trailing `failure` argument (may be null): on
// a false result it receives a copy of the exception that ended the walk, so a
// caller can tell the user why without reading the log. A walk that stopped
// without an exception leaves it untouched. After it, `readAhead` (may be null)
// takes read-ahead hints with the read context: the walk then announces the inode
// tables in use and the directory blocks before it reads them, so a device can
// work on them while the walk goes on. The reports are the same with or without.
// Last, `resident` (may be null) tells the walk whether the device answers from
// memory; such a device gets its hints in batches and no prescan.
#pragma once

#include <string>

#include "host/Export.h"
#include "rdfd/RDFDCallBacks.h"
#include "rdfd/RDFDException.h"

// Depth-first walk from the root inode. `platform` must be "linux" and `fsTypeName`
// "ext3". `dumpPath` (may be null) receives the key=value file-system information.
// With `namesOnly`, files and links are reported with size and mtime 0.
KZVOL_API bool RDFDInterfaceForImgPod(char* rootName, ReadCallBack readCallBack, void* readContext,
                                      GetInodeAnameMappingCallBack mapCallBack, void* mapContext,
                                      char* dumpPath, char* fsTypeName, char* platform,
                                      unsigned int extentSize, int aclEnabled, int seLinuxEnabled,
                                      bool namesOnly, QuitCheckCallBack quitCallBack,
                                      void* quitContext);
KZVOL_API bool RDFDInterfaceForImgPod(char* rootName, ReadCallBack readCallBack, void* readContext,
                                      GetInodeAnameMappingCallBack mapCallBack, void* mapContext,
                                      char* dumpPath, char* fsTypeName, char* platform,
                                      unsigned int extentSize, int aclEnabled, int seLinuxEnabled,
                                      bool namesOnly, QuitCheckCallBack quitCallBack,
                                      void* quitContext, RDFDException* failure,
                                      ReadAheadCallBack readAhead = nullptr,
                                      ResidentCallBack resident = nullptr);

// The same reports in ascending inode and block order. The three unnamed text
// arguments are not read. `isSupported` (may be null) receives false and `fsType`
// (may be null) "Ext4" when the device holds ext4; a successful walk leaves "ext3"
// in `fsType`.
KZVOL_API bool RDFDInterfaceForVirtualPod(char* rootName, ReadCallBack readCallBack,
                                          void* readContext,
                                          GetInodeAnameMappingCallBack mapCallBack,
                                          void* mapContext, char* dumpPath, std::string* fsType,
                                          char*, unsigned int extentSize, char*, char*,
                                          bool* isSupported, QuitCheckCallBack quitCallBack,
                                          int quitArgument, void* quitContext);
KZVOL_API bool RDFDInterfaceForVirtualPod(
    char* rootName, ReadCallBack readCallBack, void* readContext,
    GetInodeAnameMappingCallBack mapCallBack, void* mapContext, char* dumpPath, std::string* fsType,
    char*, unsigned int extentSize, char*, char*, bool* isSupported, QuitCheckCallBack quitCallBack,
    int quitArgument, void* quitContext, RDFDException* failure,
    ReadAheadCallBack readAhead = nullptr, ResidentCallBack resident = nullptr);
