// The volume-information file, its geometry check, and the mount option and SELinux probes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/Handles.h"
#include "metadata/MountProbes.h"
#include "metadata/VolumeGeometry.h"
#include "rdfd/RDFD.h"
#include "tests/metadata/MetadataTestSupport.h"

namespace kzvol::testing {
namespace {

// A sound superblock (1 KiB blocks, 8193 blocks in one group of 8192, 256 inodes of 256
// bytes) changed by `patches`, "offset=value,...": 32-bit values but the inode size at 88.
std::vector<unsigned char> SuperBlock(const std::string& patches) {
    std::vector<unsigned char> sb(1024);
    std::istringstream in("0=256,4=8193,20=1,32=8192,40=256,88=256," + patches);
    size_t offset;
    uint32_t value;
    for (char sep; in >> offset >> sep >> value; in >> sep)
        for (int i = 0; i < (offset == 88 ? 2 : 4); ++i)
            sb[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    return sb;
}

TEST(VolumeGeometry, EachLimitAcceptsItsLastValueAndRefusesTheNext) {
    // "patches:descriptor count", 0 for refused; the accepted value before the refused.
    std::istringstream cases(
        ":1 4=8194:2 "                                            // a second group of one block
        "24=4:1 24=5:0 "                                          // 16 KiB blocks, 32 KiB
        "88=128:1 88=64:0 88=1024:1 88=2048:0 88=384:0 88=0:0 "   // inode sizes
        "40=8192:1 40=8193:0 32=8193:0 40=0,0=0:0 32=0:0 4=0:0 "  // a bitmap block's worth
        "20=8192:1 20=8193:0 20=8193,0=0:0 "        // the first data block: the last block
        "0=257:0 "                                  // one inode more than the group holds
        "32=1,4=1048577:1048576 32=1,4=1048578:0 "  // a descriptor table of 32 MiB, and more
        "32=1,4=4294967295,40=1:0 "                 // four billion groups must not wrap
        "24=4,4=270000,20=262142:1 24=4,4=270000,20=262143:0");  // descriptors up to 4 GiB
    for (std::string c; cases >> c;) {
        SCOPED_TRACE(c);
        const auto gdc = static_cast<uint32_t>(std::stoul(c.substr(c.find(':') + 1)));
        metadata::VolumeGeometry g;
        const auto problem =
            metadata::DecodeGeometry(SuperBlock(c.substr(0, c.find(':'))).data(), &g);
        EXPECT_EQ(problem.why.empty(), gdc != 0) << problem.why;
        EXPECT_EQ(problem.blockSize, c == "24=5:0");
        if (gdc != 0) {
            EXPECT_EQ(std::make_tuple(g.gdc, g.descBlock, g.dpb * 32, g.ipb * g.isize),
                      std::make_tuple(gdc, (gdc + g.dpb - 1) / g.dpb, g.blockSize, g.blockSize));
        }
    }
}

class VolumeInfoTest : public ::testing::Test {
  protected:
    // An empty ext3 image with 1 KiB blocks, mounted (for the lookup) on /mnt/vol.
    void Image(unsigned sizeKiB, const std::string& extra = "") {
        ::unlink(image_.c_str());
        ::mkdir(tmp_.File("empty").c_str(), 0755);
        MakeImage(tmp_.File("empty"), image_, "ext3", 1024, sizeKiB, extra);
        env_.SetMountTable({{{image_, "/mnt/vol", "ext3", "rw"}}});
    }
    bool Dump(int acl, int selinux) {
        char mnt[] = "/mnt/vol";
        return volume_.DumpVolumeInfo(mnt, info_.data(), 65536, acl, selinux);
    }
    std::string ReaderInfo(int acl, int selinux) {
        MemoryDevice device;
        device.bytes = ReadFile(image_);
        RowCollector rows;
        std::string dump = tmp_.File("reader-info");
        char root[] = "/", ext3[] = "ext3", platform[] = "linux";
        EXPECT_TRUE(RDFDInterfaceForImgPod(root, MemoryDevice::Read, &device, RowCollector::Add,
                                           &rows, dump.data(), ext3, platform, 65536, acl, selinux,
                                           false, nullptr, nullptr));
        return ReadFile(dump);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string image_ = tmp_.File("image"), info_ = tmp_.File("volinfo");
    KZVolumeUnix volume_{-1};
};

TEST_F(VolumeInfoTest, TwentyGroupsMatchTheReadersFileAndUnusableSuperBlocksLeaveNone) {
    Image(20480, "-g 1024 -N 640");
    for (int acl : {1, 0}) {
        ASSERT_TRUE(Dump(acl, !acl));
        EXPECT_EQ(ReadFile(info_) + "fstype=ext3\n", ReaderInfo(acl, !acl));
    }
    EXPECT_EQ(ReadFile(info_).find("extentsize=65536 \ngdc=20 \nitableblock="), 0u);

    // A foreign magic, meta block groups, a geometry the check refuses.
    for (const auto& [offset, value, width] :
         {std::tuple<size_t, uint32_t, int>{56, 0x1234, 2}, {96, 0x12, 4}, {32, 0, 4}}) {
        ::unlink(info_.c_str());
        Image(4096);
        UniqueFd fd(::open(image_.c_str(), O_RDWR));
        ASSERT_EQ(::pwrite(fd.get(), &value, width, 1024 + offset), width);  // little-endian host
        EXPECT_TRUE(!Dump(1, 0) && ::access(info_.c_str(), F_OK) != 0) << offset;
    }
    EXPECT_FALSE(volume_.DumpVolumeInfo(std::string("/not/mounted").data(), info_.data(), 1, 0, 0));
}

// Kernels list no "acl" option when the superblock's defaults turn ACLs on: it decides then.
TEST(MountProbes, OptionsAclsAndSELinuxMode) {
    TempDir tmp;
    const std::string image = tmp.File("image");
    ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext3 " + image + " 2M && tune2fs -o acl " + image +
                             " >/dev/null"),
              0);
    TestEnv env;
    env.SetMountTable({{{"/dev/a", "/m", "ext3", "rw,noatime,data=ordered"}},
                       {{"/dev/b", "/m", "xfs", "rw,acl"}},
                       {{"/dev/c", "/x", "xfs", "rw,acl"}},
                       {{"/dev/d", "/n", "ext4", "rw,noacl"}},
                       {{image, "/a", "ext3", "rw,relatime"}},
                       {{image, "/off", "ext3", "rw,noacl"}},
                       {{image, "/ax", "xfs", "rw"}}});
    for (std::string c : {"/m rw,noatime,data=ordered 0", "/x  1", "/n rw,noacl 0", "/none  0",
                          "/a rw,relatime 1", "/off rw,noacl 0", "/ax  0"}) {  // mount options acl
        const size_t blank = c.find(' ');
        std::string mnt = c.substr(0, blank);
        EXPECT_EQ(GetMntOptions(mnt.data()), c.substr(blank + 1, c.size() - blank - 3)) << mnt;
        EXPECT_EQ(CheckIfACLEnabled(mnt.data()), c.back() == '1') << mnt;
    }
    ASSERT_EQ(RunCommandLine("tune2fs -o ^acl " + image + " >/dev/null"), 0);
    EXPECT_FALSE(CheckIfACLEnabled(std::string("/a").data()));

    // A stand-in sestatus: status line on standard error, the rest on standard output.
    env.set_run_commands(true);
    const std::string outDir = tmp.File("kz tmp"), oldPath = std::getenv("PATH");
    ASSERT_EQ(::mkdir(tmp.File("bin").c_str(), 0755) + ::mkdir(outDir.c_str(), 0755), 0);
    ::setenv("PATH", (tmp.File("bin") + ":" + oldPath).c_str(), 1);
    auto answer = [&](const std::string& status, const std::string& rest) {
        const std::string script = "#!/bin/sh\necho '" + status + "' >&2\nprintf '" + rest + "'\n";
        ::chmod(tmp.Write("bin/sestatus", script).c_str(), 0755);
        return CheckIfSELinuxEnforcing();
    };
    const std::string enabled = "SELinux status:                 enabled";
    ScopedRegistry registry(tmp.File("registry.ini"), "[Base]\ndTALMARTEMPDIR=" + outDir + "\n");
    EXPECT_TRUE(answer(enabled, "SELinuxfs mount: /sys/fs/selinux\\nCurrent mode: enforcing\\n"));
    EXPECT_EQ(env.ShellCommands().back(), "sestatus > '" + outDir + "/sestatus' 2>&1");
    EXPECT_NE(ReadFile(outDir + "/sestatus").find(enabled), std::string::npos);
    EXPECT_FALSE(answer(enabled, "Current mode: permissive\\nMode from config file: enforcing"));
    EXPECT_FALSE(answer("SELinux status: disabled", "Current mode:   enforcing\\n"));
    EXPECT_FALSE(answer(enabled, "nothing else\\n"));
    ::unlink(tmp.File("bin/sestatus").c_str());
    ::setenv("PATH", tmp.File("bin").c_str(), 1);
    EXPECT_FALSE(CheckIfSELinuxEnforcing());
    tmp.Write("registry.ini", "[Base]\n");
    EXPECT_FALSE(answer("SELinux status: enabled", "Current mode: enforcing\\n"));
    EXPECT_EQ(env.ShellCommands().size(), 5u);  // none without the directory
    ::setenv("PATH", oldPath.c_str(), 1);
}

}  // namespace
}  // namespace kzvol::testing
