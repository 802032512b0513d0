// Mount-table lookups, Lock/Unlock on test-written mount tables; stream and file locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>

#include "host/Handles.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

using Lines = std::vector<std::string>;

struct LockHolder {
    explicit LockHolder(const std::string& path) : pid_(::fork()) {
        if (pid_ == 0) {
            int fd = ::open(path.c_str(), O_RDWR);
            struct flock whole = {F_WRLCK, SEEK_SET, 0, 0, 0};
            if (fd >= 0 && ::fcntl(fd, F_SETLK, &whole) == 0)
                ::raise(SIGSTOP);
            _exit(0);
        }
        int status = 0;
        held = ::waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
    }
    ~LockHolder() { Release(); }
    static bool CanLock(const std::string& path) { return LockHolder(path).held; }
    void Release() {
        if (std::exchange(held, false) && ::kill(pid_, SIGKILL) == 0)
            ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid_;
    bool held = false;
};

MountTableEntry Entry(const std::string& device, const std::string& dir,
                      const std::string& type = "ext3") {
    return {{device, dir, type, "rw,relatime", "0", "0"}};
}

struct TableEnv : TestEnv {
    bool readable = true;
    int reads = 0;
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        ++reads;
        errno = EACCES;
        return readable && TestEnv::ReadMountTable(entries);
    }
};

// An unreadable table finds nothing; names under /dev/qnbf need no table.
TEST(MountLookups, FirstExactMatchInTableOrder) {
    TableEnv env;
    auto RawDevOf = [](std::string dir) { return std::string(getrawdev(dir.data())); };
    auto MountPointOf = [](std::string device) {
        std::unique_ptr<char, void (*)(void*)> dir(kz_getmountpoint(device.data()), std::free);
        return std::string(dir ? dir.get() : "<null>");
    };
    env.SetMountTable({Entry("proc", "/proc"), Entry("/dev/sdb1", "/mnt/a"),
                       Entry("/dev/sdb1", "/mnt/b"), Entry("/dev/sdc1", "/mnt/a")});
    EXPECT_EQ((Lines{MountPointOf("/dev/sdb1"), RawDevOf("/mnt/a"), getVolName("/mnt/b")}),
              (Lines{"/mnt/a", "/dev/sdb1", "/dev/sdb1"}));
    EXPECT_EQ((Lines{RawDevOf("/mnt/a/"), MountPointOf("/dev/sdb"), getVolName("/dev/sdb1")}),
              (Lines{"", "<null>", ""}));
    env.readable = false;
    EXPECT_EQ((Lines{MountPointOf("/dev/sdb1"), RawDevOf("/mnt/a")}), (Lines{"<null>", ""}));
    const int reads = env.reads;
    EXPECT_TRUE(getVolName("/dev/qnbf/qnbf2") == "/dev/qnbf/qnbf2" && env.reads == reads);
    EXPECT_EQ((Lines{getdevname("/dev/mapper/vg-lv"), getdevname(""), getdevname("sdb1")}),
              (Lines{"vg-lv", "", "sdb1"}));
    EXPECT_EQ(getdevname("/dev/" + std::string(3000, 'x')), std::string(3000, 'x'));
}

// Held elsewhere: ten tries 2 s apart, granted once released; other failures at once.
TEST(StreamLock, RetriesWhileHeldOtherFailuresAtOnce) {
    TempDir dir;
    const std::string path = dir.Write("table", "x\n");
    std::unique_ptr<FILE, int (*)(FILE*)> stream(std::fopen(path.c_str(), "r+"), std::fclose),
        readOnly(std::fopen(path.c_str(), "r"), std::fclose);
    ASSERT_TRUE(stream && readOnly);
    for (size_t releaseAfter : {0, 3}) {
        LockHolder holder(path);
        ASSERT_TRUE(holder.held);
        TestEnv env;
        env.on_sleep = [&](unsigned long) {
            if (env.Sleeps().size() == releaseAfter)
                holder.Release();
        };
        EXPECT_EQ(lock(stream.get(), F_WRLCK), releaseAfter ? 0 : -1);
        EXPECT_EQ(env.Sleeps(), std::vector<unsigned long>(releaseAfter ? 3 : 10, 2000));
        EXPECT_EQ(lock(stream.get(), F_UNLCK), 0);
    }
    TestEnv env;  // a write lock needs a writable descriptor; 77 is no lock type
    EXPECT_TRUE(lock(readOnly.get(), F_WRLCK) == -1 && errno == EBADF);
    EXPECT_TRUE(lock(stream.get(), 77) == -1 && env.Sleeps().empty());
}

