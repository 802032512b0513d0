// Device probes that need no root (classification of paths, raw-name
// conversion), and volume geometry from the driver's answer and without one.
#include <gtest/gtest.h>

#include "tests/support/MemoryDriver.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

using Geometry = MemoryDriver;

// The size is truncated to 4096 bytes, counted in 512-byte blocks; offsets map one
// to one once the driver answered, to 0 otherwise.
TEST_F(Geometry, SizeInWhole4096ByteUnitsBlockSize512OffsetsOnceAnswered) {
    int volumes = 0;  // each bound to the filter device of a new volume
    auto VolumeOf = [&](uint64_t bytes) {
        auto vol = BoundVolume(AddDevice("/dev/sdv" + std::to_string(++volumes), bytes));
        EXPECT_TRUE(vol->Open());
        return vol;
    };
    for (auto [bytes, blocks] : {std::pair<uint64_t, uint64_t>{1000000000, 1953120}, {10000, 16}}) {
        auto vol = VolumeOf(bytes);
        EXPECT_TRUE(vol->GetVolumeInfo() && vol->m_bVolInfoValid && vol->m_nTotalBlocks == blocks)
            << bytes;
    }
    auto answered = VolumeOf(1 << 30), refused = VolumeOf(1 << 30);
    EXPECT_TRUE(answered->GetBlockSize() == 512 && answered->m_bVolInfoValid &&
                answered->GetPhysicalOffsetForLogical(12345) == 12345u &&
                answered->GetLogicalOffsetForPhysical(777) == 777u);
    refused->m_QnbfNodeMinorno = 250;  // no such device
    EXPECT_TRUE(refused->GetBlockSize() == 512 && !refused->m_bVolInfoValid);
    EXPECT_EQ(refused->GetPhysicalOffsetForLogical(12345), 0u);
    KZVolumeUnix unbound(kQnbfAdminNode);
    EXPECT_TRUE(unbound.GetBlockSize() == 512 && unbound.GetLogicalOffsetForPhysical(5) == 0);
}

// Paths outside /dev are never examined (nothing is logged); only ext3 has a
// data-block map; raw names lose the first r after a slash.
TEST(Probe, DevicesFilterDevicesAndRawNames) {
    TestEnv env;
    TempDir dir;
    std::string file = dir.Write("file", "x"), filter = "unchanged";
    EXPECT_FALSE(isDevice(file) || isDevice("/tmp/missing") || isCharDevice("/tmp/missing"));
    EXPECT_TRUE(env.Logs().empty());
    EXPECT_FALSE(isDevice("/dev/kzvol-missing") || isDevice("/dev/shm"));  // shm: a directory
    EXPECT_TRUE(isDevice("/dev/null") && isCharDevice("/dev/null"));
    EXPECT_FALSE(KZVolume::isQNBFDevice(file) || KZVolume::isQNBFDevice(dir.File("missing")));
    EXPECT_TRUE(!isQNBFDevice("/dev/qnbf/qnbf3", filter) && filter == "unchanged");

    KZVolumeUnix vol("/nonexistent/volume");
    unsigned long long size = 99;
    EXPECT_EQ(vol.GetVolInfo(size), -1);
    for (std::string type : {"ext2", "ext4", "xfs", "EXT3", "", "ext3"})
        EXPECT_EQ(vol.IsDataBlockAvailable(type), type == "ext3") << type;
    const char* const cases[] = {
        "/dev/rdsk/c0d0s1", "/dev/dsk/c0d0s1", "/dev/rsd0", "/dev/sd0", "/dev/sda1", "/dev/sda1",
        "/dev/rdsk/rx",     "/dev/dsk/rx",     "rdsk",      "rdsk",     "",          ""};
    for (size_t i = 0; i < std::size(cases); i += 2) {
        std::string raw = cases[i], block(64, 'Z');
        EXPECT_TRUE(ConvertRawToBlockDevice(raw.data(), block.data()));
        EXPECT_STREQ(block.c_str(), cases[i + 1]) << cases[i];
    }
}

}  // namespace
}  // namespace kzvol::testing
