// Both walkers against debugfs on real images built with mke2fs -d: ext2 and ext3,
// 1 KiB and 4 KiB blocks, with hard links, symbolic links, a FIFO, a device node, a
// sparse file over 4 GiB, 255-byte names, a deep chain and directories large enough
// to need indirect blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "rdfd/RDFD.h"
#include "tests/rdfd/ReaderTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

void MakeDir(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
}

// A tree with every kind of object the reader reports or skips. `manyFiles` names of
// 24 bytes make the "many" directory span more than 12 blocks.
void BuildTree(const std::string& root, int manyFiles) {
    WriteText(root + "/a.txt", "hello\n");
    WriteText(root + "/empty", "");
    WriteText(root + "/h1", "linked twice\n");
    ASSERT_EQ(::link((root + "/h1").c_str(), (root + "/h2").c_str()), 0);
    ASSERT_EQ(::symlink("a.txt", (root + "/short-link").c_str()), 0);
    ASSERT_EQ(::symlink(std::string(100, 't').c_str(), (root + "/long-link").c_str()), 0);
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(::truncate((WriteText(root + "/big", ""), root + "/big").c_str(), 5LL << 30), 0);
    WriteText(root + "/" + std::string(255, 'f'), "long name\n");
    const std::string longDir = root + "/" + std::string(255, 'd');
    MakeDir(longDir);
    WriteText(longDir + "/inside", "x");
    MakeDir(root + "/emptydir");
    std::string chain = root;
    for (int i = 0; i < 40; ++i) {
        chain += "/level" + std::to_string(i);
        MakeDir(chain);
    }
    WriteText(chain + "/bottom", "deep\n");
    MakeDir(root + "/many");
    for (int i = 0; i < manyFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "file-with-long-name-%04d", i);
        WriteText(root + "/many/" + name, std::to_string(i));
    }
}

struct ImageCase {
    const char* fsType;
    unsigned blockSize;
    int manyFiles;
    bool hashed;  // directories indexed afterwards by e2fsck -fyD
};

// One image per case, built on first use and kept for the other tests of the case.
struct BuiltImage {
    TempDir dir;
    std::string path;
    std::string bytes;
    std::vector<Row> expected;
};

class WalkerOracleTest : public ::testing::TestWithParam<ImageCase> {
  public:
    static std::string Name(const ImageCase& c) {
        return std::string(c.fsType) + "_" + std::to_string(c.blockSize) +
               (c.hashed ? "_hashed" : "");
    }

  protected:
    void SetUp() override {
        static std::map<std::string, std::unique_ptr<BuiltImage>> built;
        const ImageCase c = GetParam();
        auto& image = built[Name(c)];
        if (!image) {
            auto fresh = std::make_unique<BuiltImage>();
            Build(c, fresh.get());
            if (HasFatalFailure())
                return;
            image = std::move(fresh);
        }
        image_ = image->path;
        device_.bytes = image->bytes;
        expected_ = image->expected;
    }

    static void Build(const ImageCase& c, BuiltImage* image) {
        const std::string tree = image->dir.File("tree");
        MakeDir(tree);
        BuildTree(tree, c.manyFiles);
        image->path = image->dir.File("image");
        MakeImage(tree, image->path, c.fsType, c.blockSize, 16384);
        // A device node, which mke2fs -d copies only for root.
        std::string output;
        ASSERT_EQ(
            RunCommandLine("debugfs -w -R 'mknod chardev c 1 3' " + image->path + " 2>&1", &output),
            0)
            << output;
        if (c.hashed) {
            // Exit status 1: the file system was changed (directories indexed).
            ASSERT_EQ(
                RunCommandLine("e2fsck -fyD " + image->path + " >/dev/null 2>&1; test $? -le 1"),
                0);
            std::string htree;
            RunCommandLine("debugfs -R 'htree /many' " + image->path + " 2>&1", &htree);
            ASSERT_NE(htree.find("Root node dump"), std::string::npos) << htree;
        }
        image->bytes = LoadFile(image->path);
        image->expected = DebugfsRows(image->path, "/");
    }

    bool RunImgPod(RowCollector* rows, bool namesOnly = false, const char* dump = nullptr) {
        char root[] = "/", fsType[] = "ext3", platform[] = "linux";
        return RDFDInterfaceForImgPod(root, MemoryDevice::Read, &device_, RowCollector::Add, rows,
                                      const_cast<char*>(dump), fsType, platform, 2097152, 0, 0,
                                      namesOnly, nullptr, nullptr);
    }
    bool RunVirtualPod(RowCollector* rows, std::string* fsType) {
        char root[] = "/";
        bool supported = true;
        const bool ok = RDFDInterfaceForVirtualPod(
            root, MemoryDevice::Read, &device_, RowCollector::Add, rows, nullptr, fsType, nullptr,
            2097152, nullptr, nullptr, &supported, nullptr, 0, nullptr);
        EXPECT_TRUE(supported);
        return ok;
    }

    TestEnv env_;
    TempDir tmp_;
    std::string image_;
    MemoryDevice device_;
    std::vector<Row> expected_;
};