Lines Remembered(const KZVolumeUnix& vol) {
    auto s = [](const char* field) { return field ? field : "<null>"; };
    return {s(vol.m_pszMntFsName), s(vol.m_pszMntDir), s(vol.m_pszMntType), s(vol.m_pszMntOpts),
            vol.m_bLocked ? "locked" : "unlocked"};
}

const Lines kNothing = {"<null>", "<null>", "<null>", "<null>", "unlocked"};

class LockUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir_.File("dev").c_str(), 0755), 0);
        dir_.Write("dev/sdb1", "");
    }
    Lines Cycle(const std::string& name) {
        const size_t before = env_.Commands().size();
        KZVolumeUnix vol(name);
        EXPECT_TRUE(vol.Lock()) << name;
        vol.Unlock();
        const Lines all = env_.Commands();
        return Lines(all.begin() + static_cast<long>(before), all.end());
    }
    Lines CycleOfMntA() const {
        return {"/bin/umount -- /mnt/a",
                "/bin/mount -t ext3 -o rw,relatime -- " + device_ + " /mnt/a"};
    }
    TempDir dir_;
    const std::string device_ = dir_.File("dev/sdb1");
    TestEnv env_;
};

// A failed unmount or mount forgets the entry; the latter asks for the user.
TEST_F(LockUnit, LockUnmountsTheFirstEntryUnlockMountsItAgainFailuresForgetIt) {
    env_.SetMountTable(
        {Entry("proc", "/proc"), Entry(device_, "/mnt/a"), Entry(device_, "/mnt/b")});
    KZVolumeUnix vol(device_);
    ASSERT_TRUE(vol.Lock());
    EXPECT_EQ(Remembered(vol), (Lines{device_, "/mnt/a", "ext3", "rw,relatime", "locked"}));
    ASSERT_TRUE(vol.Lock() && vol.Unlock());  // already locked: nothing more is run
    EXPECT_EQ(env_.Commands(), CycleOfMntA());
    EXPECT_EQ(Remembered(vol), kNothing);
    ASSERT_TRUE(vol.Unlock() && vol.Unlock("xfs", ""));  // without a Lock: nothing is run
    EXPECT_EQ(env_.Commands().size(), 2u);

    for (int rc : {32, 0, 32})
        env_.QueueCommandResult(rc);
    EXPECT_FALSE(vol.Lock());
    EXPECT_EQ(Remembered(vol), kNothing);
    EXPECT_TRUE(vol.Unlock() && env_.Commands().size() == 3);
    ASSERT_TRUE(vol.Lock() && vol.Unlock());
    EXPECT_TRUE(Remembered(vol) == kNothing && env_.Commands().size() == 5);
    EXPECT_EQ(env_.CountLogs("!!USER intervention required for mounting=" + device_ +
                             " to mntpath=/mnt/a manually \n"),
              1);
}

