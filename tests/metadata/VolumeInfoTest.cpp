// The volume-information file of the directory walk, on ext2/ext3 images named by
// a test mount table: byte for byte the reader's file without its fstype line,
// and refused superblocks that leave no file.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "host/Handles.h"
#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class VolumeInfoTest : public ::testing::Test {
  protected:
    // An image of `size` made by mke2fs with `options`, mounted (for the lookup) on /mnt/vol.
    void MakeImage(const std::string& options, const std::string& size) {
        image_ = tmp_.File("image");
        ::unlink(image_.c_str());
        std::string output;
        ASSERT_EQ(RunCommandLine("mke2fs -q -F " + options + " " + image_ + " " + size + " 2>&1",
                                 &output),
                  0)
            << output;
        env_.SetMountTable({{{image_, "/mnt/vol", "ext3", "rw"}}});
    }
    bool Dump(int acl = 1, int selinux = 0) {
        char mnt[] = "/mnt/vol";
        return volume_.DumpVolumeInfo(mnt, info_.data(), 65536, acl, selinux);
    }
    // The reader's own information file for the image.
    std::string ReaderInfo(int acl, int selinux) {
        UniqueFd fd(::open(image_.c_str(), O_RDONLY));
        int raw = fd.get();
        CCreateUNIXFSTree table;
        long long handle = 0;
        const std::string dump = tmp_.File("reader-info"), tablePath = tmp_.File("t");
        EXPECT_EQ(table.Init(&handle), 0);
        EXPECT_EQ(table.Open(tablePath.c_str()), 0);
        char root[] = "/", ext3[] = "ext3", platform[] = "linux";
        EXPECT_TRUE(RDFDInterfaceForImgPod(root, RDFDReadCallBack, &raw, RDFDGetInodeNameCallBack,
                                           &table, const_cast<char*>(dump.c_str()), ext3, platform,
                                           65536, acl, selinux, false, nullptr, nullptr));
        EXPECT_EQ(table.Close(), 0);
        return ReadFile(dump);
    }
    // Overwrites `width` bytes of the superblock at `offset` with `value`.
    void PatchSuperBlock(size_t offset, uint32_t value, int width) {
        UniqueFd fd(::open(image_.c_str(), O_RDWR));
        unsigned char bytes[4] = {
            static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
        ASSERT_EQ(::pwrite(fd.get(), bytes, width, 1024 + offset), width);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string image_, info_ = tmp_.File("volinfo");
    KZVolumeUnix volume_{-1};
};

TEST_F(VolumeInfoTest, OneAndTwentyGroupsMatchTheReadersFile) {
    const struct {
        const char *options, *size;
        int acl, selinux;
        const char* head;
        size_t lines;
    } cases[] = {
        {"-t ext3 -b 1024 -g 1024 -N 640", "20M", 1, 0,
         "extentsize=65536 \ngdc=20 \nitableblock=", 20 + 17},
        {"-t ext2 -b 4096 -N 128", "8M", 0, 1, "extentsize=65536 \ngdc=1 \nitableblock=", 1 + 17},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        MakeImage(c.options, c.size);
        ASSERT_TRUE(Dump(c.acl, c.selinux));
        const std::string text = ReadFile(info_);
        EXPECT_EQ(text + "fstype=ext3\n", ReaderInfo(c.acl, c.selinux));
        EXPECT_EQ(text.find(c.head), 0u);
        EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), c.lines);
    }
}

TEST_F(VolumeInfoTest, UnusableSuperBlocksAreRefusedWithoutAFile) {
    struct Damage {
        size_t offset;
        uint32_t value;
        int width;
        const char* error;
    };
    const Damage cases[] = {
        {56, 0x1234, 2, "superblock is currupt run fsck and try again"},
        {96, 0x12, 4, "ext2/ext3 metablock group not supported"},
        {88, 0, 2, "InodeSize , InodesPerGroup , TotalBlockCount , BlocksPerGroup"},
        {32, 0, 4, "InodeSize , InodesPerGroup , TotalBlockCount , BlocksPerGroup"},
        {24, 40, 4, "FS Block size is weird!! . Block Size :262144"},
        {20, 0xFFFFFFFF, 4, "First data block beyond the blocks count :4294967295"},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.error);
        MakeImage("-t ext3 -b 1024", "4M");
        PatchSuperBlock(d.offset, d.value, d.width);
        EXPECT_FALSE(Dump());
        EXPECT_TRUE(env_.HasError(d.error));
        EXPECT_NE(::access(info_.c_str(), F_OK), 0);
    }
    // Four billion groups of one block: the group and descriptor counts must not
    // wrap into a small table that four billion descriptors are then read from.
    MakeImage("-t ext3 -b 1024", "4M");
    PatchSuperBlock(32, 1, 4);
    PatchSuperBlock(4, 0xFFFFFFFF, 4);
    EXPECT_FALSE(Dump());
    EXPECT_TRUE(env_.HasError("Group descriptor table too large"));

    char unmounted[] = "/not/mounted";
    EXPECT_FALSE(volume_.DumpVolumeInfo(unmounted, info_.data(), 1, 0, 0));
    EXPECT_TRUE(env_.HasError("failed to open= errno=2"));
}

}  // namespace
}  // namespace kzvol::testing
