// Shell quoting, atomic rewrites and trace files: the safety rules.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/AtomicFile.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "host/TraceFile.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

TEST(ShellQuote, OrdinaryPathsPassHostileOnesAreQuoted) {
    EXPECT_EQ(ShellQuote("/dev/sdb1"), "/dev/sdb1");
    EXPECT_EQ(ShellQuote("rw,nouuid"), "rw,nouuid");
    EXPECT_EQ(ShellQuote("a@b:c=d+e%f-g"), "a@b:c=d+e%f-g");
    EXPECT_EQ(ShellQuote(""), "''");
    EXPECT_EQ(ShellQuote("/mnt/my disk"), "'/mnt/my disk'");
    EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellQuote("x; rm -rf /"), "'x; rm -rf /'");
}

TEST(ShellQuote, TheShellSeesTheOriginalWord) {
    TempDir dir;
    for (std::string word : {"plain", "with blank", "quote'inside", "$(touch pwned)", "a;b|c&d"}) {
        std::string out;
        KzProcess p;
        ASSERT_EQ(p.system("cd " + ShellQuote(dir.path()) + " && printf %s " + ShellQuote(word),
                           &out, nullptr, 0, false),
                  0);
        EXPECT_EQ(out, word);
    }
    EXPECT_NE(::access(dir.File("pwned").c_str(), F_OK), 0);
}

TEST(ReplaceFileContents, KeepsModeAndLeavesNoTemporary) {
    TempDir dir;
    std::string path = dir.Write("list", "old\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(ReplaceFileContents(path, "new\n"));
    EXPECT_EQ(ReadFile(path), "new\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string listing;
    KzProcess p;
    p.system("ls -A " + ShellQuote(dir.path()), &listing, nullptr, 0, false);
    EXPECT_EQ(listing, "list\n");
}

TEST(ReplaceFileContents, FailureLeavesTargetAlone) {
    EXPECT_FALSE(ReplaceFileContents("/nonexistent-dir/list", "x"));
}

class TraceFiles : public ::testing::Test {
  protected:
    void SetUp() override { old_ = SetTraceDirectory(dir_.path()); }
    void TearDown() override { SetTraceDirectory(old_); }
    TempDir dir_;
    std::string old_;
};

TEST_F(TraceFiles, OffWithoutSwitchAndTruncatedPerCall) {
    { TraceFile("readvollog").Printf("one\n"); }
    EXPECT_NE(::access(dir_.File("readvollog").c_str(), F_OK), 0);
    dir_.Write("debugkzvol", "");
    { TraceFile("readvollog").Printf("first call\n"); }
    { TraceFile("readvollog").Printf("second call\n"); }
    EXPECT_EQ(ReadFile(dir_.File("readvollog")), "second call\n");
    { TraceFile("bitmap", TraceFile::Append).Printf("more\n"); }
    { TraceFile("bitmap", TraceFile::Append).Printf("more\n"); }
    EXPECT_EQ(ReadFile(dir_.File("bitmap")), "more\nmore\n");
}

TEST_F(TraceFiles, PlantedSymlinksAreNeverFollowed) {
    std::string victim = dir_.Write("victim", "precious");
    ASSERT_EQ(::symlink(victim.c_str(), dir_.File("readvollog").c_str()), 0);
    dir_.Write("debugkzvol", "");
    TraceFile trace("readvollog");
    EXPECT_FALSE(trace.open());
    trace.Printf("overwrite\n");
    EXPECT_EQ(ReadFile(victim), "precious");

    // A switch that is a symlink does not count either.
    ASSERT_EQ(::unlink(dir_.File("debugkzvol").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), dir_.File("debugkzvol").c_str()), 0);
    EXPECT_FALSE(TraceEnabled());
}

}  // namespace
}  // namespace kzvol::testing
