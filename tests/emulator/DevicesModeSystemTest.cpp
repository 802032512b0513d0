// The stand-in driver in devices mode: filter devices are loop devices with nodes
// under /dev/qnbf, writes through them show in both bitmaps (the last extent
// included), snapshots mount, and nothing is left attached after a deletion or a
// shutdown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>

#include "host/Handles.h"
#include "tests/support/MemoryDriver.h"
#include "tests/support/StandInSystemTest.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kMiB = 1 << 20;

// Whether loop device `minor` is attached over a file under `dir`. Another program
// may take a released number at once, so release shows as another backing file.
bool LoopOver(int minor, const std::string& dir) {
    std::string backing;
    RunCommandLine("cat /sys/block/loop" + std::to_string(minor) + "/loop/backing_file 2>/dev/null",
                   &backing);
    return backing.rfind(dir + "/", 0) == 0;
}

class DevicesMode : public StandInSystemTest {
  protected:
    // A 32 MiB ext2 image holding a.txt with `text`, on a loop device.
    std::unique_ptr<LoopDevice> Volume(const std::string& text) {
        ::mkdir(dir_.File("src").c_str(), 0755);
        dir_.Write("src/a.txt", text);
        std::string out, image = dir_.File("volume.img");
        EXPECT_EQ(RunCommandLine("mke2fs -q -F -t ext2 -b 1024 -d " + dir_.File("src") + " " +
                                     image + " 32768 2>&1",
                                 &out),
                  0)
            << out;
        return std::make_unique<LoopDevice>(image);
    }
};

TEST_F(DevicesMode, WritesShowInBothBitmapsAndASnapshotKeepsTheOldContent) {
    EXPECT_EQ(AddFilter(dir_.Write("plain", std::string(4096, 'p')), kMiB), -ENOTBLK);
    auto volume = Volume("old content\n");
    ASSERT_TRUE(volume->ok()) << volume->error();
    int minor = AddFilter(volume->path(), kMiB);
    ASSERT_GE(minor, 0);
    const std::string node = FilterNode(minor);
    struct stat st;
    ASSERT_EQ(::stat(node.c_str(), &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(static_cast<int>(minor(st.st_rdev)), minor);
    ASSERT_EQ(::stat("/dev/qnbf/ctrl", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    for (uint32_t kind : {QNBF_KIND_INCREMENTAL, QNBF_KIND_DIFFERENTIAL})
        ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, minor, kind), 0);

    {
        UniqueFd fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(::pwrite(fd.get(), "AB", 2, 5 * kMiB + 10), 2);
        ASSERT_EQ(::pwrite(fd.get(), "CD", 2, 20 * kMiB), 2);
        ASSERT_EQ(::pwrite(fd.get(), "E", 1, 32 * kMiB - 1), 1);  // the last byte
        ASSERT_EQ(::fsync(fd.get()), 0);
        UniqueFd under(::open(volume->path().c_str(), O_RDONLY | O_CLOEXEC));
        char two[2] = {};
        ASSERT_EQ(::pread(under.get(), two, 2, 5 * kMiB + 10), 2);
        EXPECT_EQ(std::string(two, 2), "AB");  // through to the underlying device
    }
    // 32 extents: bits 5, 20 and 31 in 4 bytes.
    const std::vector<unsigned char> touched = {0x20, 0x00, 0x10, 0x80};
    EXPECT_EQ(GetBitmap(minor, QNBF_KIND_INCREMENTAL, 4), touched);
    EXPECT_EQ(GetBitmap(minor, QNBF_KIND_DIFFERENTIAL, 4), touched);

    int snap = SnapFilter(minor, dir_.File(".v-snap"), true);
    ASSERT_GE(snap, 0);
    {
        ScopedMount live(node, "/talmartmp/live", "ext2");
        ASSERT_TRUE(live.ok()) << live.error();
        EXPECT_EQ(ReadFile("/talmartmp/live/a.txt"), "old content\n");
        dir_.Write("new.txt", "new content\n");
        ASSERT_EQ(RunCommandLine("cp " + dir_.File("new.txt") + " /talmartmp/live/a.txt"), 0);
    }
    const std::string snapNode = FilterNode(snap);
    {
        ScopedMount frozen(snapNode, "/snapmnt/v", "ext2", MS_RDONLY);
        ASSERT_TRUE(frozen.ok()) << frozen.error();
        EXPECT_EQ(ReadFile("/snapmnt/v/a.txt"), "old content\n");
        EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, snap), EBUSY);  // mounted
    }
    {
        ScopedMount live(node, "/talmartmp/live", "ext2", MS_RDONLY);
        ASSERT_TRUE(live.ok()) << live.error();
        EXPECT_EQ(ReadFile("/talmartmp/live/a.txt"), "new content\n");
    }

    // Deleted: no node and no loop device is left; the snapshot's files stay.
    EXPECT_TRUE(LoopOver(minor, dir_.path()));
    EXPECT_TRUE(LoopOver(snap, dir_.path()));
    EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, snap), 0);
    EXPECT_EQ(SendMinor(QNBF_DEFUNCT_NODE, minor), 0);
    EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, minor), 0);
    EXPECT_NE(::access(node.c_str(), F_OK), 0);
    EXPECT_NE(::access(snapNode.c_str(), F_OK), 0);
    EXPECT_FALSE(LoopOver(snap, dir_.path()));
    EXPECT_FALSE(LoopOver(minor, dir_.path()));
    EXPECT_EQ(::access(dir_.File(".v-snap").c_str(), F_OK), 0);

    // A shutdown releases every device left, snapshots included.
    minor = AddFilter(volume->path(), kMiB);
    ASSERT_GE(minor, 0);
    snap = SnapFilter(minor, dir_.File(".w-snap"), true);
    ASSERT_GE(snap, 0);
    std::string error;
    ASSERT_TRUE(driver_->Shutdown(false, &error)) << error;
    EXPECT_FALSE(LoopOver(minor, dir_.path()));
    EXPECT_FALSE(LoopOver(snap, dir_.path()));
    qn_getdevicelist_arg list{};
    ASSERT_EQ(Send(QNBF_GET_DEVLIST, &list), 0);
    EXPECT_EQ(list.count, 0u);
}

