// The stand-in in the write path (devices mode), on an ext3 on zram mounted
// through the filter node: backups taken while a writer runs restore to clean
// file systems holding every file synced before their snapshot; a killed serving
// process leaves its device untracked and the next backup whole; content
// snapshots and metadata collection of the live file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "emulator/ServeWire.h"
#include "host/Handles.h"
#include "tests/support/Kzvol.h"
#include "tests/support/MemoryDriver.h"
#include "tests/support/StandInSystemTest.h"

namespace kzvol::testing {
namespace {

constexpr uint64_t kVolumeBytes = 128ull << 20;
constexpr uint32_t kExtent = 1 << 20;

// Writes `text` to `path` and syncs it: on the volume before the call returns.
bool WriteSynced(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd && ::write(fd.get(), text.data(), text.size()) == ssize_t(text.size()) &&
           ::fsync(fd.get()) == 0;
}

// Writes blocks into files of a directory until stopped, ignoring errors. It
// deletes and truncates nothing: such a file frozen mid-way sits on the orphan
// list, which e2fsck -n counts as damage.
class Writer {
  public:
    explicit Writer(std::string dir) : dir_(std::move(dir)) {
        ::mkdir(dir_.c_str(), 0755);
        thread_ = std::thread([this] {
            const std::string block(48 << 10, 'w');
            for (unsigned round = 0; !stop_; ++round) {
                UniqueFd fd(::open((dir_ + "/f" + std::to_string(round % 64)).c_str(),
                                   O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                (void)!::pwrite(fd.get(), block.data(), block.size(), round % 4 * 4096);
            }
        });
    }
    ~Writer() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::string dir_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class WritePath : public StandInSystemTest {
  protected:
    void SetUp() override {
        SetUpOnZram();
        if (IsSkipped())
            return;
        minor_ = FilteredExt3OnZram(kVolumeBytes, kExtent);
        ASSERT_GE(minor_, 0);
        node_ = FilterNode(minor_);
        ::mkdir(mnt_.c_str(), 0755);
        ::mkdir(dir_.File("cow").c_str(), 0700);
        ::setenv("KZ_SNAP_PARTITION", dir_.File("cow").c_str(), 1);
    }
    void TearDown() override {
        writer_.reset();
        mount_.reset();
        StandInSystemTest::TearDown();
        zram_.reset();
        ::unsetenv("KZ_SNAP_PARTITION");
    }

    // Mounts the volume through the filter node and starts a writer on it.
    void MountWithWriter() {
        mount_ = std::make_unique<ScopedMount>(node_, mnt_, "ext3");
        ASSERT_TRUE(mount_->ok()) << mount_->error();
        writer_ = std::make_unique<Writer>(mnt_ + "/busy");
    }
    // Unmounts, waiting for the file system to let go after a failure.
    void Unmount() {
        ASSERT_EQ(RunCommandLine("for i in 1 2 3 4 5 6 7 8 9 10; do umount " + mnt_ +
                                 " 2>/dev/null && exit 0; sleep 0.5; done; exit 1"),
                  0);
        mount_->Release();
    }
    int Run(const std::string& args, std::string* out) {
        return Kzvol("--emulator " + dir_.File("driver") + " " + args, out);
    }
    void Backup(bool incremental) {
        std::string out;
        ASSERT_EQ(Run("backup " + node_ + " --repo " + repo_ + " --cow-dir " + dir_.File("cow") +
                          (incremental ? " --incremental" : ""),
                      &out),
                  0)
            << out;
    }
    std::string Restore(const std::string& id) {
        std::string out, to = dir_.File("restored" + id);
        EXPECT_EQ(Run("restore " + repo_ + " --backup " + id + " --to " + to, &out), 0) << out;
        return to;
    }

    const std::string mnt_ = "/talmartmp/live", repo_ = dir_.File("repo");
    int minor_ = -1;
    std::string node_;
    std::unique_ptr<ScopedMount> mount_;
    std::unique_ptr<Writer> writer_;
};

TEST_F(WritePath, LivePointsRestoreCleanWithEverySyncedFile) {
    MountWithWriter();
    const int points = 4;
    for (int i = 0; i < points; ++i) {
        ASSERT_TRUE(
            WriteSynced(mnt_ + "/mark" + std::to_string(i), std::string(70000 + i, 'a' + i)));
        Backup(i > 0);
    }
    writer_->Stop();
    for (int i = 0; i < points; ++i) {
        const std::string image = Restore("00000" + std::to_string(i + 1));
        // Frozen at the snapshot: no journal to replay, nothing for e2fsck to mend.
        std::string features, check;
        RunCommandLine("dumpe2fs -h " + image + " 2>/dev/null | grep -i features", &features);
        EXPECT_EQ(features.find("needs_recovery"), std::string::npos) << features;
        EXPECT_EQ(RunCommandLine("e2fsck -fn " + image + " 2>&1", &check), 0) << check;
        for (int j = 0; j <= i; ++j) {
            std::string mark;
            RunCommandLine(
                "debugfs -R 'cat /mark" + std::to_string(j) + "' " + image + " 2>/dev/null", &mark);
            EXPECT_TRUE(mark == std::string(70000 + j, 'a' + j))
                << "point " << i << " mark " << j << ": " << mark.size() << " bytes";
        }
    }
}

TEST_F(WritePath, AKilledServingProcessLeavesItsDeviceUntracked) {
    MountWithWriter();
    Backup(false);
    std::ifstream pidFile(emulator::ServePidFile(dir_.File("driver")));
    pid_t pid = 0;
    ASSERT_TRUE(pidFile >> pid);
    ::usleep(200000);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    writer_->Stop();
    Unmount();
    qn_getinfo_arg info{};  // the driver brings the device back
    info.minor = static_cast<uint32_t>(minor_);
    ASSERT_EQ(Send(QNBF_GET_INFO, &info), 0);
    EXPECT_EQ(info.incr_bmp_valid, 0);
    EXPECT_EQ(info.diff_bmp_valid, 0);

    Backup(true);
    std::string out;
    EXPECT_EQ(RunCommandLine("cmp " + Restore("000002") + " " + node_, &out), 0) << out;
}

TEST_F(WritePath, ContentSnapshotsAndMetadataOfALiveFileSystem) {
    MountWithWriter();
    ASSERT_TRUE(WriteSynced(mnt_ + "/kept", "kept\n"));
    std::string out;
    for (int round = 0; round < 2; ++round) {  // the second over the first's files
        const std::string list = dir_.File("list" + std::to_string(round));
        ASSERT_EQ(Run("content-snap " + mnt_ + " --list " + list, &out), 0) << out;
        EXPECT_EQ(ReadFile("/snapmnt" + mnt_ + "/kept"), "kept\n");
        ASSERT_EQ(Run("content-snap --release " + list, &out), 0) << out;
    }
    // Metadata collection mounts the snapshot the agent made beforehand.
    ::mkdir(dir_.File("cow2").c_str(), 0700);
    const std::string cow = " --cow-dir " + dir_.File("cow2");
    ASSERT_EQ(Run("snap create " + node_ + cow, &out), 0) << out;
    EXPECT_EQ(Run("metadata " + mnt_ + " --table " + dir_.File("table") + " --volinfo " +
                      dir_.File("volinfo") + " --extent-size 1048576",
                  &out),
              0)
        << out;
    ASSERT_EQ(Run("snap stop " + node_, &out), 0) << out;
    ASSERT_EQ(Run("snap remove " + node_ + cow, &out), 0) << out;
    writer_->Stop();
    qn_getinfo_arg info{};
    info.minor = static_cast<uint32_t>(minor_);
    ASSERT_EQ(Send(QNBF_GET_INFO, &info), 0);
    EXPECT_EQ(info.snap_minor_cnt, 0);
    std::string left;
    RunCommandLine("grep -E ' /(snapmnt|talmartmp/talmartmp)/' /proc/self/mounts", &left);
    EXPECT_EQ(left, "");
}

}  // namespace
}  // namespace kzvol::testing
