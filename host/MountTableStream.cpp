// Mount-table text parser over the re-entrant standard reader.
#include "host/MountTableStream.h"

#include <mntent.h>

#include <string>

namespace kzvol {
namespace {
// Bytes of one table line; overlay mounts with many layers need more than 4 KiB.
constexpr int kLineBuffer = 8192;
}  // namespace

void ReadMountEntries(FILE* stream, std::vector<MountTableEntry>* entries) {
    struct mntent ent;
    char line[kLineBuffer];
    while (::getmntent_r(stream, &ent, line, sizeof line)) {
        entries->push_back({{ent.mnt_fsname, ent.mnt_dir, ent.mnt_type, ent.mnt_opts,
                             std::to_string(ent.mnt_freq), std::to_string(ent.mnt_passno)}});
    }
}

}  // namespace kzvol
