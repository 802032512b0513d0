// The one scan of the mount table behind every lookup of the volume subsystem:
// read the table through the host, find the first entry that matches.
#pragma once

#include <functional>
#include <string>

namespace kzvol {

// One mounted file system, the four text fields of its table entry.
struct MountedFs {
    std::string device, dir, type, options;
};

enum class MountScan { kFound, kNotFound, kUnreadable };

// Reads the mount table and stores in *found the first entry, in table order, for
// which `match` holds. kUnreadable with *error set to errno when the table cannot
// be read.
MountScan FindMountedFs(const std::function<bool(const MountedFs&)>& match, MountedFs* found,
                        int* error);

}  // namespace kzvol
