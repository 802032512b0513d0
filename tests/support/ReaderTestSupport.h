// Directory reader test support: memory device, row collector, images, debugfs oracle, fixture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include "rdfd/OptimizedExt3Parser.h"
#include "rdfd/RDFD.h"
#include "rdfd/ReadExt3DirFromDevice.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

// Bytes of a device held in memory. Reads past the end are short.
struct MemoryDevice {
    std::string bytes;
    unsigned long long reads = 0, failRead = 0;  // read number failRead (1-based) fails
    std::vector<std::pair<unsigned long long, unsigned int>> log;  // offset, size
    std::shared_ptr<std::mutex> hintsMutex = std::make_shared<std::mutex>();
    std::vector<std::pair<unsigned long long, unsigned long long>> hints;  // offset, length

    static unsigned int Read(void* context, char* buffer, unsigned int size,
                             unsigned long long offset) {
        auto& d = *static_cast<MemoryDevice*>(context);
        ++d.reads;
        d.log.emplace_back(offset, size);
        if ((d.failRead != 0 && d.reads == d.failRead) || offset >= d.bytes.size())
            return 0;
        const size_t n = std::min<size_t>(size, d.bytes.size() - offset);
        std::memcpy(buffer, d.bytes.data() + offset, n);
        return static_cast<unsigned int>(n);
    }
    static void TakeHint(void* context, unsigned long long offset, unsigned long long length) {
        auto& d = *static_cast<MemoryDevice*>(context);
        std::lock_guard<std::mutex> lock(*d.hintsMutex);
        d.hints.emplace_back(offset, length);
    }
    void Put(size_t offset, uint32_t value, int width = 4) {  // little-endian, `width` bytes
        std::memcpy(&bytes[offset], &value, width);
    }
    uint32_t Get32(size_t offset) const {
        uint32_t v;
        std::memcpy(&v, &bytes[offset], 4);
        return v;
    }
};

struct Row {
    unsigned long long parent = 0, inode = 0, size = 0;
    unsigned int mtime = 0;
    bool isDir = false;
    std::string name;
    auto Key() const { return std::tie(parent, inode, name, size, mtime, isDir); }
    bool operator==(const Row& o) const { return Key() == o.Key(); }
    bool operator<(const Row& o) const { return Key() < o.Key(); }
};
inline std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << "{" << row.parent << " " << row.inode << " " << row.size << " " << row.mtime
               << " " << (row.isDir ? "dir" : "file") << " '" << row.name << "'}";
}

// Collects every report; answers false from the report numbered `refuseAt` (1-based).
struct RowCollector {
    std::vector<Row> rows;
    size_t refuseAt = 0;
    static bool Add(void* context, unsigned long long parent, unsigned long long inode,
                    unsigned long long size, unsigned int mtime, bool isDir, char* name) {
        auto& c = *static_cast<RowCollector*>(context);
        c.rows.push_back(Row{parent, inode, size, mtime, isDir, name});
        return c.refuseAt == 0 || c.rows.size() < c.refuseAt;
    }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& r : rows)
            names.insert(r.name);
        return names;
    }
};

// Counts quit polls; raises the flag from poll number `quitAt` (1-based, 0: never).
struct QuitProbe {
    int polls = 0, quitAt = 0;
    static int Check(int, void* context, void* flag) {
        auto& p = *static_cast<QuitProbe*>(context);
        *static_cast<bool*>(flag) = ++p.polls >= p.quitAt && p.quitAt != 0;
        return 0;
    }
};

// Builds an `fsType` (ext2, ext3) image of `sizeKiB` KiB at `image` from the tree at `dir`.
void MakeImage(const std::string& dir, const std::string& image, const std::string& fsType,
               unsigned blockSize, unsigned sizeKiB, const std::string& extra = "");
// Every kind of object the reader reports or skips (links, FIFO, sparse 5 GiB file, long
// and dotted names, a chain 40 deep) at `root`, and `manyFiles` in many/.
void BuildTree(const std::string& root, int manyFiles);
// The rows the reader must report for `image` by debugfs (root, then depth first in on-disk
// order): directories, and regular files and symlinks with one link.
std::vector<Row> DebugfsRows(const std::string& image, const std::string& rootName);

// Byte offset of the header of the one directory entry named `name`; npos when absent.
size_t FindDirEntry(const std::string& bytes, const std::string& name);
// Byte offset of the inode of `path` in the image, and its number (from debugfs).
size_t InodeOffset(const std::string& image, const std::string& path);
unsigned InodeOf(const std::string& image, const std::string& path);

void RunOnSmallStack(const std::function<void()>& work);  // a 256 KiB stack; waits

inline std::vector<Row> Sorted(std::vector<Row> rows) {  // for comparing sets of rows
    std::sort(rows.begin(), rows.end());
    return rows;
}

// The text of the reader exception `run` throws; empty when it throws none.
template <class F>
std::string ErrorOf(F run) {
    try {
        run();
        return "";
    } catch (RDFDException* e) {
        return std::unique_ptr<RDFDException>(e)->GetErrorMsg();
    }
}

// A small ext2 image (1 KiB blocks) in a MemoryDevice; runs either entry point on "/".
class ReaderFixture : public ::testing::Test {
  protected:
    // d1/d2/loopme/, d1/in-d1, f.txt, link -> f.txt, `bigEntries` files in big/; 4 MiB
    // (one group) unless `extra` mke2fs options are given (then 32 MiB).
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
    // The text the entry point hands back when it fails; empty when it succeeds.
    std::string Refusal(bool optimized, RowCollector* rows = nullptr, std::string* fsType = nullptr,
                        bool* isSupported = nullptr);
    void ExpectBothFail(const std::string& text, std::string* fsType = nullptr,
                        bool* isSupported = nullptr) {
        EXPECT_EQ(Refusal(false), text);
        EXPECT_EQ(Refusal(true, nullptr, fsType, isSupported), text);
    }

    TestEnv env_;
    bool hinting_ = false;  // runs hand the entry points MemoryDevice::TakeHint
    RDFDException failure_{RDFD_EXC_APPLICATION, "untouched"};  // what the last run handed back
    TempDir tmp_;
    std::string image_;
    MemoryDevice device_;
};

}  // namespace kzvol::testing