TEST_F(DevicesMode, FilterOverAZramVolumeOfAnotherMajor) {
    if (!ZramDevice::Available())
        GTEST_SKIP() << "no zram here";
    zram_ = std::make_unique<ZramDevice>(16 * kMiB);
    ASSERT_TRUE(zram_->ok());
    int minor = AddFilter(zram_->path(), 2 * kMiB);
    ASSERT_GE(minor, 0);
    const std::string node = FilterNode(minor);
    EXPECT_FALSE(KZVolume::isQNBFDevice(zram_->path()));
    EXPECT_TRUE(KZVolume::isQNBFDevice(node));
    std::string filter;
    ASSERT_TRUE(isQNBFDevice(zram_->path(), filter));  // covered: found through the driver
    EXPECT_EQ(filter, node);

    ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, minor, QNBF_KIND_INCREMENTAL), 0);
    {
        UniqueFd fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_EQ(::pwrite(fd.get(), "z", 1, 13 * kMiB), 1);
    }
    EXPECT_EQ(GetBitmap(minor, QNBF_KIND_INCREMENTAL, 1), std::vector<unsigned char>{0x40});
    qn_getinfo_arg info{};
    info.minor = static_cast<uint32_t>(minor);
    ASSERT_EQ(Send(QNBF_GET_INFO, &info), 0);
    EXPECT_EQ(info.size, 16u * kMiB);
    EXPECT_EQ(info.incr_bmp_size, 1);
    EXPECT_EQ((info.underlying_dev >> 8) & 0xfff, 253);  // the zram major
}

}  // namespace
}  // namespace kzvol::testing
