// The volume object: construction, ownership of descriptors, accessors, the quit
// flag and the installation lookups.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

TEST(VolumeObject, PathConstructorDropsTrailingSlash) {
    KZVolumeUnix vol("/dev/sdb1/");
    EXPECT_EQ(vol.GetVolumeName(), "/dev/sdb1");
    EXPECT_TRUE(vol.IsValid());
    EXPECT_FALSE(vol.IsOpen());
    EXPECT_FALSE(vol.IsPendingIO());
    EXPECT_EQ(vol.m_nId1, -1);
    EXPECT_EQ(vol.m_hVolume, -1);
    EXPECT_EQ(vol.m_hSnapVolume, -1);
    EXPECT_EQ(vol.m_QnbfNodeMinorno, -1);
    EXPECT_TRUE(vol.m_bOwnHandle);
    EXPECT_FALSE(vol.m_bLocked);
    EXPECT_EQ(vol.m_pszMntDir, nullptr);
    EXPECT_EQ(vol.m_nBlockSize, 0u);
}

TEST(VolumeObject, ThreeIntegerConstructorKeepsIds) {
    KZVolumeUnix vol(4, 5, 6);
    EXPECT_EQ(vol.m_nId1, 4);
    EXPECT_EQ(vol.m_nId2, 5);
    EXPECT_EQ(vol.GetVolumeName(), "");
    EXPECT_TRUE(vol.m_bOwnHandle);
    EXPECT_FALSE(vol.m_bDirect);
}

TEST(VolumeObject, DirectFourArgumentConstructorNamesTheDevice) {
    TestEnv env;
    KZVolumeUnix vol("/dev/sdc1", "snap7", true, false);
    EXPECT_EQ(vol.GetVolumeName(), "/dev/sdc1");
    EXPECT_EQ(vol.m_strDeviceName, "/dev/sdc1");
    EXPECT_EQ(vol.m_strSnapId, "snap7");
    EXPECT_TRUE(vol.m_bDirect);
    EXPECT_EQ(vol.m_QnbfNodeMinorno, -1);
}

TEST(VolumeObject, DriverModeConstructorUsesAdminNode) {
    TestEnv env;
    KZVolumeUnix vol("/dev/sdc1", "", false, false);
    EXPECT_EQ(vol.GetVolumeName(), "/dev/qnbf/ctrl");
    EXPECT_EQ(vol.m_strDeviceName, "/dev/sdc1");
    EXPECT_FALSE(vol.m_bDirect);
}

TEST(VolumeObject, InvalidDescriptorObjectRefusesEverything) {
    TestEnv env;
    {
        KZVolumeUnix vol(-1);
        EXPECT_FALSE(vol.IsValid());
        EXPECT_FALSE(vol.IsOpen());
        EXPECT_FALSE(vol.Open());
        EXPECT_FALSE(vol.Open(1));
        EXPECT_TRUE(vol.Close());
        EXPECT_FALSE(vol.m_bOwnHandle);
    }
    EXPECT_EQ(env.CountLogs("Trying to open volume on invalid KZVolumeUnix object \n"), 1);
    EXPECT_EQ(env.CountLogs("Trying to open volume on invalid KZVolumeUnix object\n"), 1);
}

TEST(VolumeObject, CallersDescriptorIsNeverClosed) {
    TempDir dir;
    std::string path = dir.Write("img", std::string(4096, 'x'));
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        KZVolumeUnix vol(fd);
        EXPECT_TRUE(vol.IsOpen());
        EXPECT_FALSE(vol.m_bOwnHandle);
        EXPECT_TRUE(vol.Close());
        EXPECT_EQ(vol.m_hVolume, fd);
    }
    EXPECT_EQ(::fcntl(fd, F_GETFD), 0) << "descriptor was closed";
    ::close(fd);
}

TEST(VolumeObject, OwnDescriptorsAreReleased) {
    TempDir dir;
    std::string path = dir.Write("img", std::string(4096, 'x'));
    int before = OpenDescriptorCount();
    {
        KZVolumeUnix vol(path);
        ASSERT_TRUE(vol.Open(1));
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(VolumeObject, AccessorsAndQuitFlag) {
    KZVolumeUnix vol("/dev/sdb1");
    vol.setClntDisplayName("client1");
    std::string name;
    vol.getClntDisplayName(name);
    EXPECT_EQ(name, "client1");

    bool quit = true;
    EXPECT_EQ(QuitFlagCheck(99, &vol, &quit), 0);
    EXPECT_FALSE(quit);

    KZJobCtrlClient job;
    vol.m_pJobCtrlClient = &job;
    EXPECT_FALSE(vol.QuitNow());
    job.requestQuit();
    EXPECT_TRUE(vol.QuitNow());
    EXPECT_EQ(QuitFlagCheck(0, &vol, &quit), 0);
    EXPECT_TRUE(quit);
}

TEST(VolumeObject, InstallationLookups) {
    TempDir dir;
    std::string cfg = dir.Write("registry.ini",
                                "[Base]\ndBASEHOME=/opt/kz/base\nsInstanceName=Instance002\n"
                                "[EventManager]\ndEVLOGDIR=/var/log/kz\n"
                                "[Machines/client1]\ndJOBRESULTSDIR=/var/kz/jr\n");
    ::setenv("KZVOL_CONFIG", cfg.c_str(), 1);
    KZVolumeUnix vol("/dev/sdb1");
    char buf[64];
    int len = sizeof buf;
    EXPECT_FALSE(vol.get_job_results_dir(buf, &len));
    vol.setClntDisplayName("client1");
    len = sizeof buf;
    ASSERT_TRUE(vol.get_job_results_dir(buf, &len));
    EXPECT_STREQ(buf, "/var/kz/jr");
    len = sizeof buf;
    ASSERT_TRUE(vol.get_base_dir(buf, &len));
    EXPECT_STREQ(buf, "/opt/kz/base");
    len = sizeof buf;
    ASSERT_TRUE(vol.get_log_dir(buf, &len));
    EXPECT_STREQ(buf, "/var/log/kz");
    std::string instance;
    EXPECT_TRUE(vol.get_instance(instance));
    EXPECT_EQ(instance, "Instance002");
    ::unsetenv("KZVOL_CONFIG");
}

TEST(VolumeObject, UnlockWithoutLockRunsNothing) {
    TestEnv env;
    KZVolumeUnix vol("/dev/sdb1");
    EXPECT_TRUE(vol.Unlock());
    EXPECT_TRUE(vol.Unlock("xfs", ""));
    EXPECT_TRUE(env.Commands().empty());
}

}  // namespace
}  // namespace kzvol::testing
