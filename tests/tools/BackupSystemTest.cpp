// kzvol backup end to end on a mounted ext3 zram volume under the devices-mode
// stand-in: every point restores exactly; used-only points; a full disk fails cleanly.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/StandInSystemTest.h"
#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

constexpr uint64_t kVolumeBytes = 64ull << 20;

class BackupSystem : public StandInSystemTest {
  protected:
    void SetUp() override {
        SetUpOnZram();
        if (IsSkipped())
            return;
        const int minor = FilteredExt3OnZram(kVolumeBytes, 1 << 20);
        ASSERT_GE(minor, 0);
        node_ = FilterNode(minor);
        ::mkdir(mnt_.c_str(), 0755);
        ::mkdir(dir_.File("cow").c_str(), 0755);
        mount_ = std::make_unique<ScopedMount>(node_, mnt_, "ext3");
        ASSERT_TRUE(mount_->ok()) << mount_->error();
    }
    void TearDown() override {
        RunCommandLine("fsfreeze -u " + mnt_ + " 2>/dev/null");
        mount_.reset();
        StandInSystemTest::TearDown();
        zram_.reset();
    }

    std::string Run(int status, const std::string& args) {
        return Kz(status, "--emulator " + dir_.File("driver") + " " + args);
    }
    void Shell(const std::string& line) { Sh(0, "set -e; cd " + mnt_ + "; " + line + " 2>&1"); }
    // Backs the volume up frozen, keeping what the backup saw in point`n`.
    void BackupPoint(const std::string& options, int n) {
        Shell("fsfreeze -f " + mnt_);
        Run(0, "backup " + node_ + " --repo " + repo_ + " --cow-dir " + dir_.File("cow") +
                   " --index " + options);
        Shell("cat " + node_ + " > " + dir_.File("point" + std::to_string(n)) + "; fsfreeze -u " +
              mnt_);
    }
    // The newest point restores to a file system e2fsck passes, with the volume's files.
    void ExpectSameFilesRestored() {
        const std::string restored = dir_.File("restored"), files = dir_.File("files");
        Run(0, "restore " + repo_ + " --to " + restored);
        Sh(0, "(e2fsck -fn " + restored + " && rm -rf " + files + " && mkdir " + files +
                  " && debugfs -R 'rdump / " + files + "' " + restored + " && diff -r " + mnt_ +
                  " " + files + ") 2>&1");
    }

    const std::string mnt_ = "/talmartmp/vol", repo_ = dir_.File("repo");
    std::string node_;
    std::unique_ptr<ScopedMount> mount_;
};

TEST_F(BackupSystem, EveryPointOfAMountedVolumeRestoresExactly) {
    Shell("mkdir -p docs logs; seq 1 20000 > docs/numbers; echo one > docs/one");
    BackupPoint("", 1);
    Shell("head -c 3000000 /dev/urandom > logs/blob; echo two >> docs/one; rm docs/numbers");
    BackupPoint("--incremental", 2);
    Shell(
        "seq 1 500 > docs/short; dd if=/dev/urandom of=logs/blob bs=4096 count=8 seek=100 "
        "conv=notrunc status=none");
    BackupPoint("--incremental", 3);

    EXPECT_THAT(Run(0, "verify " + repo_), HasSubstr("3 backup(s) verified"));
    EXPECT_THAT(ReadFile(repo_ + "/config"),
                HasSubstr("\nfs-uuid " + Sh(0, "blkid -s UUID -o value " + zram_->path())));
    EXPECT_THAT(Run(0, "backups " + repo_), HasSubstr("000003  incremental  000002"));
    for (const char* id : {"000001", "000002", "000003"}) {
        const std::string to = dir_.File(std::string("restored") + id);
        Run(0, "restore " + repo_ + " --backup " + id + " --to " + to);
        Sh(0, "cmp " + to + " " + dir_.File(std::string("point") + id[5]) + " && e2fsck -fn " + to +
                  " >/dev/null 2>&1");
    }
    EXPECT_THAT(Run(0, "ls " + repo_ + "/000003/index /docs"),
                AllOf(HasSubstr("short"), Not(HasSubstr("numbers"))));

    // A block device of the volume's size takes the point in place; another size is refused.
    MakeSparseFile(dir_.File("same"), kVolumeBytes);
    MakeSparseFile(dir_.File("smaller"), kVolumeBytes / 2);
    LoopDevice same(dir_.File("same")), smaller(dir_.File("smaller"));
    ASSERT_TRUE(same.ok() && smaller.ok()) << same.error() << smaller.error();
    Run(0, "restore " + repo_ + " --backup 000002 --to " + same.path());
    Sh(0, "cmp " + same.path() + " " + dir_.File("point2"));
    EXPECT_THAT(
        Run(1, "restore " + repo_ + " --to " + smaller.path()),
        HasSubstr(smaller.path() + " holds 33554432 bytes; the backup is of a volume of 67108864"));
}

// A full disk under the repository or target: nothing half-written stays, changes go back.
TEST_F(BackupSystem, UsedOnlyPointsAndAFullDisk) {
    Shell(
        "mkdir -p docs; cp -r /usr/include/linux docs; head -c 3000000 /dev/urandom > blob; "
        "seq 1 100000 > docs/numbers; rm -rf docs/linux/netfilter*");
    BackupPoint("--used-only", 1);
    EXPECT_THAT(Run(0, "backups " + repo_), HasSubstr("used blocks only"));
    ExpectSameFilesRestored();

    const std::string small = "/talmartmp/small";
    ::mkdir(small.c_str(), 0755);
    ScopedMount full("tmpfs", small, "tmpfs", 0, "size=2m");
    ASSERT_TRUE(full.ok()) << full.error();
    Shell("head -c 4000000 /dev/urandom > blob; sync");
    EXPECT_THAT(
        Run(1, "backup " + node_ + " --repo " + small + "/repo --cow-dir " + dir_.File("cow")),
        HasSubstr("No space left on device"));
    EXPECT_EQ(Sh(0, "ls -A " + small + "/repo"),
              ".lock\nconfig\n");  // no backup folder, finished or not
    // The bits went back: the next incremental holds the new blob.
    BackupPoint("--incremental", 2);
    ExpectSameFilesRestored();

    const std::string target = small + "/target.img";
    Sh(0, "echo the user\\'s file > " + target);
    EXPECT_THAT(Run(1, "restore " + repo_ + " --to " + target),
                HasSubstr("No space left on device"));
    EXPECT_EQ(Sh(0, "ls -A " + small + "; cat " + target), "repo\ntarget.img\nthe user's file\n");
}

}  // namespace
}  // namespace kzvol::testing
