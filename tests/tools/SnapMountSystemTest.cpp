// Metadata collection in devices mode: a filter volume's snapshot mounted read-only
// under /talmartmp, walked and unmounted; without a snapshot nothing is mounted.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/MountedImage.h"
#include "tests/support/StandInSystemTest.h"
#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

// The test Env with the real mount table, where the commands' mounts show.
class RealMounts : public TestEnv {
  public:
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        return Env::Default()->ReadMountTable(entries);
    }
};

class SnapMountSystemTest : public StandInSystemTest {
  protected:
    void TearDown() override {
        live_.reset();
        StandInSystemTest::TearDown();
    }
    bool Collect() { return kzvol::testing::Collect(volume_, mnt_, info_, table_); }

    RealMounts env_;
    std::unique_ptr<LoopDevice> loop_;  // released after the mount and the driver
    std::unique_ptr<ScopedMount> live_;
    std::string mnt_ = dir_.File("live vol"), info_ = dir_.File("volinfo"),
                table_ = dir_.File("table");
    KZVolumeUnix volume_{-1};
};

// ext2: a read-only snapshot of ext3 needing journal recovery will not mount. (See MountSnapTest.)
TEST_F(SnapMountSystemTest, NothingIsMountedWithoutASnapshotAndTheWalkReadsOne) {
    env_.set_run_commands(true);
    BuildTree(dir_.File("tree"), 50);
    ::unlink(dir_.File("tree/fifo").c_str());
    MakeImage(dir_.File("tree"), dir_.File("image"), "ext2", 4096, 32768);
    loop_ = std::make_unique<LoopDevice>(dir_.File("image"));
    ASSERT_TRUE(loop_->ok()) << loop_->error();
    const int minor = AddFilter(loop_->path(), 1 << 20);
    ASSERT_GE(minor, 0);
    ASSERT_EQ(::mkdir(mnt_.c_str(), 0755), 0);
    live_ = std::make_unique<ScopedMount>(FilterNode(minor), mnt_, "ext2");
    ASSERT_TRUE(live_->ok()) << live_->error();
    EXPECT_FALSE(Collect());
    EXPECT_TRUE(env_.HasError("snap does not exist devname="));
    EXPECT_TRUE(env_.HasError("failed to mount snap for mntpath=" + mnt_));
    EXPECT_TRUE(env_.Commands().empty());
    EXPECT_NE(::access(info_.c_str(), F_OK), 0);

    const int snap = SnapFilter(minor, dir_.File("cow"), true);
    ASSERT_GE(snap, 0);
    Sh(0, "echo after the snapshot > '" + mnt_ + "/late.txt' && sync");
    ASSERT_TRUE(Collect());
    const std::string snapDir = "/talmartmp" + mnt_, options = RealMountOn(mnt_).fields[3];
    ASSERT_THAT(options, StartsWith("rw"));
    EXPECT_THAT(env_.Commands(),
                ::testing::IsSupersetOf({"mkdir -p -- '" + snapDir + "'",
                                         "mount -o ro" + options.substr(2) + " -- " +
                                             FilterNode(snap) + " '" + snapDir + "'",
                                         "/bin/umount -- '" + snapDir + "'"}));
    EXPECT_FALSE(IsMounted(snapDir));
    EXPECT_EQ(::access(snapDir.c_str(), F_OK), 0);  // the directory stays

    // The frozen tree, as debugfs reads it from the snapshot device, lacks late.txt.
    const std::vector<FsTreeRow> frozen = DebugfsTableRows(FilterNode(snap), "ROOT");
    EXPECT_TRUE(std::none_of(frozen.begin(), frozen.end(),
                             [](const FsTreeRow& r) { return r.name == "late.txt"; }));
    EXPECT_EQ(SortedRows(TableRows(table_)), SortedRows(frozen));
    EXPECT_THAT(ReadFile(info_), Not(HasSubstr("fstype")));  // written by the walk

    const std::string cliTable = dir_.File("cli table");
    EXPECT_THAT(Kz(0, "--emulator " + dir_.File("driver") + " metadata '" + mnt_ + "' --table '" +
                          cliTable + "' --volinfo " + dir_.File("cli-volinfo") +
                          " --extent-size 1048576 --root-name ROOT"),
                StartsWith("strategy: directory walk\nrows: " + std::to_string(frozen.size())));
    EXPECT_EQ(SortedRows(TableRows(cliTable)), SortedRows(frozen));
    EXPECT_EQ(ReadFile(dir_.File("cli-volinfo")), ReadFile(info_));
    EXPECT_FALSE(IsMounted(snapDir));
}

}  // namespace
}  // namespace kzvol::testing
