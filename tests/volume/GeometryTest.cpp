// Device probes that need no root (classification of paths, raw-name
// conversion), and volume geometry from the driver's answer and without one.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/MemoryDriver.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class Geometry : public MemoryDriver {
  protected:
    // A driver-mode object bound to the filter device of a volume of `bytes`.
    std::unique_ptr<KZVolumeUnix> VolumeOf(uint64_t bytes) {
        int minor = AddDevice("/dev/sdv" + std::to_string(++volumes_), bytes);
        auto vol = std::make_unique<KZVolumeUnix>("/dev/qnbf/ctrl");
        EXPECT_TRUE(vol->Open());
        vol->m_QnbfNodeMinorno = minor;
        return vol;
    }
    int volumes_ = 0;
};

TEST_F(Geometry, SizeIsTruncatedTo4096ThenCountedIn512ByteBlocks) {
    auto vol = VolumeOf(1000000000);
    ASSERT_TRUE(vol->GetVolumeInfo());
    EXPECT_EQ(vol->m_nTotalBlocks, 1953120u);  // 999997440 bytes
    EXPECT_TRUE(vol->m_bVolInfoValid);
    auto small = VolumeOf(10000);
    ASSERT_TRUE(small->GetVolumeInfo());
    EXPECT_EQ(small->m_nTotalBlocks, 16u);
}

// Offsets map one to one once the driver answered, to 0 otherwise.
TEST_F(Geometry, BlockSizeIs512WhetherOrNotTheDriverAnswers) {
    auto answered = VolumeOf(1 << 30);
    EXPECT_EQ(answered->GetBlockSize(), 512u);
    EXPECT_TRUE(answered->m_bVolInfoValid);
    EXPECT_EQ(answered->GetPhysicalOffsetForLogical(12345), 12345u);
    EXPECT_EQ(answered->GetLogicalOffsetForPhysical(777), 777u);

    auto refused = VolumeOf(1 << 30);
    refused->m_QnbfNodeMinorno = 250;  // no such device
    EXPECT_EQ(refused->GetBlockSize(), 512u);
    EXPECT_FALSE(refused->m_bVolInfoValid);
    EXPECT_EQ(refused->GetPhysicalOffsetForLogical(12345), 0u);

    KZVolumeUnix unbound("/dev/qnbf/ctrl");
    EXPECT_EQ(unbound.GetBlockSize(), 512u);
    EXPECT_EQ(unbound.GetLogicalOffsetForPhysical(5), 0u);
}

TEST(GeometryAnswers, FixedAnswersOfTheLinuxVolume) {
    TestEnv env;
    KZVolumeUnix vol("/nonexistent/volume");
    unsigned long long size = 99;
    EXPECT_EQ(vol.GetVolInfo(size), -1);
    for (std::string type : {"ext2", "ext4", "xfs", "EXT3", ""})
        EXPECT_FALSE(vol.IsDataBlockAvailable(type));
    std::string ext3 = "ext3";
    EXPECT_TRUE(vol.IsDataBlockAvailable(ext3));
}

// Paths outside /dev are never examined (nothing is logged for them); what is
// not a device node is no filter device either.
TEST(Probe, DevicesAndFilterDevices) {
    TestEnv env;
    TempDir dir;
    std::string file = dir.Write("file", "x");
    EXPECT_FALSE(isDevice(file) || isDevice("/tmp/missing") || isCharDevice("/tmp/missing"));
    EXPECT_TRUE(env.Logs().empty());
    EXPECT_FALSE(isDevice("/dev/kzvol-missing"));
    EXPECT_TRUE(isDevice("/dev/null"));
    EXPECT_TRUE(isCharDevice("/dev/null"));
    EXPECT_FALSE(isDevice("/dev/shm"));  // a directory under /dev
    EXPECT_FALSE(KZVolume::isQNBFDevice(file));
    EXPECT_FALSE(KZVolume::isQNBFDevice(dir.File("missing")));
    std::string filter = "unchanged";
    EXPECT_FALSE(isQNBFDevice("/dev/qnbf/qnbf3", filter));
    EXPECT_EQ(filter, "unchanged");
}

TEST(Probe, RawNamesLoseTheFirstRAfterASlash) {
    char block[64];
    struct {
        const char* raw;
        const char* expected;
    } cases[] = {{"/dev/rdsk/c0d0s1", "/dev/dsk/c0d0s1"},
                 {"/dev/rsd0", "/dev/sd0"},
                 {"/dev/sda1", "/dev/sda1"},
                 {"/dev/rdsk/rx", "/dev/dsk/rx"},
                 {"rdsk", "rdsk"},
                 {"", ""}};
    for (const auto& c : cases) {
        std::memset(block, 'Z', sizeof block);
        char raw[64];
        std::strcpy(raw, c.raw);
        EXPECT_TRUE(ConvertRawToBlockDevice(raw, block));
        EXPECT_STREQ(block, c.expected) << c.raw;
    }
}

}  // namespace
}  // namespace kzvol::testing
