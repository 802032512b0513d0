// kzvol restore --path: one file, link or directory tree of a backup point,
// restored straight from the point's file system without restoring the image.
#include <chrono>
#include <cstdio>
#include <string>

#include "backup/FileRestore.h"
#include "tools/Commands.h"

namespace kzvol::cli {
namespace {

// ", 3 files", ", 1 file"; nothing when `n` is 0 and `always` is false.
std::string Count(uint64_t n, const std::string& one, bool always = false,
                  const std::string& many = "") {
    if (n == 0 && !always)
        return "";
    return ", " + std::to_string(n) + " " + (n == 1 ? one : many.empty() ? one + "s" : many);
}

}  // namespace

int RestorePath(const backup::Repository& repo, const std::string& id, const std::string& path,
                const std::string& to) {
    const auto start = std::chrono::steady_clock::now();
    backup::PointFiles files(repo);
    std::string error;
    uint32_t inode = 0;
    if (!files.Open(id, &error) || !files.Find(path, &inode, &error))
        return Fail("cannot restore " + path + ": " + error);
    backup::RestoreCounts c;
    if (!backup::RestoreFiles(files, inode, to, &c, &error))
        return Fail("restore of " + path + " from backup " + id + " failed: " + error);
    const std::string what = Count(c.files, "file", true) +
                             Count(c.directories, "directory", false, "directories") +
                             Count(c.symlinks, "symbolic link") + Count(c.hardLinks, "hard link") +
                             Count(c.specials, "special file") +
                             Count(c.skipped, "device or socket", false, "devices or sockets") +
                             (c.skipped ? " left out" : "");
    std::printf(
        "restored %s of backup %s to %s: %s; %llu data bytes, %llu bytes of extents "
        "read, %.3f s\n",
        path.c_str(), id.c_str(), to.c_str(), what.substr(2).c_str(),
        static_cast<unsigned long long>(c.bytes),
        static_cast<unsigned long long>(files.point().BytesLoaded()),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}

}  // namespace kzvol::cli
