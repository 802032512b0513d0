// On real loop devices and mounts in the test's own namespace: device probes
// (loop devices, character nodes, the filter driver's node directory on tmpfs),
// raw sector I/O, and Lock and Unlock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>

#include "host/Handles.h"
#include "tests/support/MountedImage.h"
#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"
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

TEST_F(DeviceSystem, BlockCharacterAndRegularFilesUnderDev) {
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

TEST_F(DeviceSystem, SizeOfALoopDeviceNotAMultipleOfItsBlockSize) {
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

TEST_F(DeviceSystem, SectorGeometryOfALoopDevice) {
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

TEST_F(DeviceSystem, FilterDeviceByMajorNumberAndByNodePath) {
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

TEST_F(DeviceSystem, DiskWriteThenDiskReadAndReadPastTheEnd) {
    auto loop = Loop(8 << 20);
    ASSERT_TRUE(loop->ok()) << loop->error();
    std::vector<char> out(64 * 512), in(64 * 512, 0);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(i * 7 + 1);
    {
        KZVolumeUnix vol(loop->path());
        ASSERT_TRUE(vol.Open(0));
        unsigned long done = 0;
        ASSERT_TRUE(vol.DiskWrite(100, 64, out.data(), done));
        EXPECT_EQ(done, 64u);
        ASSERT_EQ(::fsync(vol.m_hVolume), 0);
    }
    KZVolumeUnix vol(loop->path());
    ASSERT_TRUE(vol.Open(1));
    unsigned int done = 0;
    ASSERT_TRUE(vol.DiskRead(100, 64, in.data(), done));
    EXPECT_EQ(done, 64u);
    EXPECT_EQ(in, out);
    // The bytes landed at sector 100 of the backing file.
    EXPECT_EQ(ReadFile(dir_.File("img")).compare(100 * 512, out.size(), out.data(), out.size()), 0);
    // Past the end of the device: two attempts, five seconds apart.
    EXPECT_TRUE(env_.Sleeps().empty());
    EXPECT_FALSE(vol.DiskRead(16380, 8, in.data(), done));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(env_.Sleeps(), (std::vector<unsigned long>{5000, 5000}));
}

using Lines = std::vector<std::string>;

// Records the commands and runs them for real, on the real mount table.
class RealMountsEnv : public TestEnv {
  public:
    RealMountsEnv() { set_run_commands(true); }
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        return EnvWrapper::ReadMountTable(entries);
    }
};

class LockSystem : public SystemTest {
  protected:
    // Mounts a fresh `type` file system on <temp>/<name> holding the file "data".
    void MountImage(const std::string& type = "ext3", const std::string& name = "mnt",
                    unsigned long long bytes = 16ull << 20) {
        image_ = std::make_unique<MountedImage>(dir_.path(), type, dir_.File(name), bytes);
        ASSERT_TRUE(image_->ok()) << image_->error();
        ASSERT_FALSE(dir_.Write(name + "/data", "kept").empty());
    }
    std::string Mnt() const { return image_->dir(); }
    std::string Dev() const { return image_->device(); }
    bool DataIsBack() const { return ReadFile(Mnt() + "/data") == "kept"; }

    TempDir dir_;
    std::unique_ptr<MountedImage> image_;
};

// Named by its device, a symbolic link to it or its mount directory.
TEST_F(LockSystem, LockThenUnlockRemountsWithTheSameTypeAndOptions) {
    MountImage();
    const std::string options = RealMountOn(Mnt()).fields[3];
    ASSERT_EQ(::mkdir(dir_.File("dev").c_str(), 0755), 0);
    const std::string link = dir_.File("dev/volume-link");
    ASSERT_EQ(::symlink(Dev().c_str(), link.c_str()), 0);
    for (const std::string& name : {Dev(), link, Mnt()}) {
        SCOPED_TRACE(name);
        RealMountsEnv env;
        KZVolumeUnix vol(name);
        ASSERT_TRUE(vol.Lock());
        EXPECT_FALSE(IsMounted(Mnt()));
        EXPECT_TRUE(vol.m_bLocked);
        EXPECT_EQ((Lines{vol.m_pszMntFsName, vol.m_pszMntDir, vol.m_pszMntType, vol.m_pszMntOpts}),
                  (Lines{Dev(), Mnt(), "ext3", options}));
        ASSERT_TRUE(vol.Unlock());
        EXPECT_EQ(env.Commands(),
                  (Lines{"/bin/umount -- " + Mnt(),
                         "/bin/mount -t ext3 -o " + options + " -- " + Dev() + " " + Mnt()}));
        EXPECT_EQ(RealMountOn(Mnt()).fields, (Lines{Dev(), Mnt(), "ext3", options, "0", "0"}));
        EXPECT_TRUE(DataIsBack());
        EXPECT_FALSE(vol.m_bLocked);
        EXPECT_EQ(vol.m_pszMntDir, nullptr);
    }
}

TEST_F(LockSystem, TypedUnlockOfXfsMountsWithNouuid) {
    if (RunCommandLine("command -v mkfs.xfs >/dev/null") != 0)
        GTEST_SKIP() << "mkfs.xfs is not installed; the recorded command is checked by unit tests";
    MountImage("xfs", "mnt", 320ull << 20);  // xfs wants at least 300 MiB
    RealMountsEnv env;
    KZVolumeUnix vol(Dev());
    ASSERT_TRUE(vol.Lock());
    EXPECT_EQ(std::string(vol.m_pszMntType), "xfs");
    vol.Unlock("xfs", "");
    EXPECT_EQ(env.Commands().back(), "/bin/mount -t xfs -o nouuid -- " + Dev() + " " + Mnt());
    EXPECT_NE(RealMountOn(Mnt()).fields[3].find("nouuid"), std::string::npos);
    EXPECT_TRUE(DataIsBack());
}

TEST_F(LockSystem, BusyFileSystemRefusesTheUnmount) {
    MountImage();
    int busy = ::open((Mnt() + "/data").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    RealMountsEnv env;
    KZVolumeUnix vol(Dev());
    EXPECT_FALSE(vol.Lock());
    ::close(busy);
    EXPECT_TRUE(IsMounted(Mnt()));
    EXPECT_FALSE(vol.m_bLocked);
    EXPECT_EQ(vol.m_pszMntFsName, nullptr);
    EXPECT_TRUE(env.HasError("failed to unmount=" + Mnt() + " errno="));
}

TEST_F(LockSystem, MountPointWithBlanksQuotesAndCommandsInItsName) {
    const std::string name = "it's a b; touch pwned; $(touch pwned2)";
    MountImage("ext3", name);
    // Anything the shell were made to run would land here.
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    RealMountsEnv env;
    {
        KZVolumeUnix vol(Dev());
        EXPECT_TRUE(vol.Lock());
        EXPECT_FALSE(IsMounted(Mnt()));
        ASSERT_NE(vol.m_pszMntDir, nullptr);
        EXPECT_EQ(std::string(vol.m_pszMntDir), Mnt());
        vol.Unlock();
    }
    EXPECT_EQ(::chdir(previous), 0);
    EXPECT_TRUE(DataIsBack());
    EXPECT_EQ(RealMountOn(Mnt()).fields[0], Dev());
    EXPECT_EQ(::access(dir_.File("pwned").c_str(), F_OK), -1);
    EXPECT_EQ(::access(dir_.File("pwned2").c_str(), F_OK), -1);
    EXPECT_EQ(env.Commands().front(),
              "/bin/umount -- '" + dir_.path() + "/it'\\''s a b; touch pwned; $(touch pwned2)'");
}

}  // namespace
}  // namespace kzvol::testing
