// How each entry point builds its reader: the cache geometries (seen in the sizes of
// the device reads), the flags it hands on, what it leaves for its caller.
#include <gtest/gtest.h>

#include <set>

#include "tests/rdfd/ReaderFixture.h"

namespace kzvol::testing {
namespace {

class EntryPointTest : public ReaderFixture {
  protected:
    std::set<unsigned int> ReadSizes() const {
        std::set<unsigned int> sizes;
        for (const auto& [offset, size] : device_.log)
            sizes.insert(size);
        return sizes;
    }
};

TEST_F(EntryPointTest, CacheGeometriesShowInTheReadSizes) {
    BuildImage("ext3", 400);
    device_.keepLog = true;
    RowCollector rows;
    ASSERT_TRUE(RunImgPod(&rows));
    // Superblock, descriptor table, then whole 8 KiB buffers of the 512-buffer cache.
    EXPECT_EQ(ReadSizes(), (std::set<unsigned int>{1024, 8192}));
    EXPECT_EQ(env_.CountLogs("Stats ==> ", "BufferCache :: ~BufferCache"), 1);

    device_.log.clear();
    ASSERT_TRUE(RunVirtualPod(&rows));
    // Inodes in 64 KiB buffers, directory and indirect blocks in 32 KiB ones.
    EXPECT_EQ(ReadSizes(), (std::set<unsigned int>{1024, 32768, 65536}));
    EXPECT_EQ(env_.CountLogs("Stats ==> ", "BufferCache :: ~BufferCache"), 3);
}

TEST_F(EntryPointTest, ImgPodHandsOnItsFlagsAndNamesOnly) {
    BuildImage();
    const std::string dump = tmp_.File("volinfo");
    char root[] = "root", ext3[] = "ext3", platform[] = "linux";
    RowCollector rows;
    ASSERT_TRUE(RDFDInterfaceForImgPod(root, MemoryDevice::Read, &device_, RowCollector::Add, &rows,
                                       const_cast<char*>(dump.c_str()), ext3, platform, 4096, 1, 1,
                                       true, nullptr, nullptr));
    const std::string info = ReadFile(dump);
    EXPECT_EQ(info.rfind("extentsize=4096 \n", 0), 0u);
    EXPECT_NE(info.find("aclenabled=1 \nselinuxlabels=1 \nfstype=ext3\n"), std::string::npos);
    ASSERT_FALSE(rows.rows.empty());
    EXPECT_EQ(rows.rows.front().name, "root");
    for (const auto& r : rows.rows) {
        if (!r.isDir) {
            EXPECT_EQ(r.size + r.mtime, 0u) << r;
        }
    }
}

TEST_F(EntryPointTest, VirtualPodLeavesExt3AndWritesTheInformationFile) {
    BuildImage();
    const std::string dump = tmp_.File("volinfo");
    char root[] = "/";
    std::string fsType;
    bool supported = true;
    RowCollector rows;
    ASSERT_TRUE(RDFDInterfaceForVirtualPod(root, MemoryDevice::Read, &device_, RowCollector::Add,
                                           &rows, const_cast<char*>(dump.c_str()), &fsType, nullptr,
                                           65536, nullptr, nullptr, &supported, nullptr, 0,
                                           nullptr));
    EXPECT_EQ(fsType, "ext3");
    EXPECT_TRUE(supported);
    EXPECT_NE(ReadFile(dump).find("extentsize=65536 \n"), std::string::npos);
    EXPECT_NE(ReadFile(dump).find("aclenabled=0 \nselinuxlabels=0 \n"), std::string::npos);
}

// A filter list names sub-directories by their short name; a named directory is
// neither reported nor walked, whichever walker runs.
TEST_F(EntryPointTest, FilterListSkipsDirectoriesByExactName) {
    BuildImage();
    std::list<std::string> filter{"d2", "d"};
    char root[] = "/";
    auto walk = [&](ReadExt3DirFromDevice& reader) {
        reader.ValidateFileSystem(nullptr, nullptr, nullptr);
        RowCollector rows;
        EXPECT_EQ(reader.GetInodeAnameMapping(RowCollector::Add, &rows, root, 2), 0);
        std::set<std::string> names;
        for (const auto& r : rows.rows)
            names.insert(r.name);
        return names;
    };
    ReadExt3DirFromDevice depthFirst(MemoryDevice::Read, &device_, nullptr, 0, nullptr, 0, false,
                                     4194304, 512, &filter);
    OptimizedExt3Parser optimized(MemoryDevice::Read, &device_, nullptr, 0, nullptr, 0, false,
                                  131072, 2, &filter);
    for (const auto& names : {walk(depthFirst), walk(optimized)}) {
        EXPECT_TRUE(names.count("d1") && names.count("in-d1") && names.count("f.txt"));
        EXPECT_FALSE(names.count("d2") || names.count("loopme"));
    }
}

}  // namespace
}  // namespace kzvol::testing
