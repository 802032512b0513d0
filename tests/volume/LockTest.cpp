// Lock and Unlock with the recording runner and a mount table written by the test,
// and the unix file lock against another process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/TestEnv.h"
#include "tests/volume/LockHolder.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

using Lines = std::vector<std::string>;

MountTableEntry Entry(const std::string& device, const std::string& dir,
                      const std::string& type = "ext3") {
    return {{device, dir, type, "rw,relatime", "0", "0"}};
}

Lines Remembered(const KZVolumeUnix& vol) {
    Lines out;
    for (const char* s : {vol.m_pszMntFsName, vol.m_pszMntDir, vol.m_pszMntType, vol.m_pszMntOpts})
        out.push_back(s ? s : "<null>");
    return out;
}

const Lines kNothing = {"<null>", "<null>", "<null>", "<null>"};

// A device stand-in that opens: a file under a directory named dev.
class LockUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir_.File("dev").c_str(), 0755), 0);
        device_ = dir_.Write("dev/sdb1", "");
    }
    TempDir dir_;
    std::string device_;
    TestEnv env_;
};

TEST_F(LockUnit, LockUnmountsTheFirstEntryAndUnlockMountsItAgainExactly) {
    env_.SetMountTable(
        {Entry("proc", "/proc"), Entry(device_, "/mnt/a"), Entry(device_, "/mnt/b")});
    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    EXPECT_TRUE(vol.m_bLocked);
    EXPECT_EQ(Remembered(vol), (Lines{device_, "/mnt/a", "ext3", "rw,relatime"}));
    ASSERT_TRUE(vol.Lock());  // already locked: nothing more is run
    EXPECT_EQ(env_.CountLogs("Volume is Already Locked: " + device_ + " \n"), 1);

    ASSERT_TRUE(vol.Unlock());
    EXPECT_EQ(env_.Commands(), (Lines{"/bin/umount /mnt/a",
                                      "/bin/mount -t ext3 -o rw,relatime " + device_ + " /mnt/a"}));
    EXPECT_FALSE(vol.m_bLocked);
    EXPECT_EQ(Remembered(vol), kNothing);
    ASSERT_TRUE(vol.Unlock());  // without a Lock: nothing is run
    EXPECT_EQ(env_.Commands().size(), 2u);
}

TEST_F(LockUnit, MatchesByMountDirectoryOrThroughASymbolicLink) {
    ASSERT_EQ(::mkdir(dir_.File("dev/by-id").c_str(), 0755), 0);
    const std::string absolute = dir_.File("dev/abs"), relative = dir_.File("dev/by-id/rel");
    ASSERT_EQ(::symlink(device_.c_str(), absolute.c_str()), 0);
    ASSERT_EQ(::symlink("../sdb1", relative.c_str()), 0);
    env_.SetMountTable({Entry("/mnt/a", "/elsewhere"), Entry(device_, "/mnt/a")});
    for (const std::string& name : {absolute, relative, std::string("/mnt/a/")}) {
        KZVolumeUnix vol(name);
        ASSERT_TRUE(vol.Lock()) << name;
        EXPECT_EQ(Remembered(vol), (Lines{device_, "/mnt/a", "ext3", "rw,relatime"})) << name;
        vol.Unlock();
    }
    EXPECT_EQ(env_.CountLogs("successfully unmounted=/mnt/a \n", "KZVolumeUnix::Lock:"), 3);
}

TEST_F(LockUnit, NotMountedRefusedOrUnreadableLeavesNothingRemembered) {
    KZVolumeUnix vol(device_);
    env_.SetMountTable({Entry("/dev/other", "/mnt/a")});
    EXPECT_TRUE(vol.Lock());
    EXPECT_TRUE(
        env_.HasError("did not find " + device_ + " in /etc/mtab as mounted filesystem \n"));
    EXPECT_TRUE(env_.Commands().empty());

    env_.SetMountTable({Entry(device_, "/mnt/a")});
    env_.QueueCommandResult(32);
    EXPECT_FALSE(vol.Lock());
    EXPECT_TRUE(env_.HasError("failed to unmount=/mnt/a errno="));
    EXPECT_FALSE(vol.m_bLocked);
    EXPECT_EQ(Remembered(vol), kNothing);

    KZVolumeUnix missing(dir_.File("dev/absent"));
    EXPECT_FALSE(missing.Lock());
    EXPECT_TRUE(env_.HasError("Failed to Lock : Invalid volume handle=-1 \n"));

    struct NoTable : TestEnv {
        bool ReadMountTable(std::vector<MountTableEntry>*) override {
            errno = EACCES;
            return false;
        }
    } noTable;
    EXPECT_FALSE(vol.Lock());
    EXPECT_TRUE(
        noTable.HasError("open /etc/mtab failed for locking device=" + device_ + " errno=13 \n"));
}

