// The snapshot handler script with real scripts; its 30-minute limit passes at once on
// the fake clock, which a child wrapper advances by each wait's time-out.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "tests/support/TestEnv.h"
#include "volume/HandlerScript.h"

namespace kzvol::testing {
namespace {

// Counts starts. Given a ready file (signals are handled), a timed wait polls the real child.
struct ScriptEnv : TestEnv {
    int starts = 0;
    std::vector<int> waits;
    std::string ready_file;

    std::unique_ptr<ChildProcess> StartProcess(const std::string& path,
                                               const std::string& arguments,
                                               std::string* error) override {
        ++starts;
        auto child = EnvWrapper::StartProcess(path, arguments, error);
        return child && !ready_file.empty()
                   ? std::make_unique<FakeClockChild>(std::move(child), this)
                   : std::move(child);
    }
    struct FakeClockChild : ChildProcess {
        FakeClockChild(std::unique_ptr<ChildProcess> real, ScriptEnv* env)
            : real_(std::move(real)), env_(env) {}
        pid_t Pid() const override { return real_->Pid(); }
        bool Wait(int timeoutSec, int* exitCode, std::string* error) override {
            env_->waits.push_back(timeoutSec);
            if (timeoutSec < 0)
                return real_->Wait(-1, exitCode, error);
            for (int i = 0; i < 500 && ::access(env_->ready_file.c_str(), F_OK) != 0; ++i)
                ::usleep(10000);
            const bool ended = real_->Wait(0, exitCode, error);
            env_->AdvanceClock(ended ? 0 : timeoutSec);
            return ended;
        }
        std::unique_ptr<ChildProcess> real_;
        ScriptEnv* env_;
    };
};

// The home named by the registry has a blank: the script's path is one word all the same.
class HandlerScript : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir_.File("my home").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(dir_.File("my home/Base").c_str(), 0755), 0);
        UseRegistry(
            dir_.Write("registry.ini", "[Base]\ndTALMARHOME=" + dir_.File("my home") + "\n"));
    }
    void TearDown() override { ::unsetenv("KZVOL_CONFIG"); }
    void UseRegistry(const std::string& path) { ::setenv("KZVOL_CONFIG", path.c_str(), 1); }
    void WriteScript(const std::string& body) {
        const std::string text = "#!/bin/sh\ncd \"$(dirname \"$0\")\"\n" + body;
        ASSERT_EQ(::chmod(dir_.Write("my home/Base/ImgPodSnapHandler.sh", text).c_str(), 0755), 0);
    }
    TempDir dir_;
};

// Arguments go second, first, job id; the exit status is ignored. Without script,
// home or readable registry the answer is false; the last two start nothing.
TEST_F(HandlerScript, ArgumentsOrderAndWhatIsFalse) {
    ScriptEnv env;
    EXPECT_FALSE(FireUserGivenScript(" -a", " -b", 1));  // no script yet
    WriteScript("printf '%s|' \"$0\" \"$@\" > args\nexit 3\n");
    EXPECT_TRUE(FireUserGivenScript(" -a", " -b", 42));
    EXPECT_EQ(ReadFile(dir_.File("my home/Base/args")),
              dir_.File("my home/Base/ImgPodSnapHandler.sh") + "|-b|-a|-jobid|42|");
    EXPECT_EQ(env.starts, 2);
    UseRegistry(dir_.Write("registry.ini", "[Base]\ndBASEHOME=/opt/x\n"));
    EXPECT_FALSE(FireUserGivenScript(" -a", " -b", 1));
    UseRegistry(dir_.File("registry.ini/below-a-file"));
    EXPECT_TRUE(!FireUserGivenScript(" -a", " -b", 1) && env.starts == 2);
}

TEST_F(HandlerScript, ScriptPastThirtyMinutesIsInterrupted) {
    WriteScript(
        "trap 'echo interrupted > signal; exit 9' INT\ntouch ready\n"
        "while :; do sleep 0.05; done\n");
    ScriptEnv env;
    env.ready_file = dir_.File("my home/Base/ready");
    const int64_t start = env.NowSeconds();
    EXPECT_FALSE(FireUserGivenScript(" -a", " -b", 7));
    EXPECT_EQ(ReadFile(dir_.File("my home/Base/signal")), "interrupted\n");
    EXPECT_EQ(env.NowSeconds() - start, 1810);  // waits of 10 s past 1800 s, one without limit
    EXPECT_TRUE(env.waits.size() == 182 && env.waits.back() == -1 &&
                std::count(env.waits.begin(), env.waits.end(), 10) == 181);
}

}  // namespace
}  // namespace kzvol::testing
