// Raw sector I/O on a real loop device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class RawIOSystem : public SystemTest {};

TEST_F(RawIOSystem, DiskWriteThenDiskReadOnLoopDevice) {
    TempDir dir;
    std::string backing = dir.File("backing.img");
    MakeSparseFile(backing, 8 << 20);
    LoopDevice loop(backing);
    ASSERT_TRUE(loop.ok()) << loop.error();

    std::vector<char> out(64 * 512), in(64 * 512, 0);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 7 + 1);
    {
        KZVolumeUnix vol(loop.path());
        ASSERT_TRUE(vol.Open(0));
        unsigned long done = 0;
        ASSERT_TRUE(vol.DiskWrite(100, 64, out.data(), done));
        EXPECT_EQ(done, 64u);
        ASSERT_EQ(::fsync(vol.m_hVolume), 0);
    }
    KZVolumeUnix vol(loop.path());
    ASSERT_TRUE(vol.Open(1));
    unsigned int done = 0;
    ASSERT_TRUE(vol.DiskRead(100, 64, in.data(), done));
    EXPECT_EQ(done, 64u);
    EXPECT_EQ(in, out);

    // The bytes landed at sector 100 of the backing file.
    std::string file = ReadFile(backing);
    EXPECT_EQ(file.compare(100 * 512, out.size(), out.data(), out.size()), 0);
}

TEST_F(RawIOSystem, ReadPastTheDeviceEndFailsAfterTwoAttempts) {
    TempDir dir;
    std::string backing = dir.File("small.img");
    MakeSparseFile(backing, 1 << 20);
    LoopDevice loop(backing);
    ASSERT_TRUE(loop.ok()) << loop.error();
    TestEnv env;
    KZVolumeUnix vol(loop.path());
    ASSERT_TRUE(vol.Open(1));
    std::vector<char> buf(8 * 512);
    unsigned int done = 9;
    EXPECT_FALSE(vol.DiskRead(2044, 8, buf.data(), done));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(env.Sleeps(), (std::vector<unsigned long>{5000, 5000}));
}

}  // namespace
}  // namespace kzvol::testing
