// Lock and Unlock with the recording runner and a mount table written by the test,
// and the unix file lock against other processes.
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
                      const std::string& type = "ext3",
                      const std::string& options = "rw,relatime") {
    return {{device, dir, type, options, "0", "0"}};
}

// A device stand-in that opens: a file under a directory named dev.
class LockUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir((dir_.path() + "/dev").c_str(), 0755), 0);
        device_ = dir_.Write("dev/sdb1", "");
    }
    bool Remembered(KZVolumeUnix& vol, const Lines& expected) {
        if (!vol.m_pszMntFsName || !vol.m_pszMntDir || !vol.m_pszMntType || !vol.m_pszMntOpts)
            return false;
        return Lines{vol.m_pszMntFsName, vol.m_pszMntDir, vol.m_pszMntType, vol.m_pszMntOpts} ==
               expected;
    }
    static bool Forgotten(const KZVolumeUnix& vol) {
        return !vol.m_bLocked && !vol.m_pszMntFsName && !vol.m_pszMntDir && !vol.m_pszMntType &&
               !vol.m_pszMntOpts;
    }
    TempDir dir_;
    std::string device_;
    TestEnv env_;
};

TEST_F(LockUnit, LockUnmountsAndUnlockMountsTheSameEntryAgain) {
    env_.SetMountTable(
        {Entry("proc", "/proc", "proc"), Entry(device_, "/mnt/a"), Entry(device_, "/mnt/b")});
    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    EXPECT_TRUE(vol.m_bLocked);
    EXPECT_TRUE(Remembered(vol, {device_, "/mnt/a", "ext3", "rw,relatime"}));
    EXPECT_EQ(env_.Commands(), Lines{"/bin/umount /mnt/a"});  // only the first entry
    EXPECT_EQ(env_.CountLogs("successfully unmounted=/mnt/a \n", "KZVolumeUnix::Lock:"), 1);

    ASSERT_TRUE(vol.Unlock());
    EXPECT_EQ(env_.Commands(), (Lines{"/bin/umount /mnt/a",
                                      "/bin/mount -t ext3 -o rw,relatime " + device_ + " /mnt/a"}));
    EXPECT_TRUE(Forgotten(vol));
    EXPECT_EQ(env_.CountLogs("successfully mounted=" + device_ + " to mntpath=/mnt/a \n",
                             "KZVolumeUnix::Unlock:"),
              1);
}

TEST_F(LockUnit, SecondLockAndUnlockWithoutLockRunNothing) {
    env_.SetMountTable({Entry(device_, "/mnt/a")});
    KZVolumeUnix fresh(device_);
    EXPECT_TRUE(fresh.Unlock());
    EXPECT_TRUE(fresh.Unlock("xfs", "rw"));
    EXPECT_TRUE(env_.Commands().empty());

    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    ASSERT_TRUE(vol.Lock());
    EXPECT_EQ(env_.Commands().size(), 1u);
    EXPECT_EQ(env_.CountLogs("Volume is Already Locked: " + device_ + " \n"), 1);
    vol.Unlock();
}

TEST_F(LockUnit, MatchesByMountDirectoryWhenNameIsNoDevice) {
    env_.SetMountTable({Entry("/mnt/a", "/elsewhere"), Entry("/dev/sdc1", "/mnt/a")});
    KZVolumeUnix vol("/mnt/a/");  // the trailing slash goes with construction
    ASSERT_TRUE(vol.Lock());
    EXPECT_TRUE(Remembered(vol, {"/dev/sdc1", "/mnt/a", "ext3", "rw,relatime"}));
    EXPECT_EQ(vol.m_hVolume, -1);  // a directory is never opened: it would stay busy
    vol.Unlock();
}

TEST_F(LockUnit, MatchesTheTextOfASymbolicLink) {
    ASSERT_EQ(::mkdir((dir_.path() + "/dev/by-id").c_str(), 0755), 0);
    std::string absolute = dir_.File("dev/abs-link"), relative = dir_.File("dev/by-id/rel-link");
    ASSERT_EQ(::symlink(device_.c_str(), absolute.c_str()), 0);
    ASSERT_EQ(::symlink("../sdb1", relative.c_str()), 0);
    env_.SetMountTable({Entry(device_, "/mnt/a")});
    for (const std::string& name : {absolute, relative}) {
        KZVolumeUnix vol(name);
        ASSERT_TRUE(vol.Lock()) << name;
        EXPECT_TRUE(Remembered(vol, {device_, "/mnt/a", "ext3", "rw,relatime"})) << name;
        vol.Unlock();
    }
    EXPECT_EQ(env_.CountLogs("successfully unmounted=/mnt/a"), 2);
}

TEST_F(LockUnit, NothingMountedLeavesTheVolumeUnlocked) {
    env_.SetMountTable({Entry("/dev/other", "/mnt/a")});
    KZVolumeUnix vol(device_);
    EXPECT_TRUE(vol.Lock());
    EXPECT_TRUE(Forgotten(vol));
    EXPECT_TRUE(env_.Commands().empty());
    EXPECT_TRUE(
        env_.HasError("did not find " + device_ + " in /etc/mtab as mounted filesystem \n"));
}

TEST_F(LockUnit, RefusedUnmountChangesNothing) {
    env_.SetMountTable({Entry(device_, "/mnt/a")});
    env_.QueueCommandResult(32);
    KZVolumeUnix vol(device_);
    EXPECT_FALSE(vol.Lock());
    EXPECT_TRUE(Forgotten(vol));
    EXPECT_TRUE(env_.HasError("failed to unmount=/mnt/a errno="));
    EXPECT_TRUE(vol.Unlock());
    EXPECT_EQ(env_.Commands().size(), 1u);
}

