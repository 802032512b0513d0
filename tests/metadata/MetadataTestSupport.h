// Shared by the metadata collection tests: file-index table rows as a table holds
// them, as lstat sees a tree and as debugfs sees an image; one collection call; a
// registry file installed for the life of a test.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "fstree/UnixFsTreeReader.h"
#include "tests/support/ReaderTestSupport.h"
#include "volume/KZVolume.h"

namespace kzvol::fstree {
inline void PrintTo(const Row& r, std::ostream* out) {
    *out << "{" << r.parent << " " << r.inode << " " << r.size << " " << r.mtime << " "
         << int{r.type} << " '" << r.name << "'}";
}
}  // namespace kzvol::fstree

namespace kzvol::testing {

// Every row of the table at `table`, in table order.
std::vector<FsTreeRow> TableRows(const std::string& table);
// The rows a walk of `dir` must add, as lstat sees them, sorted: `dir` itself (parent
// 0, `rootName`), every directory, and every other entry with one link.
std::vector<FsTreeRow> ExpectedTreeRows(const std::string& dir, const std::string& rootName);
// DebugfsRows of `image` as table rows, in the same order.
std::vector<FsTreeRow> DebugfsTableRows(const std::string& image, const std::string& rootName);
// Collects the volume mounted on `mnt` into `table` and `info` (root "ROOT", 1 MiB extents).
bool Collect(KZVolumeUnix& volume, const std::string& mnt, const std::string& info,
             const std::string& table);
// `rows` sorted by (parent, name, inode).
std::vector<FsTreeRow> SortedRows(std::vector<FsTreeRow> rows);
// Expects `rows` in an order where every row's parent comes first, and, sorted, `expected`.
void ExpectWalked(const std::vector<FsTreeRow>& rows, const std::vector<FsTreeRow>& expected);

// Quits from its `quitAt`-th poll on.
struct QuitAt : KZJobCtrlClient {
    explicit QuitAt(int quitAt) : quitAt(quitAt) {}
    bool checkQuitFlag() override { return ++polls >= quitAt; }
    int quitAt, polls = 0;
};

// Points KZVOL_CONFIG at a file holding `text` until the end of the scope.
struct ScopedRegistry {
    ScopedRegistry(const std::string& path, const std::string& text);
    ~ScopedRegistry();
};

}  // namespace kzvol::testing
