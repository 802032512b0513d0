// The stand-in in the write path: ext3 on zram mounted through the filter node under a
// writer; backups, a killed serving process, content snapshots and metadata.
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "emulator/ServeWire.h"
#include "tests/support/Kzvol.h"
#include "tests/support/StandInSystemTest.h"
#include "volume/DeviceProbe.h"

namespace kzvol::testing {
namespace {

bool WriteSynced(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd && ::write(fd.get(), text.data(), text.size()) == ssize_t(text.size()) &&
           ::fsync(fd.get()) == 0;
}

class WritePath : public StandInSystemTest {
  protected:
    void SetUp() override {
        SetUpOnZram();
        if (IsSkipped())
            return;
        ASSERT_GE(minor_ = FilteredExt3OnZram(128ull << 20, 1 << 20), 0);
        node_ = FilterNode(minor_);
        ::mkdir(dir_.File("cow").c_str(), 0700);
        ::setenv("KZ_SNAP_PARTITION", dir_.File("cow").c_str(), 1);
        // The writer never deletes or truncates: e2fsck -n counts orphaned files as damage.
        mount_ = std::make_unique<ScopedMount>(node_, mnt_, "ext3");
        ASSERT_TRUE(mount_->ok()) << mount_->error();
        ::mkdir((mnt_ + "/busy").c_str(), 0755);
        writer_ = std::thread([this] {
            const std::string block(48 << 10, 'w');
            for (unsigned round = 0; !stop_; ++round) {
                UniqueFd fd(::open((mnt_ + "/busy/f" + std::to_string(round % 64)).c_str(),
                                   O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                (void)!::pwrite(fd.get(), block.data(), block.size(), round % 4 * 4096);
            }
        });
    }
    void TearDown() override {
        StopWriter();
        mount_.reset();
        StandInSystemTest::TearDown();
        ::unsetenv("KZ_SNAP_PARTITION");
    }

    void StopWriter() {
        stop_ = true;
        if (writer_.joinable())
            writer_.join();
    }
    void Ok(const std::string& args) {
        std::string out;
        EXPECT_EQ(Kzvol("--emulator " + dir_.File("driver") + " " + args, &out), 0)
            << args << ": " << out;
    }
    void Backup(bool incremental) {
        Ok("backup " + node_ + " --repo " + repo_ + " --cow-dir " + dir_.File("cow") +
           (incremental ? " --incremental" : ""));
    }
    std::string Restore(const std::string& id) {
        Ok("restore " + repo_ + " --backup " + id + " --to " + dir_.File("restored" + id));
        return dir_.File("restored" + id);
    }

    const std::string mnt_ = "/talmartmp/live", repo_ = dir_.File("repo");
    int minor_ = -1;
    std::string node_;
    std::unique_ptr<ScopedMount> mount_;
    std::atomic<bool> stop_{false};
    std::thread writer_;
};

TEST_F(WritePath, LivePointsRestoreCleanWithEverySyncedFile) {
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(
            WriteSynced(mnt_ + "/mark" + std::to_string(i), std::string(70000 + i, 'a' + i)));
        Backup(i > 0);
    }
    StopWriter();
    for (int i = 0; i < 4; ++i) {
        const std::string image = Restore("00000" + std::to_string(i + 1));
        // Frozen at the snapshot: no journal to replay, nothing for e2fsck to mend.
        EXPECT_EQ(
            Sh(0, "dumpe2fs -h " + image + " 2>/dev/null | grep -c needs_recovery; e2fsck -fn " +
                      image + " >/dev/null && echo clean"),
            "0\nclean\n");
        for (int j = 0; j <= i; ++j)  // every mark written before the point
            EXPECT_TRUE(Sh(0, "debugfs -R 'cat /mark" + std::to_string(j) + "' " + image +
                                  " 2>/dev/null") == std::string(70000 + j, 'a' + j))
                << i << " " << j;
    }
}

// The zram volume (not of the loop major) is found covered through the driver.
TEST_F(WritePath, ZramVolumeCoveredAndAKilledServingProcessLeavesItUntracked) {
    std::string filter;
    EXPECT_TRUE(isQNBFDevice(zram_->path(), filter) && filter == node_);
    EXPECT_TRUE(KZVolume::isQNBFDevice(node_) && !KZVolume::isQNBFDevice(zram_->path()));
    EXPECT_EQ((DriverInfo(minor_).underlying_dev >> 8) & 0xfff, 253);  // the zram major
    Backup(false);
    pid_t pid = 0;
    ASSERT_TRUE(std::ifstream(emulator::ServePidFile(dir_.File("driver"))) >> pid);
    ::usleep(200000);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    StopWriter();
    ASSERT_EQ(RunCommandLine(  // unmounted once the file system lets go after the failure
                  "for i in 1 2 3 4 5 6 7 8 9 10; do umount " + mnt_ +
                  " 2>/dev/null && exit 0; sleep 0.5; done; exit 1"),
              0);
    mount_->Release();
    const qn_getinfo_arg info = DriverInfo(minor_);  // the driver brings the device back
    EXPECT_EQ(info.incr_bmp_valid + info.diff_bmp_valid, 0);
    Backup(true);
    EXPECT_EQ(Sh(0, "cmp " + Restore("000002") + " " + node_ + " && echo same"), "same\n");
}

TEST_F(WritePath, ContentSnapshotsAndMetadataOfALiveFileSystem) {
    ASSERT_TRUE(WriteSynced(mnt_ + "/kept", "kept\n"));
    for (const std::string& list : {dir_.File("list0"), dir_.File("list1")}) {  // 2nd over 1st
        Ok("content-snap " + mnt_ + " --list " + list);
        EXPECT_EQ(ReadFile("/snapmnt" + mnt_ + "/kept"), "kept\n");
        Ok("content-snap --release " + list);
    }
    ::mkdir(dir_.File("cow2").c_str(), 0700);  // apart from the content snapshots' files
    const std::string cow = " --cow-dir " + dir_.File("cow2");
    Ok("snap create " + node_ + cow);  // metadata mounts the agent's snapshot
    Ok("metadata " + mnt_ + " --table " + dir_.File("table") + " --volinfo " +
       dir_.File("volinfo") + " --extent-size 1048576");
    Ok("snap stop " + node_);
    Ok("snap remove " + node_ + cow);
    StopWriter();
    EXPECT_EQ(DriverInfo(minor_).snap_minor_cnt, 0);
    EXPECT_EQ(Sh(1, "grep -E ' /(snapmnt|talmartmp/talmartmp)/' /proc/self/mounts"), "");
}

}  // namespace
}  // namespace kzvol::testing
