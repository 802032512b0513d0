// Test support for the directory reader: an in-memory device behind the read
// callback (with counters and injectable failures), a mapping callback that collects
// rows, ext2/ext3 images built with mke2fs -d from a tree, the rows debugfs says the
// reader must report for an image, and a fixture running either entry point on a
// small image.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "rdfd/BufferCache.h"
#include "rdfd/OptimizedExt3Parser.h"
#include "rdfd/RDFD.h"
#include "rdfd/ReadExt3DirFromDevice.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

// Bytes of a device held in memory. Reads past the end are short.
struct MemoryDevice {
    std::string bytes;
    unsigned long long reads = 0;
    // When non-zero, the read with this 1-based number fails (returns 0).
    unsigned long long failRead = 0;
    std::vector<std::pair<unsigned long long, unsigned int>> log;  // offset, size
    bool keepLog = false;
    // Read-ahead hints taken (from the reader's hint thread).
    std::shared_ptr<std::mutex> hintsMutex = std::make_shared<std::mutex>();
    std::vector<std::pair<unsigned long long, unsigned long long>> hints;  // offset, length

    static unsigned int Read(void* context, char* buffer, unsigned int size,
                             unsigned long long offset);
    static void TakeHint(void* context, unsigned long long offset, unsigned long long length);
    // Stores `value` little-endian in `width` bytes.
    void Put(size_t offset, uint32_t value, int width = 4);
    uint32_t Get32(size_t offset) const;
};

struct Row {
    unsigned long long parent = 0, inode = 0, size = 0;
    unsigned int mtime = 0;
    bool isDir = false;
    std::string name;
    bool operator==(const Row& o) const;
    bool operator<(const Row& o) const;
};
std::ostream& operator<<(std::ostream& out, const Row& row);

// Collects every report; answers false from the report numbered `refuseAt` (1-based).
struct RowCollector {
    std::vector<Row> rows;
    size_t refuseAt = 0;
    static bool Add(void* context, unsigned long long parent, unsigned long long inode,
                    unsigned long long size, unsigned int mtime, bool isDir, char* name);
    std::set<std::string> Names() const;
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
// Builds at `root` a tree with every kind of object the reader reports or skips (hard
// links, symbolic links, a FIFO, a sparse 5 GiB file, 255-byte names, names that
// begin with dots, a chain 40 deep) and `manyFiles` files with 24-byte names in many/, which then spans over 12
// blocks.
void BuildTree(const std::string& root, int manyFiles);

// The rows the reader must report for `image` (root first, then depth first in
// on-disk order), as debugfs reads the image: directories always, regular files
// and symbolic links with one link, nothing else.
std::vector<Row> DebugfsRows(const std::string& image, const std::string& rootName);

// Byte offset of the directory entry named `name` in an image (its header), found
// by its name bytes; the name must occur once. npos when absent.
size_t FindDirEntry(const std::string& bytes, const std::string& name);
// Byte offset of the inode of `path` in the image, as debugfs places it.
size_t InodeOffset(const std::string& image, const std::string& path);
// Inode number of `path` inside the image, as debugfs resolves it.
unsigned InodeOf(const std::string& image, const std::string& path);

// Runs `work` on a thread of its own with a 256 KiB stack and waits for it.
void RunOnSmallStack(const std::function<void()>& work);

// The rows in a fixed order, for comparing sets of rows.
std::vector<Row> Sorted(std::vector<Row> rows);

// The text of the reader exception `run` throws; empty when it throws none.
template <class F>
std::string ErrorOf(F run) {
    try {
        run();
        return "";
    } catch (RDFDException* e) {
        const std::string text = e->GetErrorMsg();
        delete e;
        return text;
    }
}

// A small ext2 image (1 KiB blocks) with a known tree, loaded into a MemoryDevice,
// and shorthands to run either entry point on it with root "/".
class ReaderFixture : public ::testing::Test {
  protected:
    // Tree: d1/d2/loopme/, d1/in-d1, f.txt, link (to f.txt), and `bigEntries` files
    // in big/; 4 MiB (one group) unless `extra` mke2fs options say otherwise.
    void BuildImage(const std::string& fsType = "ext2", int bigEntries = 0,
                    const std::string& extra = "");
    bool RunImgPod(RowCollector* rows, const char* fsTypeName = "ext3",
                   const char* platform = "linux", QuitProbe* quit = nullptr,
                   bool namesOnly = false, const char* dump = nullptr);
    bool RunVirtualPod(RowCollector* rows, std::string* fsType = nullptr,
                       bool* isSupported = nullptr, QuitProbe* quit = nullptr);
    bool Run(bool optimized, RowCollector* rows) {
        return optimized ? RunVirtualPod(rows) : RunImgPod(rows);
    }
    // The text either entry point hands back when it fails; empty when it succeeds.
    std::string Refusal(bool optimized, RowCollector* rows = nullptr);
    // Both entry points fail on the image, each handing back `text`.
    void ExpectBothFail(const std::string& text, std::string* fsType = nullptr,
                        bool* isSupported = nullptr);

    TestEnv env_;
    bool hinting_ = false;  // runs hand the entry points MemoryDevice::TakeHint
    RDFDException failure_{RDFD_EXC_APPLICATION, "untouched"};  // what the last run handed back
    TempDir tmp_;
    std::string image_;
    MemoryDevice device_;
};

}  // namespace kzvol::testing
