// Driver of bench/metadata_bench.sh: walks a mounted tree into a new file-index
// table with DumpFileListToCTree, as metadata collection does, and prints the
// seconds of the walk and of the table's Close (which builds the index).
//
//   metadata_walk MOUNTPOINT TABLE
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>

#include "fstree/UnixFsTreeReader.h"
#include "host/CCreateUNIXFSTree.h"
#include "metadata/DirectoryWalk.h"

namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: metadata_walk MOUNTPOINT TABLE\n");
        return 2;
    }
    static long long handle = 0;
    CCreateUNIXFSTree table;
    struct stat root {};
    if (table.Init(&handle) != 0 || table.Open(argv[2]) != 0 || ::stat(argv[1], &root) != 0 ||
        table.Add(0, root.st_ino, root.st_size, static_cast<unsigned int>(root.st_mtime), 1, "/") !=
            0) {
        std::fprintf(stderr, "metadata_walk: cannot start the table or stat %s\n", argv[1]);
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool walked =
        DumpFileListToCTree(::opendir(argv[1]), argv[1], root.st_ino, &table, nullptr);
    const double walk = Since(start);
    const auto closing = std::chrono::steady_clock::now();
    const int rc = table.Close();
    const double close = Since(closing);
    kzvol::UnixFsTreeReader reader;
    std::string error;
    const bool counted = rc == 0 && reader.Open(argv[2], &error);
    std::printf("walk=%.4f close=%.4f rows=%llu\n", walk, close,
                counted ? static_cast<unsigned long long>(reader.RowCount()) : 0ull);
    return walked && rc == 0 ? 0 : 1;
}
