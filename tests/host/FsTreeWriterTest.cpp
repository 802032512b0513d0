// The file-index table writer's life cycle: calling order, refusals, reuse after
// Close, disposal of a table that was never closed, and I/O failures.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <csignal>

#include "host/CCreateUNIXFSTree.h"
#include "host/UnixFsTreeReader.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

class FsTreeWriter : public ::testing::Test {
  protected:
    // Init, then Open at File(name).
    void Start(const std::string& name) {
        ASSERT_EQ(table_.Init(&handle_), 0);
        ASSERT_EQ(table_.Open(dir_.File(name).c_str()), 0);
    }
    std::string Listing() const {
        std::string out;
        RunCommandLine("ls -A " + dir_.path(), &out);
        return out;
    }
    TempDir dir_;
    long long handle_ = 0;
    CCreateUNIXFSTree table_;
};

TEST_F(FsTreeWriter, RefusesCallsOutOfOrder) {
    std::string base = dir_.File("t");
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, "/"), EBADF);
    EXPECT_EQ(table_.Close(), EBADF);
    EXPECT_EQ(table_.Open(base.c_str()), EINVAL);  // no Init yet
    EXPECT_EQ(table_.Init(nullptr), EINVAL);
    ASSERT_EQ(table_.Init(&handle_), 0);
    EXPECT_EQ(table_.Open(nullptr), EINVAL);
    EXPECT_EQ(table_.Open(""), EINVAL);
    EXPECT_EQ(Listing(), "");
    ASSERT_EQ(table_.Open(base.c_str()), 0);
    EXPECT_EQ(table_.Open(base.c_str()), EBUSY);
    EXPECT_EQ(table_.Init(&handle_), EBUSY);
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, nullptr), EINVAL);
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, std::string(4097, 'a').c_str()), ENAMETOOLONG);
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, "/"), 0);  // refused rows did not poison the table
    EXPECT_EQ(table_.Close(), 0);
    EXPECT_EQ(table_.Close(), EBADF);
    EXPECT_EQ(handle_, 0);  // the caller's handle is only passed, never needed

    UnixFsTreeReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(base, &error)) << error;
    EXPECT_EQ(reader.RowCount(), 1u);
}

TEST_F(FsTreeWriter, ReusableAfterCloseAndRetryOverSamePath) {
    std::string first = dir_.File("first"), second = dir_.File("second");
    Start("first");
    ASSERT_EQ(table_.Add(0, 2, 1, 1, 1, "one"), 0);
    ASSERT_EQ(table_.Close(), 0);
    // A second strategy: Init and Open again, once over a fresh path and once
    // over the path of the first table, which is replaced.
    for (const std::string& base : {second, first}) {
        ASSERT_EQ(table_.Init(&handle_), 0);
        ASSERT_EQ(table_.Open(base.c_str()), 0);
        ASSERT_EQ(table_.Add(0, 2, 2, 2, 1, "two"), 0);
        ASSERT_EQ(table_.Add(2, 3, 2, 2, 0, "three"), 0);
        ASSERT_EQ(table_.Close(), 0);
    }
    for (const std::string& base : {first, second}) {
        UnixFsTreeReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(base, &error)) << error;
        EXPECT_EQ(reader.RowCount(), 2u) << base;
    }
}

TEST_F(FsTreeWriter, DestroyedWhileOpenRemovesBothFiles) {
    int fds = OpenDescriptorCount();
    {
        CCreateUNIXFSTree local;
        ASSERT_EQ(local.Init(&handle_), 0);
        ASSERT_EQ(local.Open(dir_.File("t").c_str()), 0);
        ASSERT_EQ(local.Add(0, 2, 0, 0, 1, "/"), 0);
        EXPECT_EQ(Listing(), "t.dat\nt.idx\n");
    }
    EXPECT_EQ(Listing(), "");
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

TEST_F(FsTreeWriter, ATableBeingWrittenReadsAsNeverClosed) {
    Start("t");
    for (int i = 0; i < 50000; ++i)
        ASSERT_EQ(table_.Add(2, 10 + i, 1, 1, 0, "file"), 0);
    UnixFsTreeReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(dir_.File("t"), &error));
    EXPECT_EQ(error, "the table was never closed (its writer did not finish)");
}

TEST_F(FsTreeWriter, OpenFailureLeavesNoFile) {
    ASSERT_EQ(table_.Init(&handle_), 0);
    EXPECT_EQ(table_.Open(dir_.File("missing/t").c_str()), ENOENT);
    // The .dat file can be created but the .idx cannot: a directory is in the way.
    ASSERT_EQ(::mkdir(dir_.File("x.idx").c_str(), 0755), 0);
    EXPECT_EQ(table_.Open(dir_.File("x").c_str()), EISDIR);
    EXPECT_EQ(Listing(), "x.idx\n");
    // A file that is not ours is never removed: here the .dat cannot be created,
    // and the .idx of the same name belongs to someone else.
    ASSERT_EQ(::mkdir(dir_.File("z.dat").c_str(), 0755), 0);
    dir_.Write("z.idx", "someone else's");
    EXPECT_EQ(table_.Open(dir_.File("z").c_str()), EISDIR);
    EXPECT_EQ(ReadFile(dir_.File("z.idx")), "someone else's");
    ASSERT_EQ(::rmdir(dir_.File("z.dat").c_str()), 0);
    ::unlink(dir_.File("z.idx").c_str());
    // The object is still usable.
    EXPECT_EQ(table_.Open(dir_.File("y").c_str()), 0);
    EXPECT_EQ(table_.Close(), 0);
}

// A write error while rows are added is kept: every later Add and Close report
// it, and Close removes the unfinished table_.
TEST_F(FsTreeWriter, WriteFailureIsStickyAndCloseDisposes) {
    Start("t");
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 256 * 1024;
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = 0;
    for (int i = 0; i < 100000 && rc == 0; ++i)
        rc = table_.Add(2, 10 + i, 1, 1, 0, "some-file-name");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(rc, EFBIG);
    EXPECT_EQ(table_.Add(2, 1, 1, 1, 0, "more"), EFBIG);
    EXPECT_EQ(table_.Close(), EFBIG);
    EXPECT_EQ(Listing(), "");
}

}  // namespace
}  // namespace kzvol::testing
