// Running commands and children; shell quoting, atomic rewrites and trace
// files: the safety rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>

#include "host/AtomicFile.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "host/TraceFile.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

TEST(KzProcessReal, CapturesOutputErrorAndStatus) {
    KzProcess p;
    std::string out, err;
    EXPECT_EQ(p.system("echo hello; echo oops >&2; exit 3", &out, &err, 0, false), 3);
    EXPECT_EQ(out, "hello\n");
    EXPECT_EQ(err, "oops\n");
    out.clear();
    EXPECT_EQ(p.system("printf 'a b'", &out, nullptr, 0, false), 0);
    EXPECT_EQ(out, "a b");
    EXPECT_NE(p.system("/nonexistent/command", &out, &err, 0, false), 0);
}

// A child: waits that time out, the status of one killed or failing, and a
// start that fails.
TEST(KzProcessReal, ChildrenStartWaitAndEnd) {
    KzProcess p;
    std::string err;
    ASSERT_EQ(p.StartProcess("/bin/sleep", "sleep 30", &err, 0), 1) << err;
    ASSERT_GT(p.GetChildPid(), 0);
    int code = -1;
    EXPECT_EQ(p.WaitForProcessToEnd(&code, &err, 0), 0);
    EXPECT_EQ(err, "timedout");
    ASSERT_EQ(::kill(p.GetChildPid(), SIGINT), 0);
    EXPECT_EQ(p.WaitForProcessToEnd(&code, &err, -1), 1);
    EXPECT_EQ(code, 128 + SIGINT);
    KzProcess f;
    ASSERT_EQ(f.StartProcess("/bin/false", "false", &err, 0), 1);
    EXPECT_EQ(f.WaitForProcessToEnd(&code, &err, 10), 1);
    EXPECT_EQ(code, 1);

    KzProcess missing;
    EXPECT_EQ(missing.StartProcess("/nonexistent/script.sh", "x", &err, 0), 0);
    EXPECT_NE(err.find("/nonexistent/script.sh"), std::string::npos);
    EXPECT_EQ(missing.GetChildPid(), -1);
    EXPECT_EQ(missing.WaitForProcessToEnd(&code, &err, 1), 0);
}

// Ordinary words pass as they are, others are quoted; either way the shell
// sees the original word and runs nothing hidden in it.
TEST(ShellQuote, TheShellSeesTheOriginalWord) {
    TempDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/sdb1", "/dev/sdb1"},
        {"rw,nouuid", "rw,nouuid"},
        {"a@b:c=d+e%f-g", "a@b:c=d+e%f-g"},
        {"", "''"},
        {"/mnt/my disk", "'/mnt/my disk'"},
        {"it's", "'it'\\''s'"},
        {"x; touch pwned", "'x; touch pwned'"},
        {"$(touch pwned)", "'$(touch pwned)'"},
        {"a;b|c&d`touch pwned`", "'a;b|c&d`touch pwned`'"},
        {"~root", "'~root'"},  // a tilde would expand to a home directory
        {"-x\n*", "'-x\n*'"},
    };
    for (const auto& [word, quoted] : cases) {
        EXPECT_EQ(ShellQuote(word), quoted);
        std::string out;
        KzProcess p;
        ASSERT_EQ(p.system("cd " + ShellQuote(dir.path()) + " && printf %s " + ShellQuote(word),
                           &out, nullptr, 0, false),
                  0);
        EXPECT_EQ(out, word);
    }
    EXPECT_NE(::access(dir.File("pwned").c_str(), F_OK), 0);
}

TEST(ReplaceFileContents, KeepsModeLeavesNoTemporaryAndFailsWithoutADirectory) {
    TempDir dir;
    std::string path = dir.Write("list", "old\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(ReplaceFileContents(path, "new\n"));
    EXPECT_EQ(ReadFile(path), "new\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string listing;
    RunCommandLine("ls -A " + ShellQuote(dir.path()), &listing);
    EXPECT_EQ(listing, "list\n");
    EXPECT_FALSE(ReplaceFileContents(dir.File("absent/list"), "x"));
    // The directory synced after the rename, for files at the top and without one.
    EXPECT_EQ(DirectoryOf("/fstab"), "/");
    EXPECT_EQ(DirectoryOf("fstab"), ".");
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

// What another user plants at a trace path is never followed, truncated or
// waited for: a symlink, a hard link to one of our files, a FIFO.
TEST_F(TraceFiles, PlantedFilesAreLeftAlone) {
    std::string victim = dir_.Write("victim", "precious");
    ASSERT_EQ(::symlink(victim.c_str(), dir_.File("readvollog").c_str()), 0);
    ASSERT_EQ(::link(victim.c_str(), dir_.File("wrtevollog").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir_.File("writevollog").c_str(), 0600), 0);
    dir_.Write("debugkzvol", "");
    for (const char* name : {"readvollog", "wrtevollog"}) {
        TraceFile trace(name);
        EXPECT_FALSE(trace.open()) << name;
        trace.Printf("overwrite\n");
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    auto opened = std::async(std::launch::async, [] { return TraceFile("writevollog").open(); });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked open through before failing.
        ::close(::open(dir_.File("writevollog").c_str(), O_RDONLY | O_NONBLOCK));
        ADD_FAILURE() << "opening a FIFO at a trace path waits for a reader";
    }
    EXPECT_FALSE(opened.get());

    // A switch that is a symlink does not count either.
    ASSERT_EQ(::unlink(dir_.File("debugkzvol").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), dir_.File("debugkzvol").c_str()), 0);
    EXPECT_FALSE(TraceEnabled());
}

// The recording doubles keep the runner's and the shell's command lines apart and
// answer from the queued results without running anything.
TEST(RecordingRunner, RecordsRunnerAndShellApart) {
    TestEnv env;
    env.QueueCommandResult(1, "first");
    KzProcess p;
    std::string out;
    EXPECT_EQ(p.system("/bin/umount /mnt/a", &out, nullptr, 0, false), 1);
    EXPECT_EQ(out, "first");
    EXPECT_EQ(RunShell("mkdir -p /nonexistent/x"), 0);
    EXPECT_EQ(env.Commands(), std::vector<std::string>{"/bin/umount /mnt/a"});
    EXPECT_EQ(env.ShellCommands(), std::vector<std::string>{"mkdir -p /nonexistent/x"});
}

}  // namespace
}  // namespace kzvol::testing
