// Test support for the directory reader: an in-memory device behind the read
// callback (with counters and injectable failures), a mapping callback that collects
// rows, ext2/ext3 images built with mke2fs -d from a tree, and the rows debugfs says
// the reader must report for an image.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kzvol::testing {

// Bytes of a device held in memory. Reads past the end are short.
struct MemoryDevice {
    std::string bytes;
    unsigned long long reads = 0;
    unsigned long long bytesRead = 0;
    // When non-zero, the read with this 1-based number fails (returns 0).
    unsigned long long failRead = 0;
    std::vector<std::pair<unsigned long long, unsigned int>> log;  // offset, size
    bool keepLog = false;

    static unsigned int Read(void* context, char* buffer, unsigned int size,
                             unsigned long long offset);
    void Put32(size_t offset, uint32_t value);
    void Put16(size_t offset, uint16_t value);
    uint32_t Get32(size_t offset) const;
};

struct Row {
    unsigned long long parent = 0, inode = 0, size = 0;
    unsigned int mtime = 0;
    bool isDir = false;
    std::string name;
    bool operator==(const Row& o) const {
        return parent == o.parent && inode == o.inode && size == o.size && mtime == o.mtime &&
               isDir == o.isDir && name == o.name;
    }
    bool operator<(const Row& o) const;
};
std::ostream& operator<<(std::ostream& out, const Row& row);

// Collects every report; answers false from the report numbered `refuseAt` (1-based).
struct RowCollector {
    std::vector<Row> rows;
    size_t refuseAt = 0;
    static bool Add(void* context, unsigned long long parent, unsigned long long inode,
                    unsigned long long size, unsigned int mtime, bool isDir, char* name);
};

// Counts quit polls; raises the flag from poll number `quitAt` (1-based, 0: never).
struct QuitProbe {
    int polls = 0;
    int quitAt = 0;
    static int Check(int argument, void* context, void* flag);
};

// Builds an image of `sizeKiB` KiB at `image` from the tree at `dir`.
// `fsType` is "ext2" or "ext3"; extra mke2fs options may be given.
void MakeImage(const std::string& dir, const std::string& image, const std::string& fsType,
               unsigned blockSize, unsigned sizeKiB, const std::string& extra = "");
std::string LoadFile(const std::string& path);

// The rows the reader must report for `image` (root first, then depth first in
// on-disk order), as debugfs reads the image: directories always, regular files
// and symbolic links with one link, nothing else.
std::vector<Row> DebugfsRows(const std::string& image, const std::string& rootName);

// Byte offset of the directory entry named `name` in an image (its header), found
// by its name bytes; the name must occur once. npos when absent.
size_t FindDirEntry(const std::string& bytes, const std::string& name);
// Byte offset of inode `inode` in the image, as debugfs places it.
size_t InodeOffset(const std::string& image, unsigned inode);
// Inode number of `path` inside the image, as debugfs resolves it.
unsigned InodeOf(const std::string& image, const std::string& path);

// The rows in a fixed order, for comparing sets of rows.
std::vector<Row> Sorted(std::vector<Row> rows);

}  // namespace kzvol::testing
