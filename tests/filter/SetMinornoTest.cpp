// Binding a driver-mode volume object to its filter device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "tests/filter/MemoryDriver.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class SetMinorno : public MemoryDriver {
  protected:
    void UseConfig(const std::string& text) {
        ::setenv("KZVOL_CONFIG", dir_.Write("registry.ini", text).c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KZVOL_CONFIG");
        MemoryDriver::TearDown();
    }
};

TEST_F(SetMinorno, OrdinaryClientTakesTheMinorOfTheNode) {
    UseConfig("");
    KZVolumeUnix vol("/dev/null", "", false, false);  // /dev/null is c 1 3
    EXPECT_EQ(vol.m_QnbfNodeMinorno, 3);
    EXPECT_TRUE(vol.IsOpen());  // the admin node was opened on the way
    EXPECT_EQ(env_.CountLogs("setting minorno=3 for device=/dev/null\n"), 1);

    EXPECT_FALSE(vol.QNBFSetMinorno("/dev/kzvol-missing"));
    EXPECT_EQ(vol.m_QnbfNodeMinorno, 3);
    EXPECT_EQ(env_.CountLogs("Failed to find minor number for [/dev/kzvol-missing]."), 1);
}

TEST_F(SetMinorno, ClusterClientAsksTheDriverByNodeName) {
    UseConfig("[Machines/vm1]\nbClusterGroupClient=1\n");
    AddDevice("/dev/sdb", 1 << 30);
    int minor = AddDevice("/dev/sdc", 1 << 30);
    KZVolumeUnix vol("/dev/qnbf/ctrl");
    vol.setClntDisplayName("vm1");
    ASSERT_TRUE(vol.QNBFSetMinorno("/dev/qnbf/qnbf" + std::to_string(minor)));
    EXPECT_EQ(vol.m_QnbfNodeMinorno, minor);

    EXPECT_FALSE(vol.QNBFSetMinorno("/dev/qnbf/qnbf77"));
    EXPECT_EQ(env_.CountLogs("Unable to find node for minor num=" + std::to_string(minor)), 1);
}

TEST_F(SetMinorno, UnopenableAdminNodeFailsFirst) {
    UseConfig("");
    emulator::Plug(nullptr);  // the real driver, which this machine does not have
    if (::access("/dev/qnbf/ctrl", F_OK) == 0)
        GTEST_SKIP() << "/dev/qnbf/ctrl exists here";
    KZVolumeUnix vol("/dev/qnbf/ctrl");
    EXPECT_FALSE(vol.QNBFSetMinorno("/dev/null"));
    EXPECT_EQ(vol.m_QnbfNodeMinorno, -1);
    EXPECT_EQ(env_.CountLogs("failed to open errno=2\n", "KZVolumeUnix::QNBFSetMinorno:"), 1);
}

}  // namespace
}  // namespace kzvol::testing
