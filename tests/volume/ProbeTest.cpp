// Device probes that need no root: classification of paths and raw-name conversion.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/TestEnv.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

TEST(Probe, PathsOutsideDevAreNeverExamined) {
    TestEnv env;
    TempDir dir;
    std::string file = dir.Write("file", "x");
    EXPECT_FALSE(isDevice(file));
    EXPECT_FALSE(isDevice("/tmp/missing"));
    EXPECT_FALSE(isCharDevice("/tmp/missing"));
    EXPECT_TRUE(env.Logs().empty());

    EXPECT_FALSE(isDevice("/dev/kzvol-missing"));
    EXPECT_TRUE(env.HasError("Failed to stat /dev/kzvol-missing: No such file or directory"));
    EXPECT_TRUE(isDevice("/dev/null"));
    EXPECT_TRUE(isCharDevice("/dev/null"));
    EXPECT_FALSE(isDevice("/dev/shm"));  // a directory under /dev
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

TEST(Probe, FilterDeviceProbesRefuseWhatIsNotADeviceNode) {
    TestEnv env;
    TempDir dir;
    std::string file = dir.Write("file", "x");
    EXPECT_FALSE(KZVolume::isQNBFDevice(file));
    EXPECT_TRUE(env.HasError("Volume=" + file + " is NOT a special device."));
    EXPECT_FALSE(KZVolume::isQNBFDevice(dir.File("missing")));
    EXPECT_TRUE(env.HasError("Failed to stat volume " + dir.File("missing")));

    std::string filter = "unchanged";
    EXPECT_FALSE(isQNBFDevice("/dev/qnbf/qnbf3", filter));
    EXPECT_EQ(filter, "unchanged");
    EXPECT_TRUE(env.HasError("Failed to stat /dev/qnbf/qnbf3: "));
    EXPECT_STREQ(devprefix, "/dev/qnbf/ctrl");
    EXPECT_EQ(sizeof devprefix, 15u);
}

}  // namespace
}  // namespace kzvol::testing
