// One image-backup cycle through the library on real devices: a zram volume (a
// loop volume where zram is missing) under the devices-mode stand-in driver. The
// change bitmaps find exactly the extents written, a snapshot keeps the old bytes
// while the live device moves on, taken bits go back after a failed backup, and
// nothing is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "filter/QnbfVolInfo.h"
#include "host/Handles.h"
#include "tests/support/MemoryDriver.h"
#include "tests/support/StandInSystemTest.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kVolumeBytes = 64 * kMiB;
constexpr uint32_t kExtent = kMiB;

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// What loop device `minor` is attached over; empty when it is free. Another
// process may take a freed number at once, so a detach shows as a change.
std::string LoopBacking(int minor) {
    std::ifstream in("/sys/block/loop" + std::to_string(minor) + "/loop/backing_file");
    std::string path;
    std::getline(in, path);
    return path;
}

class BackupCycle : public StandInSystemTest {
  protected:
    void SetUp() override {
        StandInSystemTest::SetUp();
        if (IsSkipped())
            return;
        ::mkdir(dir_.File("cow").c_str(), 0700);
        ::setenv("KZ_SNAP_PARTITION", dir_.File("cow").c_str(), 1);
        ::setenv("KZVOL_CONFIG", dir_.Write("registry.ini", "").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KZ_SNAP_PARTITION");
        ::unsetenv("KZVOL_CONFIG");
        StandInSystemTest::TearDown();
    }

    // The underlying volume: zram when the machine has it, else a loop device.
    std::string MakeVolume() {
        if (Exists("/sys/class/zram-control/hot_add")) {
            zram_ = std::make_unique<ZramDevice>(kVolumeBytes);
            if (zram_->ok())
                return zram_->path();
        }
        MakeSparseFile(dir_.File("volume.img"), kVolumeBytes);
        loop_ = std::make_unique<LoopDevice>(dir_.File("volume.img"));
        return loop_->ok() ? loop_->path() : "";
    }

    TestEnv env_;
    // Released after TearDown, once no filter device holds it.
    std::unique_ptr<LoopDevice> loop_;
};

TEST_F(BackupCycle, BitmapsSnapshotAndMergeBackOnARealVolume) {
    const std::string underlying = MakeVolume();
    ASSERT_FALSE(underlying.empty());
    for (uint64_t at = 0; at < kVolumeBytes; at += 4 * kMiB)  // a pattern before filtering
        ASSERT_TRUE(WriteSector(underlying, at, 'p'));
    const int minor = AddFilter(underlying, kExtent);
    ASSERT_GE(minor, 0);
    const std::string node = FilterNode(minor);

    // The backup's driver-mode object finds its minor from the node itself.
    KZVolumeUnix backup(node, "", false, false);
    ASSERT_EQ(backup.m_QnbfNodeMinorno, minor);
    QNBFVolInfo_t info;
    ASSERT_TRUE(backup.QNBFGetVolInfo(info));
    ASSERT_EQ(info.incr_bmp_size, 8u);
    EXPECT_EQ(uint64_t{info.total_blocks}, kVolumeBytes / 512);  // a copy: the field is packed
    ASSERT_TRUE(backup.QNBFClearVolBitmap(KZV_BITMAP_INCREMENTAL));
    ASSERT_TRUE(backup.QNBFClearVolBitmap(KZV_BITMAP_DIFFERENTIAL));

    const std::vector<int> written = {2, 17, 40};
    for (int extent : written)
        ASSERT_TRUE(WriteSector(node, extent * kExtent + 4096, 'A' + extent % 26));
    std::vector<unsigned char> bits(8);
    ASSERT_TRUE(backup.QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 8, false));
    EXPECT_EQ(SetExtents(bits), written);

    // A snapshot freezes extent 17; the live device moves on.
    auto snapshot = BoundVolume(minor, node);
    KZVolumeUnix& device = *snapshot;
    ASSERT_TRUE(device.SWSnapSynchronize(node, 0));
    const std::string snapNode = device.m_strSnapId;
    const int snapMinor = std::stoi(snapNode.substr(sizeof kQnbfNodePrefix - 1));
    const std::string snapBacking = LoopBacking(snapMinor);
    ASSERT_FALSE(snapBacking.empty());
    ASSERT_TRUE(Exists(snapNode));
    ASSERT_TRUE(WriteSector(node, 17 * kExtent + 4096, 'z'));
    std::string old(512, '\0');
    unsigned long done = 0;
    ASSERT_TRUE(device.SWSnapRead((17 * kExtent + 4096) / 512, 1, old.data(), done));
    EXPECT_EQ(done, 1u);
    EXPECT_EQ(old, std::string(512, 'A' + 17 % 26));
    std::string pattern(512, '\0');
    ASSERT_TRUE(device.SWSnapRead(0, 1, pattern.data(), done));
    EXPECT_EQ(pattern, std::string(512, 'p'));

    // The backup takes the incremental bits, fails, and puts them back.
    std::vector<unsigned char> taken(8);
    ASSERT_TRUE(backup.QNBFGetAndClrVolBitmap(KZV_BITMAP_INCREMENTAL, taken.data(), 8, false));
    EXPECT_EQ(SetExtents(taken), written);
    ASSERT_TRUE(backup.QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, taken.data(), 8));
    ASSERT_TRUE(backup.QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 8, false));
    EXPECT_EQ(SetExtents(bits), written);
    ASSERT_TRUE(backup.QNBFGetVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits.data(), 8, false));
    EXPECT_EQ(SetExtents(bits), written);

    // Stop and remove the snapshot; take the volume out of the filter.
    ASSERT_TRUE(device.SWSnapFreezeSync("", KZ_APP_NONE));
    ASSERT_TRUE(device.SWSnapUnsynchronize());
    device.Close();
    backup.Close();
    const std::string backing = LoopBacking(minor);
    ASSERT_FALSE(backing.empty());
    ASSERT_EQ(SendMinor(QNBF_DEFUNCT_NODE, static_cast<uint32_t>(minor)), 0);
    ASSERT_EQ(SendMinor(QNBF_DELETE_NODE, static_cast<uint32_t>(minor)), 0);
    EXPECT_FALSE(Exists(snapNode));
    EXPECT_FALSE(Exists(node));
    EXPECT_NE(LoopBacking(snapMinor), snapBacking);
    EXPECT_NE(LoopBacking(minor), backing);
    EXPECT_FALSE(Exists(dir_.File("cow/.qnbf" + std::to_string(minor) + "-snap")));
    EXPECT_FALSE(Exists(dir_.File("cow/.qnbf" + std::to_string(minor) + "-snapmap")));
    EXPECT_EQ(env_.ShellCommands().size(), 1u);  // the boot-script regeneration, recorded
}

}  // namespace
}  // namespace kzvol::testing
