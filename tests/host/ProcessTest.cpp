// Process running: real commands and children, and the recording runner.
#include <gtest/gtest.h>

#include <csignal>

#include "host/KzProcess.h"
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

TEST(KzProcessReal, StartWaitTimeoutAndKill) {
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
}

TEST(KzProcessReal, ExitCodeAndFailedStart) {
    KzProcess p;
    std::string err;
    ASSERT_EQ(p.StartProcess("/bin/false", "false", &err, 0), 1);
    int code = -1;
    EXPECT_EQ(p.WaitForProcessToEnd(&code, &err, 10), 1);
    EXPECT_EQ(code, 1);

    KzProcess missing;
    EXPECT_EQ(missing.StartProcess("/nonexistent/script.sh", "x", &err, 0), 0);
    EXPECT_NE(err.find("/nonexistent/script.sh"), std::string::npos);
    EXPECT_EQ(missing.GetChildPid(), -1);
    EXPECT_EQ(missing.WaitForProcessToEnd(&code, &err, 1), 0);
}

TEST(RecordingRunner, RecordsCommandsAndAnswersFromQueue) {
    TestEnv env;
    env.QueueCommandResult(1, "first");
    KzProcess p;
    std::string out;
    EXPECT_EQ(p.system("/bin/umount /mnt/a", &out, nullptr, 0, false), 1);
    EXPECT_EQ(out, "first");
    EXPECT_EQ(p.system("/bin/mount x y", &out, nullptr, 0, false), 0);
    EXPECT_EQ(RunShell("mkdir -p /x"), 0);
    EXPECT_EQ(env.Commands(), (std::vector<std::string>{"/bin/umount /mnt/a", "/bin/mount x y"}));
    EXPECT_EQ(env.ShellCommands(), (std::vector<std::string>{"mkdir -p /x"}));
}

}  // namespace
}  // namespace kzvol::testing
