// Rows into the file-index table: the device reader's callbacks, and the walk against lstat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/CCreateUNIXFSTree.h"
#include "host/Handles.h"
#include "metadata/DirectoryWalk.h"
#include "metadata/ReaderCallBacks.h"
#include "tests/metadata/MetadataTestSupport.h"

namespace kzvol::testing {
namespace {

class IndexRows : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(table_.Init(&handle_), 0); }
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

TEST_F(IndexRows, CallBacksReadAtOffsetsAndAddRowsOrRefuse) {
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data += static_cast<char>(i % 251);
    UniqueFd fd(::open(tmp_.Write("dev", data).c_str(), O_RDONLY));
    UniqueFd dirFd(::open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY));
    int raw = fd.get(), isDir = dirFd.get(), closed = 1000;
    char buf[4096];
    auto read = [&](int* from, unsigned size, unsigned long long offset) {
        return std::string(buf, RDFDReadCallBack(from, buf, size, offset));
    };
    EXPECT_EQ(read(&raw, 1024, 1024), data.substr(1024, 1024));
    EXPECT_EQ(read(&raw, 10, 5), data.substr(5, 10));  // positioned: backwards works
    EXPECT_EQ(read(&raw, 4096, 2500), data.substr(2500));
    EXPECT_EQ(read(&raw, 4096, 3000) + read(&raw, 4096, 1ull << 40), "");
    for (int* from : {&closed, &isDir, static_cast<int*>(nullptr)})
        EXPECT_EQ(read(from, 16, 0), "");
    // Hints are advice: a bad descriptor or none at all is no failure.
    RDFDReadAheadCallBack(&closed, 0, 4096);
    RDFDReadAheadCallBack(nullptr, 0, 4096);
    RDFDReadAheadCallBack(&raw, 0, 1ull << 63);
    // In memory: what was just written, and nothing past the end or dropped.
    EXPECT_TRUE(RDFDResidentCallBack(&raw, 5, 2995));
    EXPECT_FALSE(RDFDResidentCallBack(&raw, 0, 3001) || RDFDResidentCallBack(&closed, 0, 1) ||
                 RDFDResidentCallBack(nullptr, 0, 1));
    ASSERT_EQ(::fdatasync(raw) | ::posix_fadvise(raw, 0, 0, POSIX_FADV_DONTNEED), 0);
    EXPECT_FALSE(RDFDResidentCallBack(&raw, 0, 3000));

    char root[] = "/", file[] = "file";
    // No table open yet: refused, logged with the writer's code.
    EXPECT_FALSE(RDFDGetInodeNameCallBack(&table_, 0, 2, 4096, 7, true, root));
    ASSERT_EQ(table_.Open(path_.c_str()), 0);
    EXPECT_TRUE(RDFDGetInodeNameCallBack(&table_, 0, 2, 4096, 7, true, root));
    EXPECT_TRUE(RDFDGetInodeNameCallBack(&table_, 2, 12, 5ull << 32, 4294967295u, false, file));
    EXPECT_FALSE(RDFDGetInodeNameCallBack(nullptr, 2, 13, 0, 0, false, file));
    EXPECT_FALSE(RDFDGetInodeNameCallBack(&table_, 2, 13, 0, 0, false, nullptr));
    EXPECT_EQ(Rows(), (std::vector<FsTreeRow>{{0, 2, 4096, 7, 1, "/"},
                                              {2, 12, 5ull << 32, 4294967295u, 0, "file"}}));
}

TEST_F(IndexRows, WalkRowsMatchLstatInPreOrderWithoutHardLinkedFilesQuitOrRefusalEndsTheWalk) {
    // A tree with names that merely begin with dots, a hard link, a link and a FIFO.
    for (const char* d : {"", "/d", "/d/deeper", "/empty", "/..x", "/.d"})
        ASSERT_EQ(::mkdir((root_ + d).c_str(), 0755), 0);
    for (const char* f : {"/a", "/d/deeper/f", "/h1", "/.hidden", "/...", "/..x/in"})
        std::ofstream(root_ + f) << f;
    ASSERT_EQ(::link((root_ + "/h1").c_str(), (root_ + "/d/h2").c_str()), 0);
    ASSERT_EQ(::symlink("a-longer-target", (root_ + "/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((root_ + "/d/fifo").c_str(), 0644), 0);
    ASSERT_EQ(::stat(root_.c_str(), &rootStat_), 0);
    // No table open: the writer refuses the first row.
    EXPECT_FALSE(DumpFileListToCTree(::opendir(root_.c_str()), root_, 2, &table_, nullptr));
    ASSERT_EQ(table_.Open(path_.c_str()), 0);
    EXPECT_TRUE(DumpFileListToCTree(::opendir((root_ + "/empty").c_str()), root_ + "/empty", 9,
                                    &table_, nullptr));
    EXPECT_FALSE(DumpFileListToCTree(nullptr, root_, 9, &table_, nullptr));
    QuitAt job(6);
    const int descriptors = OpenDescriptorCount();
    EXPECT_FALSE(Walk(&job));
    EXPECT_EQ(std::make_tuple(job.polls, OpenDescriptorCount()), std::make_tuple(6, descriptors));
    // At most five entries were taken (some of them without a row), the root first.
    std::vector<FsTreeRow> rows = Rows();
    EXPECT_TRUE(rows.size() >= 1 && rows.size() <= 6) << rows.size();
    ExpectWalked(rows, SortedRows(rows));

    path_ = tmp_.File("whole");
    ASSERT_EQ(table_.Open(path_.c_str()), 0);
    DebugLog = 1;
    const bool walked = Walk();
    DebugLog = 0;
    ASSERT_TRUE(walked);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    rows = Rows();
    ExpectWalked(rows, ExpectedTreeRows(root_, "ROOT"));  // no h1, h2, "." or ".."
    EXPECT_EQ(rows.size(), 13u);
}

}  // namespace
}  // namespace kzvol::testing
