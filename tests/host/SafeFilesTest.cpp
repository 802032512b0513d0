// Running commands and children; shell quoting, atomic rewrites and trace files:
// the safety rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <future>

#include "host/AtomicFile.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "host/TraceFile.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// A command's output, error and status; a child's wait that times out, the status
// of one killed or failing, and a start that fails.
TEST(KzProcessReal, CommandsAndChildrenReportOutputAndStatus) {
    KzProcess p, f, missing;
    std::string out, err;
    EXPECT_EQ(p.system("printf 'a b'; echo oops >&2; exit 3", &out, &err, 0, false), 3);
    EXPECT_EQ(out + "|" + err, "a b|oops\n");
    EXPECT_NE(p.system("/nonexistent/command", &out, nullptr, 0, false), 0);

    ASSERT_EQ(p.StartProcess("/bin/sleep", "sleep 30", &err, 0), 1) << err;
    ASSERT_GT(p.GetChildPid(), 0);
    int code = -1;
    EXPECT_EQ(p.WaitForProcessToEnd(&code, &err, 0), 0);
    EXPECT_EQ(err, "timedout");
    ASSERT_EQ(::kill(p.GetChildPid(), SIGINT), 0);
    EXPECT_EQ(p.WaitForProcessToEnd(&code, &err, -1), 1);
    EXPECT_EQ(code, 128 + SIGINT);
    ASSERT_EQ(f.StartProcess("/bin/false", "false", &err, 0), 1);
    EXPECT_EQ(f.WaitForProcessToEnd(&code, &err, 10), 1);
    EXPECT_EQ(code, 1);

    EXPECT_EQ(missing.StartProcess("/nonexistent/script.sh", "x", &err, 0), 0);
    EXPECT_NE(err.find("/nonexistent/script.sh"), std::string::npos);
    EXPECT_EQ(missing.GetChildPid(), -1);
    EXPECT_EQ(missing.WaitForProcessToEnd(&code, &err, 1), 0);
}

// Ordinary words pass as they are, others are quoted (a tilde would expand to a
// home directory); either way the shell sees the original words and runs nothing
// hidden in them.
TEST(ShellQuote, TheShellSeesTheOriginalWords) {
    TempDir dir;
    const std::vector<std::string> words = {
        "a@b:c=d+e%f-g/dev/sdb1,rw",          "",     "/mnt/my disk", "it's", "~root",
        "a;b|c&d`touch pwned`$(touch pwned)", "-x\n*"};
    std::string quoted, joined, out;
    for (const std::string& word : words)
        quoted += " " + ShellQuote(word), joined += word + "|";
    EXPECT_EQ(quoted,
              " a@b:c=d+e%f-g/dev/sdb1,rw '' '/mnt/my disk' 'it'\\''s' '~root' "
              "'a;b|c&d`touch pwned`$(touch pwned)' '-x\n*'");
    ASSERT_EQ(RunCommandLine("cd " + ShellQuote(dir.path()) + " && printf '%s|'" + quoted, &out),
              0);
    EXPECT_EQ(out, joined);
    EXPECT_NE(::access(dir.File("pwned").c_str(), F_OK), 0);
}

TEST(ReplaceFileContents, KeepsModeLeavesNoTemporaryAndFailsWithoutADirectory) {
    TempDir dir;
    std::string path = dir.Write("list", "old\n"), listing;
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(ReplaceFileContents(path, "new\n"));
    EXPECT_EQ(ReadFile(path), "new\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    RunCommandLine("ls -A " + ShellQuote(dir.path()), &listing);
    EXPECT_EQ(listing, "list\n");
    EXPECT_FALSE(ReplaceFileContents(dir.File("absent/list"), "x"));
    // The directory synced after the rename, for files at the top and without one.
    EXPECT_EQ(DirectoryOf("/fstab") + DirectoryOf("fstab"), "/.");
}

// Off without the switch; what another user plants at a trace path is never
// followed, truncated or waited for: a symlink, a hard link to one of our files, a
// FIFO; nor counts as the switch. (Truncation per call: RawIO.TraceFiles;
// appending: Bitmaps.TraceSwitchAppendsTheBytesReadToTheDump.)
TEST(TraceFiles, OffWithoutTheSwitchAndPlantedFilesAreLeftAlone) {
    TempDir dir;
    const std::string old = SetTraceDirectory(dir.path()), victim = dir.Write("victim", "precious");
    TraceFile("readvollog").Printf("one\n");
    EXPECT_NE(::access(dir.File("readvollog").c_str(), F_OK), 0);
    ASSERT_EQ(::symlink(victim.c_str(), dir.File("readvollog").c_str()), 0);
    ASSERT_EQ(::link(victim.c_str(), dir.File("wrtevollog").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.File("writevollog").c_str(), 0600), 0);
    dir.Write("debugkzvol", "");
    for (const char* name : {"readvollog", "wrtevollog"}) {
        TraceFile trace(name);
        EXPECT_FALSE(trace.open()) << name;
        trace.Printf("overwrite\n");
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    auto opened = std::async(std::launch::async, [] { return TraceFile("writevollog").open(); });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ::close(::open(dir.File("writevollog").c_str(), O_RDONLY | O_NONBLOCK));  // unblock
        ADD_FAILURE() << "opening a FIFO at a trace path waits for a reader";
    }
    EXPECT_FALSE(opened.get());
    ASSERT_EQ(::unlink(dir.File("debugkzvol").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), dir.File("debugkzvol").c_str()), 0);
    EXPECT_FALSE(TraceEnabled());
    SetTraceDirectory(old);
}

}  // namespace
}  // namespace kzvol::testing
