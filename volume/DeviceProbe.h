// Device probing: what a path names (device node, character device, filter device)
// and how large a block device is and how its sectors are laid out. Free functions
// that keep no state between calls: each opens and closes what it examines.
#pragma once

#include <string>

#include "host/Export.h"

// The driver admin node, "/dev/qnbf/ctrl", for users of the library.
extern "C" KZVOL_API char devprefix[15];

// True when `path` holds "/dev/" or "/proc/qnbf/" and names a block or character
// device (links followed). Paths with neither are false without touching anything.
KZVOL_API bool isDevice(std::string path);
// True when `path` holds "/dev/" and names a character device.
KZVOL_API bool isCharDevice(std::string path);
// True when `path` is a filter device node, or names a device covered by one;
// `filterDevice` then names that filter device. The underlying-device match is a
// prefix match on the last path component, first in the driver's list order.
KZVOL_API bool isQNBFDevice(std::string path, std::string& filterDevice);
// Copies `raw` into `block` without the first "r" that follows a "/"
// (/dev/rdsk/x -> /dev/dsk/x). `block` holds at least strlen(raw) + 1 bytes.
KZVOL_API bool ConvertRawToBlockDevice(char* raw, char* block);

// The device size in bytes, rounded down to whole device blocks.
KZVOL_API bool GetDeviceSize(std::string device, unsigned long long* size);
// The device size: `raw` (when given) the full size, `usable` rounded down to whole
// device blocks.
KZVOL_API bool GetDeviceSize_Internal(std::string device, unsigned long long* usable,
                                      unsigned long long* raw);
// Logical and physical sector size, minimum and optimal I/O size. True also when a
// query failed: all four are then 0.
KZVOL_API bool GetDiskSectorSz(const std::string& device, unsigned long long* logical,
                               unsigned long long* physical, unsigned long long* ioMin,
                               unsigned long long* ioOpt);
