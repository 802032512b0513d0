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
    int polls() const { return polls_; }

  private:
    int quitAt_, polls_ = 0;
};

class DirectoryWalkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = tmp_.File("tree");
        for (const char* d : {"", "/d", "/d/deeper", "/empty"})
            ASSERT_EQ(::mkdir((root_ + d).c_str(), 0755), 0);
        std::ofstream(root_ + "/a") << "hello";
        std::ofstream(root_ + "/d/deeper/f") << std::string(5000, 'x');
        std::ofstream(root_ + "/h1") << "linked";
        ASSERT_EQ(::link((root_ + "/h1").c_str(), (root_ + "/d/h2").c_str()), 0);
        ASSERT_EQ(::symlink("a-longer-target", (root_ + "/link").c_str()), 0);
        ASSERT_EQ(::mkfifo((root_ + "/d/fifo").c_str(), 0644), 0);
        ASSERT_EQ(::stat(root_.c_str(), &rootStat_), 0);
        table_ = tmp_.File("table");
        ASSERT_EQ(table.Init(&handle_), 0);
    }

    bool Walk(KZJobCtrlClient* job = nullptr) {
        EXPECT_EQ(table.Add(0, rootStat_.st_ino, rootStat_.st_size,
                            static_cast<unsigned int>(rootStat_.st_mtime), 1, "ROOT"),
                  0);
        return DumpFileListToCTree(::opendir(root_.c_str()), root_, rootStat_.st_ino, &table, job);
    }
    std::vector<FsTreeRow> Rows() {
        EXPECT_EQ(table.Close(), 0);
        return TableRows(table_);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string root_, table_;
    struct stat rootStat_ {};
    long long handle_ = 0;
    CCreateUNIXFSTree table;
};

TEST_F(DirectoryWalkTest, RowsMatchLstatInPreOrderWithoutHardLinkedFiles) {
    ASSERT_EQ(table.Open(table_.c_str()), 0);
    const int descriptors = OpenDescriptorCount();
    DebugLog = 1;
    const bool walked = Walk();
    DebugLog = 0;
    ASSERT_TRUE(walked);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    const std::vector<FsTreeRow> rows = Rows();
    EXPECT_TRUE(ParentsComeFirst(rows));
    EXPECT_EQ(SortedRows(rows), ExpectedTreeRows(root_, "ROOT"));
    // Spot checks the oracle shares with the walk: the link is its own row with the
    // target's length, the pipe is a type-0 row, neither hard link has a row.
    size_t links = 0, pipes = 0;
    for (const auto& r : rows) {
        EXPECT_NE(r.name, "h1");
        EXPECT_NE(r.name, "h2");
        links += r.name == "link" && r.size == 15 && r.type == 0;
        pipes += r.name == "fifo" && r.type == 0;
    }
    EXPECT_EQ(links + pipes, 2u);
    // The debug log: one line per entry, nothing else.
    EXPECT_EQ(env_.CountLogs("1a:adding dir  pinode="), 3);  // d, d/deeper, empty
    EXPECT_EQ(env_.CountLogs("adding file pinode="), 4);     // a, link, fifo, f
    EXPECT_EQ(env_.CountLogs("skipping =h"), 2);
    EXPECT_EQ(env_.Logs().size(), 9u);
}

TEST_F(DirectoryWalkTest, QuitStopsEveryLevelAndKeepsTheRowsAdded) {
    ASSERT_EQ(table.Open(table_.c_str()), 0);
    QuitAfter job(6);
    const int descriptors = OpenDescriptorCount();
    EXPECT_FALSE(Walk(&job));
    EXPECT_EQ(job.polls(), 6);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_EQ(env_.CountLogs("job quit flag set", "DumpFileListToCTree:"), 1);
    // At most five entries were taken (some of them without a row), the root first.
    const std::vector<FsTreeRow> rows = Rows();
    EXPECT_GE(rows.size(), 1u);
    EXPECT_LE(rows.size(), 6u);
    EXPECT_TRUE(ParentsComeFirst(rows));
}

TEST_F(DirectoryWalkTest, RefusedRowEndsTheWalkAndAnEmptyDirectoryAddsNothing) {
    // No table open: the writer refuses every row.
    EXPECT_FALSE(DumpFileListToCTree(::opendir(root_.c_str()), root_, 2, &table, nullptr));
    EXPECT_EQ(env_.CountLogs("to ctreetable ret=9"), 1);
    EXPECT_EQ(env_.CountLogs("failed to dumpfilelisttoctree"), 0);

    ASSERT_EQ(table.Open(table_.c_str()), 0);
    EXPECT_TRUE(DumpFileListToCTree(::opendir((root_ + "/empty").c_str()), root_ + "/empty", 9,
                                    &table, nullptr));
    EXPECT_FALSE(DumpFileListToCTree(nullptr, root_, 9, &table, nullptr));
    EXPECT_TRUE(Rows().empty());
}

}  // namespace
}  // namespace kzvol::testing