TEST_F(LockUnit, FailedRemountForgetsTheEntryAndAsksForTheUser) {
    env_.SetMountTable({Entry(device_, "/mnt/a")});
    env_.QueueCommandResult(0);
    env_.QueueCommandResult(32);
    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    EXPECT_TRUE(vol.Unlock());
    EXPECT_TRUE(Forgotten(vol));
    EXPECT_TRUE(env_.HasError("failed to mount=" + device_ + " to mntpath=/mnt/a errno="));
    EXPECT_EQ(env_.CountLogs("!!USER intervention required for mounting=" + device_ +
                             " to mntpath=/mnt/a manually \n"),
              1);
    EXPECT_TRUE(vol.Unlock());  // nothing left to mount
    EXPECT_EQ(env_.Commands().size(), 2u);
}

TEST_F(LockUnit, UnopenableDeviceOrUnreadableTableFailsTheLock) {
    KZVolumeUnix missing(dir_.File("dev/absent"));
    EXPECT_FALSE(missing.Lock());
    EXPECT_TRUE(env_.HasError("Failed to Lock : Invalid volume handle=-1 \n"));

    struct NoTable : TestEnv {
        bool ReadMountTable(std::vector<MountTableEntry>*) override {
            errno = EACCES;
            return false;
        }
    } noTable;
    KZVolumeUnix vol(device_);
    EXPECT_FALSE(vol.Lock());
    EXPECT_TRUE(
        noTable.HasError("open /etc/mtab failed for locking device=" + device_ + " errno=13 \n"));
    EXPECT_TRUE(Forgotten(vol));
}

// Lock the xfs entry, then remount it with `type` and `options`; the mount command.
std::string TypedRemount(TestEnv& env, const std::string& device, const std::string& type,
                         const std::string& options) {
    KZVolumeUnix vol(device);
    if (!vol.Lock())
        return "lock failed";
    vol.Unlock(type, options);
    return env.Commands().back();
}

TEST_F(LockUnit, TypedUnlockAddsNouuidForXfsOnly) {
    env_.SetMountTable({Entry(device_, "/mnt/a", "xfs", "rw,attr2")});
    EXPECT_EQ(TypedRemount(env_, device_, "xfs", ""),
              "/bin/mount -t xfs -o nouuid " + device_ + " /mnt/a");
    EXPECT_EQ(TypedRemount(env_, device_, "xfs", "rw"),
              "/bin/mount -t xfs -o rw,nouuid " + device_ + " /mnt/a");
    EXPECT_EQ(TypedRemount(env_, device_, "ext3", "ro"),
              "/bin/mount -t ext3 -o ro " + device_ + " /mnt/a");
    EXPECT_EQ(env_.CountLogs("successfully mounted=", "KZVolumeUnix::Unlock:1"), 3);

    // The plain form remounts with the remembered options as they are.
    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    vol.Unlock();
    EXPECT_EQ(env_.Commands().back(), "/bin/mount -t xfs -o rw,attr2 " + device_ + " /mnt/a");
}

TEST_F(LockUnit, HostileMountDirectoryIsQuoted) {
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
    FileLockVolume(const std::string& name, std::string lockFile)
        : KZVolumeUnix(name), lockFile_(std::move(lockFile)) {}
    std::string BuildSliceNameForUnixFileLock(std::string& volume) override {
        return volume.empty() ? std::string() : lockFile_;
    }

  private:
    std::string lockFile_;
};

// Whether another process can take the lock on `path` at this moment.
bool OtherProcessCanLock(const std::string& path) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(path.c_str(), O_RDWR);
        _exit(fd >= 0 && ::lockf(fd, F_TLOCK, 0) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(UnixFileLock, PlainVolumeHasNoLockFile) {
    KZVolumeUnix vol("/dev/sdb1");
    EXPECT_FALSE(vol.ObtainUnixFileLock());
    EXPECT_EQ(vol.m_strLockFilePath, "");
    EXPECT_FALSE(vol.ReleaseUnixFileLock());
}

TEST(UnixFileLock, LockExcludesOtherProcessesUntilReleased) {
    TempDir dir;
    const std::string path = dir.File("sdb1.lock");
    const int descriptors = OpenDescriptorCount();
    {
        FileLockVolume vol("/dev/sdb1", path);
        ASSERT_TRUE(vol.ObtainUnixFileLock());
        EXPECT_EQ(vol.m_strLockFilePath, path);
        EXPECT_FALSE(OtherProcessCanLock(path));
        // A second object of this process shares the process's lock; taking it must
        // not drop it.
        FileLockVolume again("/dev/sdb1", path);
        EXPECT_TRUE(again.ObtainUnixFileLock());
        EXPECT_FALSE(OtherProcessCanLock(path));

        ASSERT_TRUE(vol.ReleaseUnixFileLock());
        EXPECT_TRUE(OtherProcessCanLock(path));
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST(UnixFileLock, LockHeldByAnotherProcessIsRefused) {
    TempDir dir;
    const std::string path = dir.Write("sdb1.lock", "");
    LockHolder holder(path);
    ASSERT_TRUE(holder.held());
    FileLockVolume vol("/dev/sdb1", path);
    EXPECT_FALSE(vol.ObtainUnixFileLock());
    holder.Release();
    EXPECT_TRUE(vol.ObtainUnixFileLock());
    EXPECT_TRUE(vol.ReleaseUnixFileLock());
}

}  // namespace
}  // namespace kzvol::testing
