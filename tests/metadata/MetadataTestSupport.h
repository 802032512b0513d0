// Shared by the metadata collection tests: the rows of a file-index table, the rows
// a mounted tree must give (as lstat sees it) or an image holds (as debugfs sees
// it), one collection call, and a registry file installed for the life of a test.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "fstree/UnixFsTreeReader.h"
#include "tests/support/ReaderTestSupport.h"
#include "volume/KZVolume.h"

namespace kzvol::fstree {
// Rows in test failure messages.
inline void PrintTo(const Row& r, std::ostream* out) {
    *out << "{" << r.parent << " " << r.inode << " " << r.size << " " << r.mtime << " "
         << int{r.type} << " '" << r.name << "'}";
}
}  // namespace kzvol::fstree

namespace kzvol::testing {

// Every row of the table at `table`, in table order; a test failure when it
// cannot be read.
std::vector<FsTreeRow> TableRows(const std::string& table);

// The rows a walk of `dir` must add: `dir` itself with parent 0 and `rootName`,
// then every directory, and every other entry with one link, as lstat reports
// them. Sorted by (parent, name).
std::vector<FsTreeRow> ExpectedTreeRows(const std::string& dir, const std::string& rootName);

// DebugfsRows of `image` as table rows, in the same order.
std::vector<FsTreeRow> DebugfsTableRows(const std::string& image, const std::string& rootName);

// Collects the metadata of the volume mounted on `mnt` into `table` and `info`,
// with the root named "ROOT" and 1 MiB extents.
bool Collect(KZVolumeUnix& volume, const std::string& mnt, const std::string& info,
             const std::string& table);

// `rows` sorted by (parent, name, inode).
std::vector<FsTreeRow> SortedRows(std::vector<FsTreeRow> rows);

// True when every row's parent row comes before it (the root's parent is 0).
bool ParentsComeFirst(const std::vector<FsTreeRow>& rows);

// Points KZVOL_CONFIG at a file holding `text` until the end of the scope.
class ScopedRegistry {
  public:
    ScopedRegistry(const std::string& path, const std::string& text);
    ~ScopedRegistry();
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;
};

}  // namespace kzvol::testing
