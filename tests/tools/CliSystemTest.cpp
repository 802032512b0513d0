// kzvol on real mounts and loop devices. exclusive: the file system is unmounted
// while the command runs and mounted again whatever becomes of the command or of
// kzvol. index on a block device: the rows equal what the image file gives (and
// those what debugfs sees: CliIndexTest).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "host/Handles.h"
#include "host/ShellQuote.h"
#include "tests/support/Kzvol.h"
#include "tests/support/MountedImage.h"
#include "tests/support/SystemHarness.h"

extern char** environ;

namespace kzvol::testing {
namespace {

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

TEST_F(CliExclusiveSystem, FailingCommandStillRemountsAndTypeAndOptionsApply) {
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Dev() + " -- " + FailUnlessUnmounted(3)), 3);
    EXPECT_TRUE(MountedWithData());
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Mnt() + " -- " + FailUnlessUnmounted(0)), 0);
    EXPECT_TRUE(MountedWithData());
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Mnt() + " --type ext3 --options ro -- true"),
              0);
    EXPECT_EQ(RealMountOn(Mnt()).fields[3].rfind("ro,", 0), 0u) << RealMountOn(Mnt()).fields[3];
    EXPECT_TRUE(MountedWithData());
}

// With nothing mounted on it, a block device is exclusive only while nobody else
// holds it open exclusively.
TEST_F(CliExclusiveSystem, UnmountedDeviceRunsTheCommandOnlyWhenNobodyHoldsIt) {
    ASSERT_EQ(::umount(Mnt().c_str()), 0);
    std::string out;
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Dev() + " -- sh -c 'exit 4' 2>&1", &out), 4);
    EXPECT_NE(out.find("is not mounted; running the command as it is"), std::string::npos) << out;
    UniqueFd holder(::open(Dev().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + Dev() + " -- sh -c 'exit 4' 2>&1", &out), 1);
    EXPECT_NE(out.find("the command did not run"), std::string::npos) << out;
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

class CliIndexSystem : public SystemTest {};

TEST_F(CliIndexSystem, BlockDeviceRowsEqualTheImage) {
    TempDir dir;
    ASSERT_EQ(RunCommandLine("cd " + dir.path() +
                             " && mkdir -p src/a/b src/c && printf 1 > src/a/f && "
                             "printf 22 > src/c/g && ln src/c/g src/a/g2 && ln -s f src/a/l && "
                             "mkfifo src/p && truncate -s 5G src/a/big && "
                             "for i in $(seq 300); do : > src/c/n$i; done"),
              0);
    std::string image = dir.File("fs.img");
    ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext3 -d " + dir.File("src") + " " + image +
                             " 16M 2>/dev/null"),
              0);
    LoopDevice loop(image, true);
    ASSERT_TRUE(loop.ok()) << loop.error();

    std::string out, fromDevice, fromImage;
    const std::string cli = Cli();
    ASSERT_EQ(RunCommandLine(cli + " index " + loop.path() + " --table " + dir.File("dev"), &out),
              0)
        << out;
    ASSERT_EQ(RunCommandLine(cli + " rows " + dir.File("dev"), &fromDevice), 0);
    ASSERT_EQ(RunCommandLine(cli + " index " + image + " --table " + dir.File("img"), &out), 0);
    ASSERT_EQ(RunCommandLine(cli + " rows " + dir.File("img"), &fromImage), 0);
    EXPECT_EQ(fromDevice, fromImage);
    EXPECT_GT(Split(fromDevice).size(), 300u);
}

}  // namespace
}  // namespace kzvol::testing
