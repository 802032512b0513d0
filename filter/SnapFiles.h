// Settings of a copy-on-write snapshot: the chunk size from the host configuration
// and the copy-on-write file names in the directory chosen by SetSnapPartition or
// named by KZ_SNAP_PARTITION.
#pragma once

#include <string>

#include "host/Export.h"

namespace kzvol {

// "dSnapChunkSize" of section "UnixImagePOD" in decimal, 0x-hexadecimal or
// 0-octal notation; 4096 when missing, empty, not a number or beyond 32 bits (the
// last three logged under `context`).
KZVOL_API unsigned long SnapChunkSize(const char* context);

// The directory of the copy-on-write files: the one SetSnapPartition chose, else
// the value of KZ_SNAP_PARTITION; null when neither is set or both are empty.
// Like the variable, the choice holds for the whole process; an empty `dir`
// gives the variable back.
KZVOL_API void SetSnapPartition(const std::string& dir);
KZVOL_API const char* SnapPartition();

// The copy-on-write files of the device whose path is `device`, in `dir`:
// dir[/].NAME-snap and dir[/].NAME-snapmap, NAME being the last path component.
struct CowFiles {
    std::string data;
    std::string map;
};
KZVOL_API CowFiles CowFileNames(const std::string& dir, const std::string& device);

}  // namespace kzvol
