// MountSnap's refusals, against the stand-in driver in memory mode and a test
// mount table: none runs a command. (Mounting a snapshot needs device nodes: see
// SnapMountSystemTest.)
#include <gtest/gtest.h>

#include "tests/support/MemoryDriver.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class MountSnapTest : public MemoryDriver {
  protected:
    // A filter device mounted on `dir_` with `options`; answers its minor.
    int Mounted(const std::string& type, const std::string& options) {
        const int minor = AddDevice("/dev/fake-volume", 8 << 20);
        EXPECT_GE(minor, 0);
        env_.SetMountTable(
            {{{FilterNode(minor), mnt_, type, options}}, {{"/dev/sdz1", "/plain", "ext3", "rw"}}});
        return minor;
    }
    bool MountSnap(const std::string& mnt) {
        std::string path = mnt;
        return volume_.MountSnap(path.data(), snapPath_);
    }

    std::string mnt_ = "/data/my vol", snapPath_;
    KZVolumeUnix volume_{-1};
};

TEST_F(MountSnapTest, RefusalsRunNoCommand) {
    Snap(Mounted("ext3", "rw"));
    EXPECT_FALSE(MountSnap(mnt_));  // no node to take the minor from
    EXPECT_TRUE(
        env_.HasError("failed to get volifno devname=/dev/qnbf/qnbf0 mntpath=/data/my vol"));
    EXPECT_FALSE(MountSnap("/plain"));
    EXPECT_TRUE(
        env_.HasError("function not supported for NONQNBF devname=/dev/sdz1 for "
                      "mntpath=/plain"));
    EXPECT_FALSE(MountSnap("/nowhere"));
    EXPECT_TRUE(env_.HasError("failed to find qnbf devname for mntpath=/nowhere"));
    env_.SetMountTable({{{"/dev/qnbf/qnbf0", mnt_, "xfs", "rw"}}});
    EXPECT_FALSE(MountSnap(mnt_));
    EXPECT_TRUE(
        env_.HasError("failed to get mountoptions or unsupported filesystem type for "
                      "mntpath=/data/my vol"));
    EXPECT_TRUE(env_.Commands().empty());
}

}  // namespace
}  // namespace kzvol::testing
