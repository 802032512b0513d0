// The mount-table scan shared by the lookups and by Lock.
#include "volume/MountScan.h"

#include <cerrno>
#include <vector>

#include "host/Env.h"

namespace kzvol {

MountScan FindMountedFs(const std::function<bool(const MountedFs&)>& match, MountedFs* found,
                        int* error) {
    std::vector<MountTableEntry> table;
    errno = 0;
    if (!CurrentEnv()->ReadMountTable(&table)) {
        if (error)
            *error = errno;
        return MountScan::kUnreadable;
    }
    for (const MountTableEntry& entry : table) {
        if (entry.fields.size() < 4)
            continue;
        MountedFs fs{entry.fields[0], entry.fields[1], entry.fields[2], entry.fields[3]};
        if (match(fs)) {
            *found = std::move(fs);
            return MountScan::kFound;
        }
    }
    return MountScan::kNotFound;
}

}  // namespace kzvol
