// The ext2/ext3 geometry check at each limit it draws (one value inside, the next
// outside), and the directory walk's volume-information file on images named by a
// test mount table: the reader's file without its fstype line, or no file at all.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "host/Handles.h"
#include "metadata/ReaderCallBacks.h"
#include "metadata/VolumeGeometry.h"
#include "rdfd/RDFD.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

using Patch = std::pair<size_t, uint32_t>;  // superblock offset, 32-bit value

// 1 KiB blocks, 8193 blocks in one group of 8192, 256 inodes of 256 bytes: sound.
std::string SuperBlock(const std::vector<Patch>& patches) {
    std::string sb(1024, '\0');
    std::vector<Patch> all = {{0, 256}, {4, 8193}, {20, 1}, {32, 8192}, {40, 256}, {88, 256}};
    all.insert(all.end(), patches.begin(), patches.end());
    for (const auto& [offset, value] : all)
        for (int i = 0; i < (offset == 88 ? 2 : 4); ++i)
            sb[offset + i] = static_cast<char>(value >> (8 * i));
    return sb;
}

TEST(VolumeGeometry, EachLimitAcceptsItsLastValueAndRefusesTheNext) {
    struct Case {
        std::vector<Patch> patches;
        uint32_t gdc;  // 0: refused
    };
    const Case cases[] = {
        {{}, 1},
        {{{4, 8194}}, 2},  // a second group of one block
        {{{24, 4}}, 1},    // 16 KiB blocks
        {{{24, 5}}, 0},    // 32 KiB
        {{{88, 128}}, 1},  // smallest inode
        {{{88, 64}}, 0},
        {{{88, 1024}}, 1},  // an inode per block
        {{{88, 2048}}, 0},  // larger than a block
        {{{88, 384}}, 0},   // not a power of two
        {{{32, 8193}}, 0},  // more blocks than a bitmap block maps
        {{{40, 8192}}, 1},  // inodes per group: a bitmap's worth
        {{{40, 8193}}, 0},
        {{{20, 8192}}, 1},  // first data block: the last block
        {{{20, 8193}}, 0},
        {{{20, 8193}, {0, 0}}, 0},  // refused for itself, not for its inodes
        {{{0, 257}}, 0},            // one inode more than the group holds
        {{{40, 0}, {0, 0}}, 0},
        {{{88, 0}}, 0},
        {{{32, 0}}, 0},
        {{{4, 0}}, 0},
        {{{32, 1}, {4, 1048577}}, 1048576},         // a descriptor table of 32 MiB
        {{{32, 1}, {4, 1048578}}, 0},               // one descriptor block more
        {{{32, 1}, {4, 0xFFFFFFFF}, {40, 1}}, 0},   // four billion groups must not wrap
        {{{24, 4}, {4, 270000}, {20, 262142}}, 1},  // descriptors end below 4 GiB
        {{{24, 4}, {4, 270000}, {20, 262143}}, 0},  // start at 4 GiB
    };
    for (const Case& c : cases) {
        const std::string sb = SuperBlock(c.patches);
        metadata::VolumeGeometry g;
        const metadata::GeometryProblem problem =
            metadata::DecodeGeometry(reinterpret_cast<const unsigned char*>(sb.data()), &g);
        const std::string name = ::testing::PrintToString(c.patches);
        EXPECT_EQ(problem.why.empty(), c.gdc != 0) << name << ": " << problem.why;
        const bool blockSize = c.patches.size() == 1 && c.patches[0] == Patch(24, 5);
        EXPECT_EQ(problem.blockSize, blockSize) << name;
        if (c.gdc != 0) {
            EXPECT_EQ(g.gdc, c.gdc) << name;
            EXPECT_EQ(g.descBlock, (c.gdc + g.dpb - 1) / g.dpb) << name;
            EXPECT_EQ(g.dpb * 32, g.blockSize) << name;
            EXPECT_EQ(g.ipb * g.isize, g.blockSize) << name;
        }
    }
}

class VolumeInfoTest : public ::testing::Test {
  protected:
    // An image made by mke2fs with `options`, mounted (for the lookup) on /mnt/vol.
    void MakeImage(const std::string& options, const std::string& size) {
        ::unlink(image_.c_str());
        std::string output;
        ASSERT_EQ(RunCommandLine("mke2fs -q -F " + options + " " + image_ + " " + size + " 2>&1",
                                 &output),
                  0)
            << output;
        env_.SetMountTable({{{image_, "/mnt/vol", "ext3", "rw"}}});
    }
    bool Dump(int acl, int selinux) {
        char mnt[] = "/mnt/vol";
        return volume_.DumpVolumeInfo(mnt, info_.data(), 65536, acl, selinux);
    }
    // The reader's own information file for the image.
    std::string ReaderInfo(int acl, int selinux) {
        UniqueFd fd(::open(image_.c_str(), O_RDONLY));
        int raw = fd.get();
        CCreateUNIXFSTree table;
        long long handle = 0;
        const std::string dump = tmp_.File("reader-info");
        EXPECT_EQ(table.Init(&handle), 0);
        EXPECT_EQ(table.Open(tmp_.File("t").c_str()), 0);
        char root[] = "/", ext3[] = "ext3", platform[] = "linux";
        EXPECT_TRUE(RDFDInterfaceForImgPod(root, RDFDReadCallBack, &raw, RDFDGetInodeNameCallBack,
                                           &table, const_cast<char*>(dump.c_str()), ext3, platform,
                                           65536, acl, selinux, false, nullptr, nullptr));
        EXPECT_EQ(table.Close(), 0);
        return ReadFile(dump);
    }
    void PatchSuperBlock(size_t offset, uint32_t value, int width) {
        UniqueFd fd(::open(image_.c_str(), O_RDWR));
        ASSERT_EQ(::pwrite(fd.get(), &value, width, 1024 + offset), width);  // little-endian host
    }

    TestEnv env_;
    TempDir tmp_;
    std::string image_ = tmp_.File("image"), info_ = tmp_.File("volinfo");
    KZVolumeUnix volume_{-1};
};

TEST_F(VolumeInfoTest, TwentyGroupsMatchTheReadersFileAndUnusableSuperBlocksLeaveNone) {
    MakeImage("-t ext3 -b 1024 -g 1024 -N 640", "20M");
    ASSERT_TRUE(Dump(1, 0));
    const std::string text = ReadFile(info_);
    EXPECT_EQ(text + "fstype=ext3\n", ReaderInfo(1, 0));
    EXPECT_EQ(text.find("extentsize=65536 \ngdc=20 \nitableblock="), 0u);
    ASSERT_TRUE(Dump(0, 1));
    EXPECT_EQ(ReadFile(info_) + "fstype=ext3\n", ReaderInfo(0, 1));

    // A foreign magic, meta block groups, a geometry the check refuses.
    for (const auto& [offset, value, width] :
         {std::tuple<size_t, uint32_t, int>{56, 0x1234, 2}, {96, 0x12, 4}, {32, 0, 4}}) {
        ::unlink(info_.c_str());
        MakeImage("-t ext3 -b 1024", "4M");
        PatchSuperBlock(offset, value, width);
        EXPECT_FALSE(Dump(1, 0)) << offset;
        EXPECT_NE(::access(info_.c_str(), F_OK), 0) << offset;
    }
    char unmounted[] = "/not/mounted";
    EXPECT_FALSE(volume_.DumpVolumeInfo(unmounted, info_.data(), 1, 0, 0));
}

}  // namespace
}  // namespace kzvol::testing
