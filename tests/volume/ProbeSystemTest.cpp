// Device probes on real nodes: loop devices, character nodes, the filter driver's
// node directory (tmpfs in the test's mount namespace).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>

#include "host/Handles.h"
#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class ProbeSystem : public SystemTest {
  protected:
    void TearDown() override {
        for (const std::string& node : nodes_)
            ::unlink(node.c_str());
    }
    // A node under /dev/qnbf, removed at the end of the test.
    void MakeNode(const std::string& path, mode_t type, dev_t dev) {
        ::unlink(path.c_str());
        ASSERT_EQ(::mknod(path.c_str(), type | 0600, dev), 0) << path;
        nodes_.push_back(path);
    }
    static dev_t DeviceOf(const std::string& path) {
        struct stat st;
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return st.st_rdev;
    }
    // A loop device over a fresh sparse image of `bytes`.
    std::unique_ptr<LoopDevice> Loop(unsigned long long bytes = 1 << 20) {
        MakeSparseFile(dir_.File("img"), bytes);
        return std::make_unique<LoopDevice>(dir_.File("img"));
    }
    std::vector<std::string> nodes_;
    TestEnv env_;
    TempDir dir_;
};

TEST_F(ProbeSystem, BlockCharacterAndRegularFilesUnderDev) {
    auto loop = Loop();
    ASSERT_TRUE(loop->ok()) << loop->error();
    EXPECT_TRUE(isDevice(loop->path()));
    EXPECT_FALSE(isCharDevice(loop->path()));
    EXPECT_TRUE(isCharDevice("/dev/null"));

    const std::string plain = "/dev/qnbf/plain";
    ASSERT_TRUE(UniqueFd(::open(plain.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)).valid());
    nodes_.push_back(plain);
    EXPECT_FALSE(isDevice(plain));
    std::string filter;
    EXPECT_FALSE(isQNBFDevice(plain, filter));
    EXPECT_FALSE(KZVolume::isQNBFDevice(plain));
}

TEST_F(ProbeSystem, SizeOfALoopDeviceNotAMultipleOfItsBlockSize) {
    auto loop = Loop(1000000000);
    ASSERT_TRUE(loop->ok()) << loop->error();
    // The block size holds while a descriptor keeps the device open.
    UniqueFd holder(::open(loop->path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    int blockSize = 4096;
    ASSERT_EQ(::ioctl(holder.get(), BLKBSZSET, &blockSize), 0);

    unsigned long long usable = 0, raw = 0;
    ASSERT_TRUE(GetDeviceSize_Internal(loop->path(), &usable, &raw));
    EXPECT_EQ(raw, 1000000000u);
    EXPECT_EQ(usable, 999997440u);
    unsigned long long size = 0;
    ASSERT_TRUE(GetDeviceSize(loop->path(), &size));
    EXPECT_EQ(size, 999997440u);
    KZVolumeUnix vol(loop->path());
    EXPECT_EQ(vol.GetVolInfo(size), 0);
    EXPECT_EQ(size, 999997440u);

    EXPECT_FALSE(GetDeviceSize_Internal("/dev/qnbf/none", &usable, &raw));
    EXPECT_TRUE(env_.HasError("open failed on /dev/qnbf/none. errno:2"));
}

TEST_F(ProbeSystem, SectorGeometryOfALoopDevice) {
    auto loop = Loop(8 << 20);
    ASSERT_TRUE(loop->ok()) << loop->error();
    unsigned long long logical = 1, physical = 1, ioMin = 1, ioOpt = 1;
    ASSERT_TRUE(GetDiskSectorSz(loop->path(), &logical, &physical, &ioMin, &ioOpt));
    EXPECT_EQ(logical, 512u);
    EXPECT_GE(physical, 512u);
    EXPECT_GE(ioMin, 512u);
    EXPECT_EQ(env_.CountLogs("LogSecSz[512] PhySecSz["), 1);

    // A character device answers none of the block queries: all four become 0.
    ASSERT_TRUE(GetDiskSectorSz("/dev/null", &logical, &physical, &ioMin, &ioOpt));
    EXPECT_EQ(logical + physical + ioMin + ioOpt, 0u);
    EXPECT_EQ(env_.CountLogs("At least one of the device ioctl's have failed"), 1);
    EXPECT_FALSE(GetDiskSectorSz("/dev/qnbf/none", &logical, &physical, &ioMin, &ioOpt));
}

TEST_F(ProbeSystem, FilterDeviceByMajorNumberAndByNodePath) {
    auto loop = Loop();
    ASSERT_TRUE(loop->ok()) << loop->error();
    EXPECT_FALSE(KZVolume::isQNBFDevice(loop->path()));
    EXPECT_TRUE(env_.HasError("Failed to stat QNBF admin node /dev/qnbf/ctrl"));

    MakeNode("/dev/qnbf/ctrl", S_IFREG, 0);
    EXPECT_FALSE(KZVolume::isQNBFDevice(loop->path()));
    EXPECT_TRUE(env_.HasError("Admin node=/dev/qnbf/ctrl is NOT a char device."));

    MakeNode("/dev/qnbf/ctrl", S_IFCHR, makedev(7, 0));
    EXPECT_TRUE(KZVolume::isQNBFDevice(loop->path()));  // loop devices share major 7
    EXPECT_FALSE(KZVolume::isQNBFDevice("/dev/null"));
    EXPECT_EQ(env_.CountLogs("qnbf major is 7 and device major is 1"), 1);

    // A node under /dev/qnbf is a filter device without asking the driver.
    const std::string node = "/dev/qnbf/qnbf" + std::to_string(loop->minor());
    MakeNode(node, S_IFBLK, DeviceOf(loop->path()));
    std::string filter;
    ASSERT_TRUE(isQNBFDevice(node, filter));
    EXPECT_EQ(filter, node);
    // A driver-mode object takes the minor of its node.
    KZVolumeUnix vol(node, "", false, false);
    EXPECT_TRUE(vol.IsOpen());
    EXPECT_EQ(vol.m_QnbfNodeMinorno, loop->minor());
}

}  // namespace
}  // namespace kzvol::testing