TEST_F(LockUnit, FailedRemountForgetsTheEntryAndAsksForTheUser) {
    env_.SetMountTable({Entry(device_, "/mnt/a")});
    env_.QueueCommandResult(0);
    env_.QueueCommandResult(32);
    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    EXPECT_TRUE(vol.Unlock());
    EXPECT_FALSE(vol.m_bLocked);
    EXPECT_EQ(Remembered(vol), kNothing);
    EXPECT_TRUE(env_.HasError("failed to mount=" + device_ + " to mntpath=/mnt/a errno="));
    EXPECT_EQ(env_.CountLogs("!!USER intervention required for mounting=" + device_ +
                             " to mntpath=/mnt/a manually \n"),
              1);
}

TEST_F(LockUnit, TypedUnlockAddsNouuidForXfsAndThePlainFormNever) {
    env_.SetMountTable({Entry(device_, "/mnt/a", "xfs")});
    const std::vector<std::pair<std::string, std::string>> typed = {
        {"xfs", ""}, {"xfs", "rw"}, {"ext3", "ro"}, {"", ""}};
    for (const auto& [type, options] : typed) {
        KZVolumeUnix vol(device_);
        ASSERT_TRUE(vol.Lock());
        if (type.empty())
            vol.Unlock();
        else
            vol.Unlock(type, options);
    }
    const Lines mounts = {env_.Commands()[1], env_.Commands()[3], env_.Commands()[5],
                          env_.Commands()[7]};
    const std::string tail = " " + device_ + " /mnt/a";
    EXPECT_EQ(
        mounts,
        (Lines{"/bin/mount -t xfs -o nouuid" + tail, "/bin/mount -t xfs -o rw,nouuid" + tail,
               "/bin/mount -t ext3 -o ro" + tail, "/bin/mount -t xfs -o rw,relatime" + tail}));
    EXPECT_EQ(env_.CountLogs("successfully mounted=", "KZVolumeUnix::Unlock:1"), 3);
}

TEST_F(LockUnit, HostileNamesAreQuoted) {
    const std::string dir = "/mnt/my disk's; rm -rf x";
    env_.SetMountTable({Entry(device_, dir)});
    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    vol.Unlock("ext3", "rw,$(reboot)");
    EXPECT_EQ(env_.Commands(), (Lines{"/bin/umount '/mnt/my disk'\\''s; rm -rf x'",
                                      "/bin/mount -t ext3 -o 'rw,$(reboot)' " + device_ +
                                          " '/mnt/my disk'\\''s; rm -rf x'"}));
}

// A volume class that names a lock file.
class FileLockVolume : public KZVolumeUnix {
  public:
    explicit FileLockVolume(std::string lockFile)
        : KZVolumeUnix("/dev/sdb1"), lockFile_(std::move(lockFile)) {}
    std::string BuildSliceNameForUnixFileLock(std::string&) override { return lockFile_; }

  private:
    std::string lockFile_;
};

bool OtherProcessCanLock(const std::string& path) {
    LockHolder other(path);
    return other.held();
}

TEST(UnixFileLock, ExcludesOtherProcessesUntilReleased) {
    KZVolumeUnix plain("/dev/sdb1");
    EXPECT_FALSE(plain.ObtainUnixFileLock());  // no lock-file name
    EXPECT_FALSE(plain.ReleaseUnixFileLock());

    TempDir dir;
    const std::string path = dir.File("sdb1.lock");
    const int descriptors = OpenDescriptorCount();
    {
        FileLockVolume vol(path), again(path);
        ASSERT_TRUE(vol.ObtainUnixFileLock());
        EXPECT_EQ(vol.m_strLockFilePath, path);
        EXPECT_FALSE(OtherProcessCanLock(path));
        // The lock belongs to the process: taking it again must not drop it.
        EXPECT_TRUE(again.ObtainUnixFileLock());
        EXPECT_FALSE(OtherProcessCanLock(path));
        ASSERT_TRUE(vol.ReleaseUnixFileLock());
        EXPECT_TRUE(OtherProcessCanLock(path));
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    LockHolder holder(path);
    ASSERT_TRUE(holder.held());
    FileLockVolume vol(path);
    EXPECT_FALSE(vol.ObtainUnixFileLock());
    holder.Release();
    EXPECT_TRUE(vol.ObtainUnixFileLock());
    EXPECT_TRUE(vol.ReleaseUnixFileLock());
}

}  // namespace
}  // namespace kzvol::testing
