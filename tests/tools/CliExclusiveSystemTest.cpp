// kzvol exclusive on real mounts: the file system is unmounted while the command
// runs and mounted again whatever becomes of the command or of kzvol.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "host/ShellQuote.h"
#include "tests/support/MountedImage.h"
#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"

extern char** environ;

namespace kzvol::testing {
namespace {

std::string Cli() {
    return KZVOL_CLI;
}

class CliExclusiveSystem : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped())
            return;
        image_ = std::make_unique<MountedImage>(dir_.path(), "ext3", dir_.File("mnt"));
        ASSERT_TRUE(image_->ok()) << image_->error();
        ASSERT_FALSE(dir_.Write("mnt/data", "kept").empty());
    }
    std::string Mnt() const { return image_->dir(); }
    std::string Dev() const { return image_->device(); }
    // The command's exit status when the file system is still mounted: 9.
    std::string FailUnlessUnmounted(int status) const {
        return "sh -c " +
               ShellQuote("mountpoint -q " + Mnt() + " && exit 9; exit " + std::to_string(status));
    }
    bool MountedWithData() const {
        return RealMountOn(Mnt()).fields[0] == Dev() && ReadFile(Mnt() + "/data") == "kept";
    }

    TempDir dir_;
    std::unique_ptr<MountedImage> image_;
};

TEST_F(CliExclusiveSystem, FailingCommandStillRemounts) {
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Dev() + " -- " + FailUnlessUnmounted(3)), 3);
    EXPECT_TRUE(MountedWithData());
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Mnt() + " -- " + FailUnlessUnmounted(0)), 0);
    EXPECT_TRUE(MountedWithData());
}

TEST_F(CliExclusiveSystem, TypeAndOptionsApplyToTheRemount) {
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Mnt() + " --type ext3 --options ro -- true"),
              0);
    EXPECT_EQ(RealMountOn(Mnt()).fields[3].rfind("ro,", 0), 0u) << RealMountOn(Mnt()).fields[3];
    EXPECT_TRUE(MountedWithData());
}

TEST_F(CliExclusiveSystem, InterruptedRunStillRemounts) {
    for (int sig : {SIGTERM, SIGINT}) {
        const std::string ready = dir_.File("ready");
        ::unlink(ready.c_str());
        const std::string command = "mountpoint -q " + ShellQuote(Mnt()) + " && exit 9; touch " +
                                    ShellQuote(ready) + "; exec sleep 60";
        std::vector<std::string> words = {Cli(), "exclusive", Dev(), "--", "sh", "-c", command};
        std::vector<char*> argv;
        for (auto& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        auto start = std::chrono::steady_clock::now();
        while (::access(ready.c_str(), F_OK) != 0 &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(::access(ready.c_str(), F_OK), 0) << "the command did not start unmounted";
        ::kill(pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        // The signal reached the command too: it did not sleep its minute out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        ASSERT_TRUE(WIFEXITED(status)) << sig;
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
        EXPECT_TRUE(MountedWithData()) << sig;
    }
}

TEST_F(CliExclusiveSystem, FailedRemountIsSaidWithTheCommandToMountByHand) {
    std::string out;
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Dev() + " -- rmdir " + Mnt() + " 2>&1", &out),
              1);
    EXPECT_FALSE(IsMounted(Mnt()));
    EXPECT_NE(out.find("kzvol: REMOUNT FAILED: " + Dev() + " is not mounted on " + Mnt()),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("kzvol: mount it by hand: /bin/mount -t ext3 -o "), std::string::npos)
        << out;
    EXPECT_NE(out.find(" " + Dev() + " " + Mnt() + "\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace kzvol::testing
