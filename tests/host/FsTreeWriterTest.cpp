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

std::string Listing(const TempDir& dir) {
    std::string out;
    RunCommandLine("ls -A " + dir.path(), &out);
    return out;
}

TEST(FsTreeWriter, RefusesCallsOutOfOrder) {
    TempDir dir;
    long long handle = 0;
    std::string base = dir.File("t");
    CCreateUNIXFSTree table;
    EXPECT_EQ(table.Add(0, 2, 0, 0, 1, "/"), EBADF);
    EXPECT_EQ(table.Close(), EBADF);
    EXPECT_EQ(table.Open(base.c_str()), EINVAL);  // no Init yet
    EXPECT_EQ(table.Init(nullptr), EINVAL);
    ASSERT_EQ(table.Init(&handle), 0);
    EXPECT_EQ(table.Open(nullptr), EINVAL);
    EXPECT_EQ(table.Open(""), EINVAL);
    EXPECT_EQ(Listing(dir), "");
    ASSERT_EQ(table.Open(base.c_str()), 0);
    EXPECT_EQ(table.Open(base.c_str()), EBUSY);
    EXPECT_EQ(table.Init(&handle), EBUSY);
    EXPECT_EQ(table.Add(0, 2, 0, 0, 1, nullptr), EINVAL);
    EXPECT_EQ(table.Add(0, 2, 0, 0, 1, std::string(4097, 'a').c_str()), ENAMETOOLONG);
    EXPECT_EQ(table.Add(0, 2, 0, 0, 1, "/"), 0);  // refused rows did not poison the table
    EXPECT_EQ(table.Close(), 0);
    EXPECT_EQ(table.Close(), EBADF);
    EXPECT_EQ(handle, 0);  // the caller's handle is only passed, never needed

    UnixFsTreeReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(base, &error)) << error;
    EXPECT_EQ(reader.RowCount(), 1u);
}

TEST(FsTreeWriter, ReusableAfterCloseAndRetryOverSamePath) {
    TempDir dir;
    long long handle = 0;
    CCreateUNIXFSTree table;
    std::string first = dir.File("first"), second = dir.File("second");
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open(first.c_str()), 0);
    ASSERT_EQ(table.Add(0, 2, 1, 1, 1, "one"), 0);
    ASSERT_EQ(table.Close(), 0);
    // A second strategy: Init and Open again, once over a fresh path and once
    // over the path of the first table, which is replaced.
    for (const std::string& base : {second, first}) {
        ASSERT_EQ(table.Init(&handle), 0);
        ASSERT_EQ(table.Open(base.c_str()), 0);
        ASSERT_EQ(table.Add(0, 2, 2, 2, 1, "two"), 0);
        ASSERT_EQ(table.Add(2, 3, 2, 2, 0, "three"), 0);
        ASSERT_EQ(table.Close(), 0);
    }
    for (const std::string& base : {first, second}) {
        UnixFsTreeReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(base, &error)) << error;
        EXPECT_EQ(reader.RowCount(), 2u) << base;
    }
}

TEST(FsTreeWriter, DestroyedWhileOpenRemovesBothFiles) {
    TempDir dir;
    long long handle = 0;
    int fds = OpenDescriptorCount();
    {
        CCreateUNIXFSTree table;
        ASSERT_EQ(table.Init(&handle), 0);
        ASSERT_EQ(table.Open(dir.File("t").c_str()), 0);
        ASSERT_EQ(table.Add(0, 2, 0, 0, 1, "/"), 0);
        EXPECT_EQ(Listing(dir), "t.dat\nt.idx\n");
    }
    EXPECT_EQ(Listing(dir), "");
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

TEST(FsTreeWriter, ATableBeingWrittenReadsAsNeverClosed) {
    TempDir dir;
    long long handle = 0;
    CCreateUNIXFSTree table;
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open(dir.File("t").c_str()), 0);
    for (int i = 0; i < 50000; ++i)
        ASSERT_EQ(table.Add(2, 10 + i, 1, 1, 0, "file"), 0);
    UnixFsTreeReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(dir.File("t"), &error));
    EXPECT_EQ(error, "the table was never closed (its writer did not finish)");
}

TEST(FsTreeWriter, OpenFailureLeavesNoFile) {
    TempDir dir;
    long long handle = 0;
    CCreateUNIXFSTree table;
    ASSERT_EQ(table.Init(&handle), 0);
    EXPECT_EQ(table.Open(dir.File("missing/t").c_str()), ENOENT);
    // The .dat file can be created but the .idx cannot: a directory is in the way.
    ASSERT_EQ(::mkdir(dir.File("x.idx").c_str(), 0755), 0);
    EXPECT_EQ(table.Open(dir.File("x").c_str()), EISDIR);
    EXPECT_EQ(Listing(dir), "x.idx\n");
    // A file that is not ours is never removed: here the .dat cannot be created,
    // and the .idx of the same name belongs to someone else.
    ASSERT_EQ(::mkdir(dir.File("z.dat").c_str(), 0755), 0);
    dir.Write("z.idx", "someone else's");
    EXPECT_EQ(table.Open(dir.File("z").c_str()), EISDIR);
    EXPECT_EQ(ReadFile(dir.File("z.idx")), "someone else's");
    ASSERT_EQ(::rmdir(dir.File("z.dat").c_str()), 0);
    ::unlink(dir.File("z.idx").c_str());
    // The object is still usable.
    EXPECT_EQ(table.Open(dir.File("y").c_str()), 0);
    EXPECT_EQ(table.Close(), 0);
}

// A write error while rows are added is kept: every later Add and Close report
// it, and Close removes the unfinished table.
TEST(FsTreeWriter, WriteFailureIsStickyAndCloseDisposes) {
    TempDir dir;
    long long handle = 0;
    CCreateUNIXFSTree table;
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open(dir.File("t").c_str()), 0);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 256 * 1024;
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = 0;
    for (int i = 0; i < 100000 && rc == 0; ++i)
        rc = table.Add(2, 10 + i, 1, 1, 0, "some-file-name");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(rc, EFBIG);
    EXPECT_EQ(table.Add(2, 1, 1, 1, 0, "more"), EFBIG);
    EXPECT_EQ(table.Close(), EFBIG);
    EXPECT_EQ(Listing(dir), "");
}

}  // namespace
}  // namespace kzvol::testing
