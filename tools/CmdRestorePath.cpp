// kzvol restore --path: one file, link or directory tree of a backup point,
// restored straight from the point's file system without restoring the image.
#include <chrono>
#include <cstdio>

#include "tools/Commands.h"
#include "tools/backup/FileRestore.h"

namespace kzvol::cli {

int RestorePath(const backup::Repository& repo, const std::string& id, const std::string& path,
                const std::string& to) {
    const auto start = std::chrono::steady_clock::now();
    backup::PointFiles files(repo);
    std::string error;
    uint32_t inode = 0;
    if (!files.Open(id, &error) || !files.Find(path, &inode, &error))
        return Fail("cannot restore " + path + ": " + error);
    backup::RestoreCounts counts;
    if (!backup::RestoreFiles(files, inode, to, &counts, &error))
        return Fail("restore of " + path + " from backup " + id + " failed: " + error);
    std::printf(
        "restored %s of backup %s to %s: %llu files, %llu directories, %llu symbolic links, "
        "%llu hard links, %llu special files (%llu skipped), %llu data bytes, %llu bytes of "
        "extents read, %.3f s\n",
        path.c_str(), id.c_str(), to.c_str(), static_cast<unsigned long long>(counts.files),
        static_cast<unsigned long long>(counts.directories),
        static_cast<unsigned long long>(counts.symlinks),
        static_cast<unsigned long long>(counts.hardLinks),
        static_cast<unsigned long long>(counts.specials),
        static_cast<unsigned long long>(counts.skipped),
        static_cast<unsigned long long>(counts.bytes),
        static_cast<unsigned long long>(files.point().BytesLoaded()),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}

}  // namespace kzvol::cli
