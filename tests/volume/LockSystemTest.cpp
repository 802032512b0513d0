// Lock and Unlock on real mounts of loop devices in the test's own namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/MountedImage.h"
#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

using Lines = std::vector<std::string>;

// Records the commands and runs them for real, on the real mount table.
class RealMountsEnv : public TestEnv {
  public:
    RealMountsEnv() { set_run_commands(true); }
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        return EnvWrapper::ReadMountTable(entries);
    }
};

class LockSystem : public SystemTest {
  protected:
    // Mounts a fresh `type` file system on <temp>/<name> holding the file "data".
    void MountImage(const std::string& type = "ext3", const std::string& name = "mnt",
                    unsigned long long bytes = 16ull << 20) {
        image_ = std::make_unique<MountedImage>(dir_.path(), type, dir_.File(name), bytes);
        ASSERT_TRUE(image_->ok()) << image_->error();
        ASSERT_FALSE(dir_.Write(name + "/data", "kept").empty());
    }
    std::string Mnt() const { return image_->dir(); }
    std::string Dev() const { return image_->device(); }
    bool DataIsBack() const { return ReadFile(Mnt() + "/data") == "kept"; }

    TempDir dir_;
    std::unique_ptr<MountedImage> image_;
};

// Named by its device, a symbolic link to it or its mount directory.
TEST_F(LockSystem, LockThenUnlockRemountsWithTheSameTypeAndOptions) {
    MountImage();
    const std::string options = RealMountOn(Mnt()).fields[3];
    ASSERT_EQ(::mkdir(dir_.File("dev").c_str(), 0755), 0);
    const std::string link = dir_.File("dev/volume-link");
    ASSERT_EQ(::symlink(Dev().c_str(), link.c_str()), 0);
    for (const std::string& name : {Dev(), link, Mnt()}) {
        SCOPED_TRACE(name);
        RealMountsEnv env;
        KZVolumeUnix vol(name);
        ASSERT_TRUE(vol.Lock());
        EXPECT_FALSE(IsMounted(Mnt()));
        EXPECT_TRUE(vol.m_bLocked);
        EXPECT_EQ((Lines{vol.m_pszMntFsName, vol.m_pszMntDir, vol.m_pszMntType, vol.m_pszMntOpts}),
                  (Lines{Dev(), Mnt(), "ext3", options}));
        ASSERT_TRUE(vol.Unlock());
        EXPECT_EQ(env.Commands(),
                  (Lines{"/bin/umount " + Mnt(),
                         "/bin/mount -t ext3 -o " + options + " " + Dev() + " " + Mnt()}));
        EXPECT_EQ(RealMountOn(Mnt()).fields, (Lines{Dev(), Mnt(), "ext3", options, "0", "0"}));
        EXPECT_TRUE(DataIsBack());
        EXPECT_FALSE(vol.m_bLocked);
        EXPECT_EQ(vol.m_pszMntDir, nullptr);
    }
}

TEST_F(LockSystem, TypedUnlockOfXfsMountsWithNouuid) {
    if (RunCommandLine("command -v mkfs.xfs >/dev/null") != 0)
        GTEST_SKIP() << "mkfs.xfs is not installed; the recorded command is checked by unit tests";
    MountImage("xfs", "mnt", 320ull << 20);  // xfs wants at least 300 MiB
    RealMountsEnv env;
    KZVolumeUnix vol(Dev());
    ASSERT_TRUE(vol.Lock());
    EXPECT_EQ(std::string(vol.m_pszMntType), "xfs");
    vol.Unlock("xfs", "");
    EXPECT_EQ(env.Commands().back(), "/bin/mount -t xfs -o nouuid " + Dev() + " " + Mnt());
    EXPECT_NE(RealMountOn(Mnt()).fields[3].find("nouuid"), std::string::npos);
    EXPECT_TRUE(DataIsBack());
}

TEST_F(LockSystem, BusyFileSystemRefusesTheUnmount) {
    MountImage();
    int busy = ::open((Mnt() + "/data").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    RealMountsEnv env;
    KZVolumeUnix vol(Dev());
    EXPECT_FALSE(vol.Lock());
    ::close(busy);
    EXPECT_TRUE(IsMounted(Mnt()));
    EXPECT_FALSE(vol.m_bLocked);
    EXPECT_EQ(vol.m_pszMntFsName, nullptr);
    EXPECT_TRUE(env.HasError("failed to unmount=" + Mnt() + " errno="));
}

TEST_F(LockSystem, MountPointWithBlanksQuotesAndCommandsInItsName) {
    const std::string name = "it's a b; touch pwned; $(touch pwned2)";
    MountImage("ext3", name);
    // Anything the shell were made to run would land here.
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    RealMountsEnv env;
    {
        KZVolumeUnix vol(Dev());
        EXPECT_TRUE(vol.Lock());
        EXPECT_FALSE(IsMounted(Mnt()));
        ASSERT_NE(vol.m_pszMntDir, nullptr);
        EXPECT_EQ(std::string(vol.m_pszMntDir), Mnt());
        vol.Unlock();
    }
    EXPECT_EQ(::chdir(previous), 0);
    EXPECT_TRUE(DataIsBack());
    EXPECT_EQ(RealMountOn(Mnt()).fields[0], Dev());
    EXPECT_EQ(::access(dir_.File("pwned").c_str(), F_OK), -1);
    EXPECT_EQ(::access(dir_.File("pwned2").c_str(), F_OK), -1);
    EXPECT_EQ(env.Commands().front(),
              "/bin/umount '" + dir_.path() + "/it'\\''s a b; touch pwned; $(touch pwned2)'");
}

}  // namespace
}  // namespace kzvol::testing
