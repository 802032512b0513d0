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

// A filter device without a node, a device that is no filter device, an unmounted
// path, a file system of another type: each refused, none running a command.
TEST_F(MountSnapTest, RefusalsRunNoCommand) {
    Snap(Mounted("ext3", "rw"));
    EXPECT_FALSE(MountSnap(mnt_));
    EXPECT_FALSE(MountSnap("/plain"));
    EXPECT_FALSE(MountSnap("/nowhere"));
    env_.SetMountTable({{{"/dev/qnbf/qnbf0", mnt_, "xfs", "rw"}}});
    EXPECT_FALSE(MountSnap(mnt_));
    EXPECT_TRUE(env_.Commands().empty());
}

}  // namespace
}  // namespace kzvol::testing
