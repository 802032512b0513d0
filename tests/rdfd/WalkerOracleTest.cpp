// Both walkers against debugfs, on every geometry and feature set the reader meets.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/support/ReaderTestSupport.h"

namespace kzvol::testing {
namespace {

struct ImageCase {
    const char* name;
    const char* fsType;
    unsigned blockSize;
    bool hashed;               // directories indexed afterwards by e2fsck -fyD
    const char* options = "";  // for mke2fs
};

class WalkerOracleTest : public ReaderFixture, public ::testing::WithParamInterface<ImageCase> {
  protected:
    void SetUp() override {
        const ImageCase& c = GetParam();
        const std::string tree = tmp_.File("tree");
        BuildTree(tree, c.blockSize == 1024 ? 600 : 2200);  // many/ needs indirect blocks
        image_ = tmp_.File("image");
        MakeImage(tree, image_, c.fsType, c.blockSize, 16384, c.options);
        // A device node, which mke2fs -d copies only for root; e2fsck -fyD exits 1 on indexing.
        const std::string index =
            " && { e2fsck -fyD " + image_ + " >/dev/null 2>&1; test $? -le 1; }";
        ASSERT_EQ(RunCommandLine("debugfs -w -R 'mknod chardev c 1 3' " + image_ +
                                 " >/dev/null 2>&1" + (c.hashed ? index : "")),
                  0);
        std::string htree;
        RunCommandLine("debugfs -R 'htree /many' " + image_ + " 2>&1", &htree);
        ASSERT_TRUE(!c.hashed || htree.find("Root node dump") != std::string::npos) << htree;
        device_.bytes = ReadFile(image_);
        expected_ = DebugfsRows(image_, "/");
    }
    std::vector<Row> expected_;
};

// Depth first in debugfs order (names only: no file sizes or times, hard links listed);
// optimized: each row after its parent, files last, files and root's subdirectories by inode.
TEST_P(WalkerOracleTest, BothWalkersReportWhatDebugfsLists) {
    const std::string dump = tmp_.File("volinfo");
    RowCollector rows, names, optimized, hinted;
    std::string fsType;
    bool supported = true;  // left alone on success
    for (bool hinting : {true, false}) {
        hinting_ = hinting;
        rows.rows.clear();
        ASSERT_TRUE(RunImgPod(&rows, "ext3", "linux", nullptr, false, dump.c_str()));
        EXPECT_EQ(rows.rows, expected_) << hinting;
        ASSERT_TRUE(RunVirtualPod(hinting ? &hinted : &optimized, &fsType, &supported));
    }
    // The information file against the geometry debugfs reports.
    std::string stats, tables;
    RunCommandLine("debugfs -R stats " + image_ + " 2>/dev/null", &stats);
    const auto stat = [&](const std::string& key) {
        return std::stoull(stats.substr(stats.find(key + ":") + key.size() + 1));
    };
    const auto line = [](const char* key, unsigned long long value) {
        return std::string(key) + "=" + std::to_string(value) + " \n";
    };
    unsigned long long groups = 0;
    for (size_t at = stats.find("inode table at "); at != std::string::npos;
         at = stats.find("inode table at ", at + 1), ++groups)
        tables += line("itableblock", std::stoul(stats.substr(at + 15)));
    const unsigned long long bs = GetParam().blockSize, dpb = bs / 32;
    const std::string info =
        line("extentsize", 2097152) + line("gdc", groups) + tables + line("extentsize", 2097152) +
        line("blocksize", bs) + line("fragsize", bs == 1024 ? 0 : 2) +
        line("blockcount", stat("Block count")) + line("firstdatablock", stat("First block")) +
        line("bpg", stat("Blocks per group")) + line("ipg", stat("Inodes per group")) +
        line("isize", stat("Inode size")) + line("ipb", bs / std::max(1ULL, stat("Inode size"))) +
        line("dpb", dpb) + line("descblock", (dpb + groups - 1) / dpb) +
        line("firstinode", stat("First inode")) + line("icount", stat("Inode count")) +
        "aclenabled=0 \nselinuxlabels=0 \nfstype=ext3\n";
    EXPECT_EQ(ReadFile(dump), info);
    std::map<std::string, unsigned long long> sizes;  // the cases the image was built for
    for (const auto& r : rows.rows)
        sizes[r.name] = r.size;
    EXPECT_EQ(sizes.count("h1") + sizes.count("h2") + sizes.count("fifo") + sizes.count("chardev"),
              0u);
    EXPECT_TRUE(sizes.count("short-link") && sizes.count(std::string(255, 'f')) &&
                sizes.count(std::string(255, 'd')) && sizes["big"] == 5ULL << 30 &&
                sizes["long-link"] == 100);

    ASSERT_TRUE(RunImgPod(&names, "ext3", "linux", nullptr, true));
    std::vector<Row> expected = expected_;
    for (Row& r : expected)
        if (!r.isDir)
            r.size = r.mtime = 0;
    names.rows.erase(std::remove_if(names.rows.begin(), names.rows.end(),
                                    [](const Row& r) { return r.name == "h1" || r.name == "h2"; }),
                     names.rows.end());
    EXPECT_EQ(names.rows, expected);

    EXPECT_EQ(optimized.rows, hinted.rows);
    EXPECT_TRUE(fsType == "ext3" && supported);
    EXPECT_EQ(Sorted(optimized.rows), Sorted(expected_));
    EXPECT_TRUE(std::is_partitioned(optimized.rows.begin(), optimized.rows.end(),
                                    [](const Row& r) { return r.isDir; }));
    std::set<unsigned long long> seenDirs{0};
    unsigned long long lastFile = 0, lastRootChild = 0;
    for (const auto& r : optimized.rows) {
        EXPECT_TRUE(seenDirs.count(r.parent)) << r;
        if (r.isDir)
            seenDirs.insert(r.inode);
        unsigned long long& last = r.isDir ? lastRootChild : lastFile;
        if (!r.isDir || r.parent == 2) {
            EXPECT_GT(r.inode, last) << r;
            last = r.inode;
        }
    }
}

const ImageCase kImages[] = {{"ext3_1024", "ext3", 1024, false},
                             {"ext2_1024", "ext2", 1024, false},
                             {"ext3_4096", "ext3", 4096, false},
                             {"ext2_4096", "ext2", 4096, false},
                             {"ext3_1024_hashed", "ext3", 1024, true},
                             {"ext3_4096_hashed", "ext3", 4096, true},
                             {"ext2_1024_nofiletype", "ext2", 1024, false, "-O ^filetype"},
                             {"ext3_4096_nofiletype", "ext3", 4096, false, "-O ^filetype"},
                             {"ext3_1024_uninit_bg", "ext3", 1024, false, "-O uninit_bg"}};
INSTANTIATE_TEST_SUITE_P(Images, WalkerOracleTest, ::testing::ValuesIn(kImages),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kzvol::testing
