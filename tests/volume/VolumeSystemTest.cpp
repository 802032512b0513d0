// Device probes (size, geometry, filter nodes) and Lock/Unlock on real loop devices.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "host/Handles.h"
#include "tests/support/MountedImage.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class DeviceSystem : public SystemTest {
  protected:
    void TearDown() override {
        for (const std::string& node : nodes_)
            ::unlink(node.c_str());
    }
    void MakeNode(const std::string& path, mode_t type, dev_t dev) {
        ::unlink(path.c_str());
        ASSERT_EQ(::mknod(path.c_str(), type | 0600, dev), 0) << path;
        nodes_.push_back(path);
    }
    std::vector<std::string> nodes_;
    TestEnv env_;
    TempDir dir_;
};

TEST_F(DeviceSystem, SizeGeometryAndFilterDeviceOfALoopDevice) {
    MakeSparseFile(dir_.File("img"), 1000000000);
    LoopDevice loop(dir_.File("img"));
    ASSERT_TRUE(loop.ok()) << loop.error();
    // The block size holds while a descriptor keeps the device open.
    UniqueFd holder(::open(loop.path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    int blockSize = 4096;
    ASSERT_EQ(::ioctl(holder.get(), BLKBSZSET, &blockSize), 0);
    unsigned long long usable = 0, raw = 0, size = 0, volSize = 0;
    ASSERT_TRUE(GetDeviceSize_Internal(loop.path(), &usable, &raw) &&
                GetDeviceSize(loop.path(), &size) &&
                KZVolumeUnix(loop.path()).GetVolInfo(volSize) == 0);
    EXPECT_EQ((std::vector<unsigned long long>{raw, usable, size, volSize}),
              (std::vector<unsigned long long>{1000000000, 999997440, 999997440, 999997440}));
    EXPECT_FALSE(GetDeviceSize_Internal("/dev/qnbf/none", &usable, &raw));

    unsigned long long logical = 1, physical = 1, ioMin = 1, ioOpt = 1;
    ASSERT_TRUE(GetDiskSectorSz(loop.path(), &logical, &physical, &ioMin, &ioOpt));
    EXPECT_TRUE(logical == 512 && physical >= 512 && ioMin >= 512);
    // A character device answers none of the block queries: all four become 0.
    ASSERT_TRUE(GetDiskSectorSz("/dev/null", &logical, &physical, &ioMin, &ioOpt));
    EXPECT_EQ(logical + physical + ioMin + ioOpt, 0u);
    EXPECT_FALSE(GetDiskSectorSz("/dev/qnbf/none", &logical, &physical, &ioMin, &ioOpt));

    // No admin node, then a plain file, then one of major 7 like all loop devices.
    EXPECT_TRUE(isDevice(loop.path()) && !isCharDevice(loop.path()));
    EXPECT_FALSE(KZVolume::isQNBFDevice(loop.path()));
    MakeNode("/dev/qnbf/ctrl", S_IFREG, 0);
    EXPECT_FALSE(isDevice("/dev/qnbf/ctrl") || KZVolume::isQNBFDevice(loop.path()));
    MakeNode("/dev/qnbf/ctrl", S_IFCHR, makedev(7, 0));
    EXPECT_TRUE(KZVolume::isQNBFDevice(loop.path()) && !KZVolume::isQNBFDevice("/dev/null"));
    // A node under /dev/qnbf is a filter device unasked; its object takes its minor.
    const std::string node = "/dev/qnbf/qnbf" + std::to_string(loop.minor());
    MakeNode(node, S_IFBLK, makedev(7, loop.minor()));
    std::string filter;
    EXPECT_TRUE(isQNBFDevice(node, filter) && filter == node);
    KZVolumeUnix vol(node, "", false, false);
    EXPECT_TRUE(vol.IsOpen() && vol.m_QnbfNodeMinorno == loop.minor());
}

struct RealMountsEnv : TestEnv {
    RealMountsEnv() { set_run_commands(true); }
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        return EnvWrapper::ReadMountTable(entries);
    }
};

using LockSystem = SystemTest;

// Named by device, link or mount directory (a name a shell would run unquoted).
TEST_F(LockSystem, LockThenUnlockRemountsWithTheSameTypeAndOptions) {
    TempDir dir;
    MountedImage image(dir.path(), "ext3", dir.File("it's a b; touch pwned; $(touch pwned2)"));
    ASSERT_TRUE(image.ok()) << image.error();
    const std::string mnt = image.dir(), dev = image.device(), link = dir.File("dev/link");
    dir.Write("it's a b; touch pwned; $(touch pwned2)/data", "kept");
    const std::vector<std::string> mounted = {dev, mnt, "ext3", RealMountOn(mnt).fields[3],
                                              "0", "0"};
    ASSERT_EQ(::mkdir(dir.File("dev").c_str(), 0755) | ::symlink(dev.c_str(), link.c_str()), 0);
    char previous[4096];  // anything the shell were made to run would land here
    ASSERT_TRUE(::getcwd(previous, sizeof previous) && ::chdir(dir.path().c_str()) == 0);
    for (const std::string& name : {dev, link, mnt}) {
        SCOPED_TRACE(name);
        RealMountsEnv env;
        KZVolumeUnix vol(name);
        ASSERT_TRUE(vol.Lock());
        EXPECT_FALSE(IsMounted(mnt));
        ASSERT_TRUE(vol.Unlock() && env.Commands().size() == 2);
        EXPECT_EQ(RealMountOn(mnt).fields, mounted);
        EXPECT_EQ(ReadFile(mnt + "/data"), "kept");
    }
    EXPECT_EQ(::chdir(previous), 0);
    EXPECT_TRUE(::access(dir.File("pwned").c_str(), F_OK) &&
                ::access(dir.File("pwned2").c_str(), F_OK));
}

}  // namespace
}  // namespace kzvol::testing
