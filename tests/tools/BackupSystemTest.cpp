// kzvol backup end to end in devices mode: a mounted ext3 on a zram volume under
// the stand-in, a full backup, writes, an incremental, more writes, a second
// incremental; every point restores to exactly the bytes the volume held when its
// snapshot was taken, to a file or to a block device of the volume's size. A
// used-only point restores to the same files; a full disk fails cleanly.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "tests/support/Kzvol.h"
#include "tests/support/MemoryDriver.h"
#include "tests/support/StandInSystemTest.h"

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

    // Runs kzvol with the stand-in; its exit status, output in *out.
    int Run(const std::string& args, std::string* out) {
        return Kzvol("--emulator " + state_ + " " + args, out);
    }
    void Shell(const std::string& line) {
        std::string out;
        ASSERT_EQ(RunCommandLine("set -e; cd " + mnt_ + "; " + line + " 2>&1", &out), 0) << out;
    }
    // Backs the volume up with the file system frozen, and keeps a copy of what
    // the backup saw.
    void BackupPoint(const char* options, const std::string& copy) {
        Shell("fsfreeze -f " + mnt_);
        std::string out;
        EXPECT_EQ(Run("backup " + node_ + " --repo " + repo_ + " --cow-dir " + dir_.File("cow") +
                          " --index " + options,
                      &out),
                  0)
            << out;
        Shell("cat " + node_ + " > " + copy + "; fsfreeze -u " + mnt_);
    }

    // The newest point restores to a file system e2fsck passes, with the files
    // the volume holds.
    void ExpectSameFilesRestored() {
        const std::string restored = dir_.File("restored"), at = "/talmartmp/restored";
        std::string out;
        ASSERT_EQ(Run("restore " + repo_ + " --to " + restored, &out), 0) << out;
        EXPECT_EQ(RunCommandLine("e2fsck -fn " + restored + " 2>&1", &out), 0) << out;
        LoopDevice loop(restored);
        ASSERT_TRUE(loop.ok()) << loop.error();
        ::mkdir(at.c_str(), 0755);
        ScopedMount mounted(loop.path(), at, "ext3", MS_RDONLY);
        ASSERT_TRUE(mounted.ok()) << mounted.error();
        EXPECT_EQ(RunCommandLine("diff -r " + mnt_ + " " + at + " 2>&1", &out), 0) << out;
    }

    const std::string state_ = dir_.File("driver"), mnt_ = "/talmartmp/vol",
                      repo_ = dir_.File("repo");
    std::string node_;
    std::unique_ptr<ScopedMount> mount_;
};

TEST_F(BackupSystem, EveryPointOfAMountedVolumeRestoresExactly) {
    Shell("mkdir -p docs logs; seq 1 20000 > docs/numbers; echo one > docs/one");
    BackupPoint("", dir_.File("point1"));
    Shell("head -c 3000000 /dev/urandom > logs/blob; echo two >> docs/one; rm docs/numbers");
    BackupPoint("--incremental", dir_.File("point2"));
    Shell(
        "seq 1 500 > docs/short; dd if=/dev/urandom of=logs/blob bs=4096 count=8 seek=100 "
        "conv=notrunc status=none");
    BackupPoint("--incremental", dir_.File("point3"));

    std::string out, uuid;
    ASSERT_EQ(Run("verify " + repo_, &out), 0) << out;
    EXPECT_NE(out.find("3 backup(s) verified"), std::string::npos) << out;
    // The repository knows the volume by its file system too.
    ASSERT_EQ(RunCommandLine("blkid -s UUID -o value " + zram_->path(), &uuid), 0);
    EXPECT_NE(ReadFile(repo_ + "/config").find("\nfs-uuid " + uuid), std::string::npos) << uuid;
    ASSERT_EQ(Run("backups " + repo_, &out), 0) << out;
    EXPECT_NE(out.find("000003  incremental  000002"), std::string::npos) << out;
    for (const char* id : {"000001", "000002", "000003"}) {
        const std::string to = dir_.File(std::string("restored") + id);
        ASSERT_EQ(Run("restore " + repo_ + " --backup " + id + " --to " + to, &out), 0) << out;
        EXPECT_EQ(RunCommandLine("cmp " + to + " " + dir_.File(std::string("point") + id[5])), 0)
            << id;
    }
    EXPECT_EQ(RunCommandLine("e2fsck -fn " + dir_.File("restored000003") + " >/dev/null 2>&1"), 0);
    ASSERT_EQ(Run("ls " + repo_ + "/000003/index /docs", &out), 0) << out;
    EXPECT_NE(out.find("short"), std::string::npos) << out;
    EXPECT_EQ(out.find("numbers"), std::string::npos) << out;

    // A block device of the volume's size takes the point in place; another size is refused.
    MakeSparseFile(dir_.File("same"), kVolumeBytes);
    MakeSparseFile(dir_.File("smaller"), kVolumeBytes / 2);
    LoopDevice same(dir_.File("same")), smaller(dir_.File("smaller"));
    ASSERT_TRUE(same.ok() && smaller.ok()) << same.error() << smaller.error();
    ASSERT_EQ(Run("restore " + repo_ + " --backup 000002 --to " + same.path(), &out), 0) << out;
    EXPECT_EQ(RunCommandLine("cmp " + same.path() + " " + dir_.File("point2")), 0);
    EXPECT_EQ(Run("restore " + repo_ + " --to " + smaller.path(), &out), 1);
    EXPECT_NE(out.find(smaller.path() + " holds 33554432 bytes; the backup is of a volume of "
                                        "67108864"),
              std::string::npos)
        << out;
}

// A used-only point restores to a file system e2fsck passes holding the same
// files. A repository or a restore target on a full file system fails cleanly:
// nothing half-written stays, and the changes taken go back to the bitmap.
TEST_F(BackupSystem, UsedOnlyPointsAndAFullDisk) {
    Shell(
        "mkdir -p docs; cp -r /usr/include/linux docs; head -c 3000000 /dev/urandom > blob; "
        "seq 1 100000 > docs/numbers; rm -rf docs/linux/netfilter*");
    BackupPoint("--used-only", dir_.File("point1"));
    std::string out;
    ASSERT_EQ(Run("backups " + repo_, &out), 0) << out;
    EXPECT_NE(out.find("used blocks only"), std::string::npos) << out;
    ExpectSameFilesRestored();

    const std::string small = "/talmartmp/small";
    ::mkdir(small.c_str(), 0755);
    ScopedMount full("tmpfs", small, "tmpfs", 0, "size=2m");
    ASSERT_TRUE(full.ok()) << full.error();
    Shell("head -c 4000000 /dev/urandom > blob; sync");
    EXPECT_EQ(
        Run("backup " + node_ + " --repo " + small + "/repo --cow-dir " + dir_.File("cow"), &out),
        1);
    EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
    out.clear();
    RunCommandLine("ls -A " + small + "/repo", &out);
    EXPECT_EQ(out, ".lock\nconfig\n");  // no backup folder, finished or not
    // The bits went back: the next incremental holds the new blob.
    BackupPoint("--incremental", dir_.File("point2"));
    ExpectSameFilesRestored();

    const std::string target = small + "/target.img";
    RunCommandLine("echo the user\\'s file > " + target);
    EXPECT_EQ(Run("restore " + repo_ + " --to " + target, &out), 1);
    EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
    out.clear();
    RunCommandLine("ls -A " + small + "; cat " + target, &out);
    EXPECT_EQ(out, "repo\ntarget.img\nthe user's file\n");
}

}  // namespace
}  // namespace kzvol::testing