TEST_P(WalkerOracleTest, DepthFirstWalkReportsWhatDebugfsListsInTheSameOrder) {
    RowCollector rows;
    ASSERT_TRUE(RunImgPod(&rows));
    EXPECT_EQ(rows.rows, expected_);

    // The cases the image was built for are really in it.
    std::set<std::string> names;
    for (const auto& r : rows.rows)
        names.insert(r.name);
    EXPECT_EQ(names.count("h1") + names.count("h2") + names.count("fifo") + names.count("chardev"),
              0u);
    EXPECT_TRUE(names.count("short-link") && names.count("long-link"));
    EXPECT_TRUE(names.count(std::string(255, 'f')) && names.count(std::string(255, 'd')));
    for (const auto& r : rows.rows) {
        if (r.name == "big") {
            EXPECT_EQ(r.size, 5ULL << 30);
        }
        if (r.name == "long-link") {
            EXPECT_EQ(r.size, 100u);
        }
    }
    ASSERT_FALSE(rows.rows.empty());
    EXPECT_EQ(rows.rows.front(),
              (Row{0, 2, rows.rows.front().size, rows.rows.front().mtime, true, "/"}));
}

TEST_P(WalkerOracleTest, OptimizedWalkReportsTheSameRowsEachAfterItsParent) {
    RowCollector rows;
    std::string fsType;
    ASSERT_TRUE(RunVirtualPod(&rows, &fsType));
    EXPECT_EQ(fsType, "ext3");
    EXPECT_EQ(Sorted(rows.rows), Sorted(expected_));
    std::set<unsigned long long> seenDirs{0};
    for (const auto& r : rows.rows) {
        EXPECT_TRUE(seenDirs.count(r.parent)) << r;
        if (r.isDir)
            seenDirs.insert(r.inode);
    }
    // Few files: every file is reported at the final flush, after every directory,
    // in ascending inode order; the root's sub-directories are walked in ascending
    // inode order too.
    bool fileSeen = false;
    unsigned long long lastFile = 0, lastRootChild = 0;
    for (const auto& r : rows.rows) {
        if (!r.isDir) {
            fileSeen = true;
            EXPECT_GT(r.inode, lastFile) << r;
            lastFile = r.inode;
        }
        EXPECT_FALSE(fileSeen && r.isDir) << r;
        if (r.isDir && r.parent == 2) {
            EXPECT_GT(r.inode, lastRootChild) << r;
            lastRootChild = r.inode;
        }
    }
}

TEST_P(WalkerOracleTest, NamesOnlyLeavesFileSizeAndTimeOutButNotDirectories) {
    RowCollector rows;
    ASSERT_TRUE(RunImgPod(&rows, true));
    // Names only: files are reported without reading their inodes, so files with
    // several links are reported too.
    std::vector<Row> expected;
    for (const auto& r : expected_) {
        Row e = r;
        if (!e.isDir)
            e.size = e.mtime = 0;
        expected.push_back(e);
    }
    std::vector<Row> files;
    for (const auto& r : rows.rows) {
        if (!r.isDir) {
            EXPECT_EQ(r.size + r.mtime, 0u) << r;
        }
        if (r.name != "h1" && r.name != "h2")
            files.push_back(r);
    }
    EXPECT_EQ(files, expected);
}

TEST_P(WalkerOracleTest, InformationFileMatchesTheGeometryDebugfsReports) {
    const std::string dump = tmp_.File("volinfo");
    RowCollector rows;
    ASSERT_TRUE(RunImgPod(&rows, false, dump.c_str()));
    std::string stats;
    RunCommandLine("debugfs -R stats " + image_ + " 2>/dev/null", &stats);
    auto statValue = [&](const std::string& key) {
        const size_t at = stats.find(key + ":");
        return at == std::string::npos
                   ? std::string("?")
                   : std::to_string(std::stoull(stats.substr(at + key.size() + 1)));
    };
    std::string expected = "extentsize=2097152 \n";
    std::string tables;
    int groups = 0;
    for (size_t at = stats.find("inode table at "); at != std::string::npos;
         at = stats.find("inode table at ", at + 1)) {
        tables += "itableblock=" + std::to_string(std::stoul(stats.substr(at + 15))) + " \n";
        ++groups;
    }
    const unsigned bs = GetParam().blockSize;
    const unsigned isize = static_cast<unsigned>(std::stoul(statValue("Inode size")));
    const unsigned dpb = bs / 32;
    expected += "gdc=" + std::to_string(groups) + " \n" + tables + "extentsize=2097152 \n" +
                "blocksize=" + std::to_string(bs) + " \n" + "fragsize=" + (bs == 1024 ? "0" : "2") +
                " \n" + "blockcount=" + statValue("Block count") + " \n" +
                "firstdatablock=" + statValue("First block") + " \n" +
                "bpg=" + statValue("Blocks per group") + " \n" +
                "ipg=" + statValue("Inodes per group") + " \n" + "isize=" + std::to_string(isize) +
                " \n" + "ipb=" + std::to_string(bs / isize) + " \n" + "dpb=" + std::to_string(dpb) +
                " \n" + "descblock=" + std::to_string((dpb + groups - 1) / dpb) + " \n" +
                "firstinode=" + statValue("First inode") + " \n" +
                "icount=" + statValue("Inode count") + " \n" + "aclenabled=0 \n" +
                "selinuxlabels=0 \n" + "fstype=ext3\n";
    EXPECT_EQ(ReadFile(dump), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Images, WalkerOracleTest,
    ::testing::Values(ImageCase{"ext3", 1024, 600, false}, ImageCase{"ext2", 1024, 600, false},
                      ImageCase{"ext3", 4096, 2200, false}, ImageCase{"ext2", 4096, 2200, false},
                      ImageCase{"ext3", 1024, 600, true}, ImageCase{"ext3", 4096, 2200, true}),
    [](const ::testing::TestParamInfo<ImageCase>& p) { return WalkerOracleTest::Name(p.param); });

}  // namespace
}  // namespace kzvol::testing
