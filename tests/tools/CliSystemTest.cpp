// kzvol on real mounts, loop devices and FUSE: exclusive remounts whatever happens,
// index reads a block device as its image, mount serves a point as its restore.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "host/Handles.h"
#include "host/ShellQuote.h"
#include "tests/support/MountedImage.h"
#include "tests/tools/PointRepository.h"

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
    // A command running `then` when the file system is unmounted, else exiting with 9.
    std::string Unmounted(const std::string& then) const {
        return "sh -c " + ShellQuote("mountpoint -q " + Mnt() + " && exit 9; " + then);
    }
    bool MountedWithData() const {
        return RealMountOn(Mnt()).fields[0] == Dev() && ReadFile(Mnt() + "/data") == "kept";
    }

    TempDir dir_;
    std::unique_ptr<MountedImage> image_;
};

// Signals are passed on; a device left unmounted runs the command only when nobody holds it.
TEST_F(CliExclusiveSystem, RemountsWhateverHappensAndSaysHowWhenItCannot) {
    Sh(3, Cli() + " exclusive " + Dev() + " -- " + Unmounted("exit 3"));
    EXPECT_TRUE(MountedWithData());
    Sh(0, Cli() + " exclusive " + Mnt() + " -- " + Unmounted("exit 0"));
    EXPECT_TRUE(MountedWithData());
    Sh(0, Cli() + " exclusive " + Mnt() + " --type ext3 --options ro -- true");
    EXPECT_THAT(RealMountOn(Mnt()).fields[3], StartsWith("ro,"));
    EXPECT_TRUE(MountedWithData());

    const std::string ready = dir_.File("ready");
    for (const int sig : {SIGTERM, SIGINT}) {
        ::unlink(ready.c_str());
        const std::string script = "set -m; " + Cli() + " exclusive " + Dev() + " -- " +
                                   Unmounted("touch " + ready + "; exec sleep 60") +
                                   " & for i in $(seq 2000); do [ -e " + ready +
                                   " ] && break; sleep 0.01; done; kill -" + std::to_string(sig) +
                                   " $!; wait $!; echo $?";
        EXPECT_EQ(Sh(0, "timeout 30 bash -c " + ShellQuote(script) + " 2>/dev/null"),
                  std::to_string(128 + sig) + "\n");
        EXPECT_TRUE(MountedWithData()) << sig;
    }

    EXPECT_THAT(Sh(1, Cli() + " exclusive " + Dev() + " -- rmdir " + Mnt() + " 2>&1"),
                AllOf(HasSubstr("kzvol: REMOUNT FAILED: " + Dev() + " is not mounted on " + Mnt()),
                      HasSubstr("kzvol: mount it by hand: /bin/mount -t ext3 -o "),
                      HasSubstr(" " + Dev() + " " + Mnt() + "\n")));
    ASSERT_FALSE(IsMounted(Mnt()));

    const std::string exclusive = Cli() + " exclusive " + Dev() + " -- sh -c 'exit 4' 2>&1";
    EXPECT_THAT(Sh(4, exclusive), HasSubstr("is not mounted; running the command as it is"));
    UniqueFd holder(::open(Dev().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    EXPECT_THAT(Sh(1, exclusive), HasSubstr("the command did not run"));
}

using CliIndexSystem = SystemTest;

TEST_F(CliIndexSystem, BlockDeviceRowsEqualTheImage) {
    TempDir dir;
    const std::string image = dir.File("fs.img");
    Sh(0,
       "cd " + dir.path() +
           " && mkdir -p src/a/b src/c && printf 1 > src/a/f && printf 22 > src/c/g && ln src/c/g "
           "src/a/g2 && ln -s f src/a/l && mkfifo src/p && truncate -s 5G src/a/big && for i in "
           "$(seq 300); do : > src/c/n$i; done && mke2fs -q -F -t ext3 -d src " +
           image + " 16M 2>/dev/null");
    LoopDevice loop(image, true);
    ASSERT_TRUE(loop.ok()) << loop.error();
    const auto rows = [&](const std::string& source, const std::string& table) {
        return Sh(0, Cli() + " index " + source + " --table " + dir.File(table) +
                         " >/dev/null && " + Cli() + " rows " + dir.File(table));
    };
    const std::string fromDevice = rows(loop.path(), "dev");
    EXPECT_EQ(fromDevice, rows(image, "img"));
    EXPECT_GT(Split(fromDevice).size(), 300u);
}

using MountSystem = SystemTest;

TEST_F(MountSystem, TheImageEqualsTheRestoreAndADamagedExtentAnswersEio) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "no usable /dev/fuse: FUSE mounts cannot be tested here";
    TempDir dir;
    PointRepository point(dir, 1024);
    ASSERT_FALSE(HasFailure());
    const std::string mnt = dir.File("mnt"), image = mnt + "/image", restored = dir.File("r.img");
    ::mkdir(mnt.c_str(), 0700);
    // Whatever the test's outcome, no server outlives it.
    const std::shared_ptr<void> unmount(
        nullptr, [&](void*) { RunCommandLine(Cli() + " umount " + mnt + " 2>/dev/null"); });
    point.Run(0, "restore " + point.repo() + " --to " + restored);
    point.Run(0, "mount " + point.repo() + " " + mnt);
    Sh(0, "cmp " + image + " " + restored);
    EXPECT_EQ(std::filesystem::status(image).permissions(), std::filesystem::perms(0400));
    point.Run(0, "umount " + mnt);
    EXPECT_NE(::access(image.c_str(), F_OK), 0);
    point.Run(1, "umount " + mnt);

    // Extent 3 of the full backup damaged: its range fails, the others read.
    DamageExtent(point.repo(), "000001", 3);
    point.Run(0, "mount " + point.repo() + " --backup 000001 " + mnt);
    const std::string read = "dd of=/dev/null bs=4096 count=1 if=" + image + " 2>&1 skip=";
    EXPECT_THAT(Sh(1, read + std::to_string(3 * 16 + 1)), HasSubstr("Input/output error"));
    Sh(0, read + std::to_string(5 * 16));
    point.Run(0, "umount " + mnt);
}

}  // namespace
}  // namespace kzvol::testing
