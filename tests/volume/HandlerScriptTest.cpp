// The snapshot handler script with real scripts. The 30-minute limit runs on the
// host clock: a child wrapper advances the fake clock by each wait's time-out
// instead of waiting, so the deadline passes in a moment of real time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/TestEnv.h"
#include "volume/HandlerScript.h"

namespace kzvol::testing {
namespace {

// Polls the real child (or, failing, reaps it and reports a failed wait); a wait with a time-out
// that finds it running advances the fake clock by the time-out and reports "timedout".
class FakeClockChild : public ChildProcess {
  public:
    FakeClockChild(std::unique_ptr<ChildProcess> real, TestEnv* env, std::vector<int>* waits,
                   bool fail)
        : real_(std::move(real)), env_(env), waits_(waits), fail_(fail) {}
    pid_t Pid() const override { return real_->Pid(); }
    bool Wait(int timeoutSec, int* exitCode, std::string* error) override {
        waits_->push_back(timeoutSec);
        if (fail_) {
            real_->Wait(-1, exitCode, error);  // reap it, then report a failure
            *error = "lost the child";
            return false;
        }
        if (timeoutSec < 0)
            return real_->Wait(-1, exitCode, error);
        WaitUntilReady();
        if (real_->Wait(0, exitCode, error))
            return true;
        env_->AdvanceClock(timeoutSec);
        return false;
    }

    // A file the script creates once it is ready for signals; empty for none.
    std::string ready_file;

  private:
    // The script's start takes real time; the fake clock must not run out before.
    void WaitUntilReady() {
        for (int i = 0; i < 500 && !ready_file.empty(); ++i) {
            if (::access(ready_file.c_str(), F_OK) == 0)
                return;
            ::usleep(10000);
        }
    }

    std::unique_ptr<ChildProcess> real_;
    TestEnv* env_;
    std::vector<int>* waits_;
    bool fail_;
};

// Counts the starts; with fake_waits, hands out FakeClockChild wrappers.
class ScriptEnv : public TestEnv {
  public:
    bool fake_waits = false, fail_waits = false;
    std::string ready_file;
    int starts = 0;
    std::vector<int> waits;
    std::unique_ptr<ChildProcess> StartProcess(const std::string& path,
                                               const std::string& arguments,
                                               std::string* error) override {
        ++starts;
        auto child = EnvWrapper::StartProcess(path, arguments, error);
        if (!child || !fake_waits)
            return child;
        auto fake = std::make_unique<FakeClockChild>(std::move(child), this, &waits, fail_waits);
        fake->ready_file = ready_file;
        return fake;
    }
};

// A product home with a registry naming it, and the script in its Base folder.
class HandlerScript : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir_.File("Base").c_str(), 0755), 0);
        UseRegistry("[Base]\ndTALMARHOME=" + dir_.path() + "\n");
    }
    void TearDown() override { ::unsetenv("KZVOL_CONFIG"); }
    void UseRegistry(const std::string& text) {
        ::setenv("KZVOL_CONFIG", dir_.Write("registry.ini", text).c_str(), 1);
    }
    void WriteScript(const std::string& body) {
        std::string path = dir_.Write("Base/ImgPodSnapHandler.sh", "#!/bin/sh\n" + body);
        ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    }
    TempDir dir_;
};

TEST_F(HandlerScript, ArgumentsComeSecondThenFirstThenJobId) {
    WriteScript("printf '%s|' \"$0\" \"$@\" > \"$(dirname \"$0\")/args\"\n");
    ScriptEnv env;
    EXPECT_TRUE(FireUserGivenScript(" -a", " -b", 42));
    EXPECT_EQ(ReadFile(dir_.File("Base/args")),
              dir_.File("Base/ImgPodSnapHandler.sh") + "|-b|-a|-jobid|42|");
    EXPECT_EQ(env.starts, 1);
    EXPECT_FALSE(env.HasError(""));
}

TEST_F(HandlerScript, NonZeroExitStillCounts) {
    WriteScript("exit 3\n");
    ScriptEnv env;
    EXPECT_TRUE(FireUserGivenScript("", "", 18446744073709551615ull));
}

TEST_F(HandlerScript, MissingHomeStartsNothing) {
    UseRegistry("[Base]\ndBASEHOME=/opt/x\n");
    WriteScript("touch \"$(dirname \"$0\")/ran\"\n");
    ScriptEnv env;
    EXPECT_FALSE(FireUserGivenScript(" -a", " -b", 1));
    EXPECT_EQ(env.starts, 0);
    EXPECT_TRUE(env.HasError("Failed to retrieve KZPI_TALMARHOME from the KZPI_BASE registry"));
    EXPECT_EQ(::access(dir_.File("Base/ran").c_str(), F_OK), -1);
}

TEST_F(HandlerScript, MissingScriptOrUnreadableRegistryFails) {
    ScriptEnv env;
    EXPECT_FALSE(FireUserGivenScript(" -a", " -b", 1));
    EXPECT_TRUE(env.HasError("Could not execute the script:"));

    // A registry that exists but cannot be read raises the host exception.
    ::setenv("KZVOL_CONFIG", dir_.File("registry.ini/below-a-file").c_str(), 1);
    EXPECT_FALSE(FireUserGivenScript(" -a", " -b", 1));
    EXPECT_TRUE(env.HasError("KzException: "));
}

TEST_F(HandlerScript, ScriptPastThirtyMinutesIsInterrupted) {
    WriteScript(
        "trap 'echo interrupted > \"$(dirname \"$0\")/signal\"; exit 9' INT\n"
        "touch \"$(dirname \"$0\")/ready\"\n"
        "while :; do sleep 0.05; done\n");
    ScriptEnv env;
    env.fake_waits = true;
    env.ready_file = dir_.File("Base/ready");
    const int64_t start = env.NowSeconds();
    EXPECT_FALSE(FireUserGivenScript(" -a", " -b", 7));
    EXPECT_EQ(ReadFile(dir_.File("Base/signal")), "interrupted\n");
    EXPECT_EQ(env.CountLogs("The script ImgPodSnapHandler.sh has taken more than 30 min.Killing it",
                            "FireUserGivenScript"),
              1);
    // Waits of 10 until the clock is past start + 1800, then one without limit.
    ASSERT_EQ(env.waits.size(), 182u);
    EXPECT_EQ(env.waits.front(), 10);
    EXPECT_EQ(env.waits.back(), -1);
    EXPECT_EQ(env.NowSeconds() - start, 1810);
    EXPECT_FALSE(env.HasError("Unable to Kill the script"));
}

TEST_F(HandlerScript, FailedWaitEndsTheCall) {
    WriteScript("exit 0\n");
    ScriptEnv env;
    env.fake_waits = true;
    env.fail_waits = true;
    EXPECT_FALSE(FireUserGivenScript("", "", 1));
    EXPECT_EQ(env.CountLogs("Waiting for the scrip to die failed:lost the child"), 1);
    EXPECT_EQ(env.waits.size(), 1u);
}

}  // namespace
}  // namespace kzvol::testing
