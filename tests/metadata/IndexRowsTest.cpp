// The mounted-tree walk into the file-index table, on a tree in a temporary
// directory, against what lstat says about the same tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "host/CCreateUNIXFSTree.h"
#include "metadata/DirectoryWalk.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// Answers true from its `quitAt`-th poll on.
class QuitAfter : public KZJobCtrlClient {
  public:
    explicit QuitAfter(int quitAt) : quitAt_(quitAt) {}
    bool checkQuitFlag() override { return ++polls_ >= quitAt_; }
    int polls_ = 0;

  private:
    int quitAt_;
};

class DirectoryWalkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Names that merely begin with dots are entries like any other.
        for (const char* d : {"", "/d", "/d/deeper", "/empty", "/..x", "/.d"})
            ASSERT_EQ(::mkdir((root_ + d).c_str(), 0755), 0);
        for (const char* f : {"/a", "/d/deeper/f", "/h1", "/.hidden", "/...", "/..x/in"})
            std::ofstream(root_ + f) << f;
        ASSERT_EQ(::link((root_ + "/h1").c_str(), (root_ + "/d/h2").c_str()), 0);
        ASSERT_EQ(::symlink("a-longer-target", (root_ + "/link").c_str()), 0);
        ASSERT_EQ(::mkfifo((root_ + "/d/fifo").c_str(), 0644), 0);
        ASSERT_EQ(::stat(root_.c_str(), &rootStat_), 0);
        ASSERT_EQ(table_.Init(&handle_), 0);
    }
    bool Walk(KZJobCtrlClient* job = nullptr) {
        EXPECT_EQ(table_.Add(0, rootStat_.st_ino, rootStat_.st_size,
                             static_cast<unsigned int>(rootStat_.st_mtime), 1, "ROOT"),
                  0);
        return DumpFileListToCTree(::opendir(root_.c_str()), root_, rootStat_.st_ino, &table_, job);
    }
    std::vector<FsTreeRow> Rows() {
        EXPECT_EQ(table_.Close(), 0);
        return TableRows(path_);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string root_ = tmp_.File("tree"), path_ = tmp_.File("table");
    struct stat rootStat_ {};
    long long handle_ = 0;
    CCreateUNIXFSTree table_;
};

// Pre-order rows as lstat sees the tree: "." and ".." neither reported nor walked,
// hard-linked files left out, a link its own row with the target's length.
TEST_F(DirectoryWalkTest, RowsMatchLstatInPreOrderWithoutHardLinkedFiles) {
    ASSERT_EQ(table_.Open(path_.c_str()), 0);
    const int descriptors = OpenDescriptorCount();
    DebugLog = 1;
    const bool walked = Walk();
    DebugLog = 0;
    ASSERT_TRUE(walked);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    const std::vector<FsTreeRow> rows = Rows();
    EXPECT_TRUE(ParentsComeFirst(rows));
    EXPECT_EQ(SortedRows(rows), ExpectedTreeRows(root_, "ROOT"));
    EXPECT_EQ(rows.size(), 13u);
    for (const auto& r : rows) {
        EXPECT_TRUE(r.name != "." && r.name != ".." && r.name != "h1" && r.name != "h2") << r.name;
        EXPECT_TRUE(r.name != "link" || (r.size == 15 && r.type == 0));
    }
}

TEST_F(DirectoryWalkTest, QuitRefusedRowAndEmptyDirectoryEndTheWalkAsTheyShould) {
    // No table open: the writer refuses the first row.
    EXPECT_FALSE(DumpFileListToCTree(::opendir(root_.c_str()), root_, 2, &table_, nullptr));
    ASSERT_EQ(table_.Open(path_.c_str()), 0);
    EXPECT_TRUE(DumpFileListToCTree(::opendir((root_ + "/empty").c_str()), root_ + "/empty", 9,
                                    &table_, nullptr));
    EXPECT_FALSE(DumpFileListToCTree(nullptr, root_, 9, &table_, nullptr));

    QuitAfter job(6);
    const int descriptors = OpenDescriptorCount();
    EXPECT_FALSE(Walk(&job));
    EXPECT_EQ(job.polls_, 6);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    // At most five entries were taken (some of them without a row), the root first.
    const std::vector<FsTreeRow> rows = Rows();
    EXPECT_GE(rows.size(), 1u);
    EXPECT_LE(rows.size(), 6u);
    EXPECT_TRUE(ParentsComeFirst(rows));
}

}  // namespace
}  // namespace kzvol::testing