// Not mounted: success, nothing run; no table, no device or no name: refused.
TEST_F(LockUnit, MatchesByLinkOrMountDirectoryOtherwiseUnmountsNothing) {
    const std::string absolute = dir_.File("dev/abs"), relative = dir_.File("dev/by-id/rel");
    ASSERT_EQ(::mkdir(dir_.File("dev/by-id").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(device_.c_str(), absolute.c_str()), 0);
    ASSERT_EQ(::symlink("./../sdb1", relative.c_str()), 0);  // "." is no step
    env_.SetMountTable({Entry("/mnt/a", "/elsewhere"), Entry(device_, "/mnt/a")});
    for (const std::string& name : {absolute, relative, std::string("/mnt/a/")})
        EXPECT_EQ(Cycle(name), CycleOfMntA()) << name;

    env_.SetMountTable({Entry("/dev/other", "/mnt/a"), Entry("", "")});
    UniqueFd fd(::open(device_.c_str(), O_RDONLY));
    KZVolumeUnix vol(device_), missing(dir_.File("dev/absent")), invalid(-1), nameless(1, 2, 3),
        onDescriptor(fd.get());
    EXPECT_TRUE(vol.Lock() && !vol.m_bLocked);
    for (KZVolumeUnix* refused : {&missing, &invalid, &nameless, &onDescriptor})
        EXPECT_FALSE(refused->Lock() || refused->m_bLocked);
    TableEnv noTable;
    noTable.readable = false;
    EXPECT_FALSE(vol.Lock());
    EXPECT_TRUE(env_.Commands().size() == 6 && noTable.Commands().empty());
}

// Triples of type and options given (no type: the plain form) and those mounted;
// any user picks a FUSE file system's fields.
TEST_F(LockUnit, TypedUnlockAddsNouuidForXfsHostileNamesReachTheCommandsAsTheyAre) {
    env_.SetMountTable({Entry(device_, "/mnt/a", "xfs")});
    const std::string cases[] = {"xfs",  "",   "xfs -o nouuid", "xfs", "rw", "xfs -o rw,nouuid",
                                 "ext3", "ro", "ext3 -o ro",    "",    "",   "xfs -o rw,relatime"};
    for (size_t i = 0; i < std::size(cases); i += 3) {
        KZVolumeUnix vol(device_);
        ASSERT_TRUE(vol.Lock());
        ASSERT_TRUE(cases[i].empty() ? vol.Unlock() : vol.Unlock(cases[i], cases[i + 1]));
        EXPECT_EQ(env_.Commands().back(),
                  "/bin/mount -t " + cases[i + 2] + " -- " + device_ + " /mnt/a");
    }
    TempDir witness;  // where an injected command would leave its mark
    const std::string touch = "touch " + witness.File("pwned");
    for (const std::string& name :
         Lines{"my disk's", "$(" + touch + ")", "`" + touch + "`", "; " + touch, "a\nb", "--bind",
               "-o remount", "~root", "a b", "it's", "a$b", "a\"b", "*", "a|b&c"}) {
        const std::string dir = "/mnt/" + name, type = "fuse." + name, options = "rw," + name;
        env_.SetMountTable({{{name, dir, type, options, "0", "0"}}});
        const Lines run = Cycle(dir);
        ASSERT_EQ(run.size(), 2u);
        EXPECT_EQ(ShellWords(run[0]), (Lines{"/bin/umount", "--", dir}));
        EXPECT_EQ(ShellWords(run[1]),
                  (Lines{"/bin/mount", "-t", type, "-o", options, "--", name, dir}));
    }
    EXPECT_NE(::access(witness.File("pwned").c_str(), F_OK), 0);
}

struct FileLockVolume : KZVolumeUnix {
    explicit FileLockVolume(std::string file)
        : KZVolumeUnix("/dev/sdb1"), lockFile(std::move(file)) {}
    std::string BuildSliceNameForUnixFileLock(std::string&) override { return lockFile; }
    std::string lockFile;
};

TEST(UnixFileLock, ExcludesOtherProcessesUntilReleased) {
    KZVolumeUnix plain("/dev/sdb1");  // no lock-file name
    EXPECT_FALSE(plain.ObtainUnixFileLock() || plain.ReleaseUnixFileLock());

    TempDir dir;
    const std::string path = dir.File("sdb1.lock");
    const int descriptors = OpenDescriptorCount();
    {
        FileLockVolume vol(path), again(path);
        ASSERT_TRUE(vol.ObtainUnixFileLock() && vol.m_strLockFilePath == path);
        EXPECT_FALSE(LockHolder::CanLock(path));
        // The lock is the process's: taking it again must not drop it.
        EXPECT_TRUE(again.ObtainUnixFileLock() && !LockHolder::CanLock(path));
        ASSERT_TRUE(vol.ReleaseUnixFileLock());
        EXPECT_TRUE(LockHolder::CanLock(path));
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    LockHolder holder(path);
    ASSERT_TRUE(holder.held);
    FileLockVolume vol(path);
    EXPECT_FALSE(vol.ObtainUnixFileLock());
    holder.Release();
    EXPECT_TRUE(vol.ObtainUnixFileLock() && vol.ReleaseUnixFileLock());
}

}  // namespace
}  // namespace kzvol::testing
