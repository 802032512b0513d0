// Putting a zram volume under the devices-mode stand-in driver and taking it out,
// with /etc and /sbin overlaid in the test's namespace: the /etc/fstab rewrite and
// its undoing, a mount through the rewritten table, /dev/mapper/ links, a roll-back
// that leaves no node, and a boot script that re-creates the filter devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mntent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>

#include "filter/CreateDevArg.h"
#include "tests/support/Kzvol.h"
#include "tests/support/MachineOverlay.h"
#include "tests/support/MemoryDriver.h"
#include "tests/support/StandInSystemTest.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

const char kBootScript[] = "/sbin/qnbf-bootscript1.rc";
const char kDataDir[] = "/talmartmp/data";

class FilterSystem : public StandInSystemTest {
  protected:
    void SetUp() override {
        SetUpOnZram();
        if (IsSkipped())
            return;
        ASSERT_EQ(PrivateMachineFiles(), "");
        original_fstab_ = ReadFile("/etc/fstab");
        ::unlink("/etc/fstab.orig");
        ::unlink(kBootScript);
        env_.set_run_commands(true);
        ::setenv("KZVOL_EMULATOR", state_dir().c_str(), 1);  // for kzsnap and kzvol
        // kzvol runs the driver installation's /sbin commands in the state directory.
        ASSERT_EQ(RunCommandLine("mkdir -p " + state_dir() + "/sbin && cp /sbin/kzsnap " +
                                 state_dir() + "/sbin/"),
                  0);
        zram_ = std::make_unique<ZramDevice>(16 << 20);
        ASSERT_TRUE(zram_->ok());
        std::string out;
        ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext2 " + zram_->path() + " 2>&1", &out), 0)
            << out;
        ::mkdir(kDataDir, 0755);
    }
    void TearDown() override {
        StandInSystemTest::TearDown();
        zram_.reset();  // once no loop device holds it
        ::unsetenv("KZVOL_EMULATOR");
        if (!original_fstab_.empty())
            WriteFstab(original_fstab_);
    }

    std::string state_dir() const { return dir_.File("driver"); }
    std::string Device() const { return zram_->path(); }
    std::vector<emulator::Device> Devices() {
        emulator::State state;
        EXPECT_TRUE(driver_->Snapshot(&state));
        return state.devices;
    }
    // Nodes under /dev/qnbf besides the admin node.
    std::string FilterNodes() {
        std::string out;
        RunCommandLine("ls /dev/qnbf | grep -v '^ctrl$'", &out);
        return out;
    }
    void WriteFstab(const std::string& text) {
        dir_.Write("fstab.new", text);
        ASSERT_EQ(RunCommandLine("cp " + dir_.File("fstab.new") + " /etc/fstab"), 0);
    }
    CreateDevArg_t Arg(std::string& device, mntent* entry, unsigned long extsize = 4096) {
        CreateDevArg_t arg{};
        arg.devpath = device.data();
        arg.mntent = entry;
        arg.fstab = entry != nullptr;
        arg.extsize = extsize;
        arg.minorno = -1;
        return arg;
    }

    TestEnv env_;
    std::string original_fstab_;
    KZVolumeUnix volume_{std::string(kQnbfAdminNode)};
};

TEST_F(FilterSystem, FstabMountsThroughTheFilterNodeAndRemoveGivesTheTableBack) {
    const std::string before = original_fstab_ + "# data volume\n" + Device() + " " + kDataDir +
                               " ext2 defaults,noatime 0 2\n";
    WriteFstab(before);

    std::string out;
    ASSERT_EQ(Kzvol("filter add " + Device() + " --fstab --extent-blocks 2048", &out), 0) << out;
    const int minor = Devices().at(0).minor;
    const std::string node = FilterNode(minor);
    EXPECT_EQ(out, node + " minor " + std::to_string(minor) + "\n");
    EXPECT_EQ(ReadFile("/etc/fstab"), original_fstab_ + "# data volume\n#kzvol:" + node + ":" +
                                          Device() + " " + kDataDir +
                                          " ext2 defaults,noatime 0 2\n" + node + "\t" + kDataDir +
                                          "\text2\tdefaults,noatime\t0\t2 \n");
    EXPECT_EQ(ReadFile("/etc/fstab.orig"), before);
    EXPECT_EQ(::access("/etc/fstab-temptalmar", F_OK), -1);
    const std::string script = state_dir() + kBootScript;  // where kzvol keeps it
    struct stat st;
    ASSERT_EQ(::stat(script.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0744u);
    EXPECT_NE(ReadFile(script).find("/sbin/kzsnap -a " + Device() + " -e 1048576\n"),
              std::string::npos);

    // mount(8) reads the new table: the file system comes up through the filter node.
    ASSERT_EQ(RunCommandLine(std::string("mount ") + kDataDir + " 2>&1", &out), 0) << out;
    EXPECT_NE(ReadFile("/proc/self/mounts").find(node + " " + kDataDir + " ext2 "),
              std::string::npos);
    // A mounted node is refused before the driver is asked anything.
    EXPECT_EQ(Kzvol("filter remove " + node + " --fstab", &out), 1);
    EXPECT_NE(out.find(node + " is mounted on " + kDataDir), std::string::npos) << out;
    EXPECT_EQ(Devices().at(0).state, emulator::NodeState::Started);
    ASSERT_EQ(::umount(kDataDir), 0);

    ASSERT_EQ(Kzvol("filter remove " + node + " --fstab", &out), 0) << out;
    EXPECT_EQ(ReadFile("/etc/fstab"), before);
    EXPECT_TRUE(Devices().empty());
    EXPECT_EQ(FilterNodes(), "");
    EXPECT_EQ(ReadFile(script).find(" -a "), std::string::npos);

    // A second creation keeps the first backup; removal without --fstab warns.
    WriteFstab(before + "# changed since\n");
    ASSERT_EQ(Kzvol("filter add " + Device() + " --fstab", &out), 0) << out;
    EXPECT_EQ(ReadFile("/etc/fstab.orig"), before);
    const std::string again = FilterNode(Devices().at(0).minor);
    ASSERT_EQ(Kzvol("filter remove " + again, &out), 0) << out;
    EXPECT_NE(out.find("warning: /etc/fstab still mounts " + again), std::string::npos) << out;
}

TEST_F(FilterSystem, DeviceWithoutFstabLineOrMountIsRefusedBeforeAnyRequest) {
    std::string out;
    EXPECT_EQ(Kzvol("filter add " + Device() + " --fstab", &out), 1);
    EXPECT_NE(out.find("has no line in /etc/fstab and is not mounted"), std::string::npos) << out;
    EXPECT_TRUE(Devices().empty());

    // A line naming the device through another link would stay beside the filter
    // entry, so it is refused too.
    std::string link = dir_.File("data-disk");
    ASSERT_EQ(::symlink(Device().c_str(), link.c_str()), 0);
    WriteFstab(original_fstab_ + link + " " + kDataDir + " ext2 defaults 0 0\n");
    EXPECT_EQ(Kzvol("filter add " + Device() + " --fstab", &out), 1);
    EXPECT_NE(out.find("/etc/fstab mounts " + Device() + " as " + link), std::string::npos) << out;
    EXPECT_TRUE(Devices().empty());
    WriteFstab(original_fstab_);

    // Mounted but not in the table: the live entry is used.
    {
        ScopedMount live(Device(), kDataDir, "ext2");
        ASSERT_TRUE(live.ok()) << live.error();
        ASSERT_EQ(Kzvol("filter add " + Device() + " --fstab", &out), 0) << out;
    }
    const std::string node = FilterNode(Devices().at(0).minor);
    EXPECT_EQ(ReadFile("/etc/fstab"),
              original_fstab_ + node + "\t" + kDataDir + "\text2\trw,relatime\t0\t0 \n");
}

TEST_F(FilterSystem, MapperLinkIsResolvedInTheRequestAndInTheTable) {
    // /dev/mapper exists only in this namespace: a tmpfs over a directory made for
    // the test (and removed again when it was not there before).
    const bool made = ::mkdir("/dev/mapper", 0755) == 0;
    {
        ScopedMount mapper("tmpfs", "/dev/mapper", "tmpfs");
        ASSERT_TRUE(mapper.ok()) << mapper.error();
        struct stat zst;
        ASSERT_EQ(::stat(Device().c_str(), &zst), 0);
        const std::string target = "/dev/mapper/vg-data";
        ASSERT_EQ(::mknod(target.c_str(), S_IFBLK | 0600, zst.st_rdev), 0);
        std::string link = dir_.File("vg-data");
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
        WriteFstab(original_fstab_ + link + " " + kDataDir + " ext2 defaults 0 1\n");

        mntent entry{};
        char dir[] = "/talmartmp/data", type[] = "ext2", opts[] = "defaults";
        entry.mnt_dir = dir, entry.mnt_type = type, entry.mnt_opts = opts, entry.mnt_passno = 1;
        CreateDevArg_t arg = Arg(link, &entry);
        ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
        EXPECT_EQ(Devices().at(0).underlying, target);
        EXPECT_EQ(ReadFile("/etc/fstab"), original_fstab_ + "#kzvol:" + FilterNode(arg.minorno) +
                                              ":" + link + " " + kDataDir + " ext2 defaults 0 1\n" +
                                              FilterNode(arg.minorno) + "\t" + kDataDir +
                                              "\text2\tdefaults\t0\t1 \n");
        std::string error;
        ASSERT_TRUE(driver_->Shutdown(false, &error)) << error;  // the node goes before the mount
    }
    if (made)
        ::rmdir("/dev/mapper");
}

// A failure after the device was made rolls it back (the refused requests:
// FilterDeviceTest); the boot script re-creates the devices a reboot lost.
TEST_F(FilterSystem, LateFailuresRollBackAndTheBootScriptRecreatesTheDevices) {
    const std::string line = Device() + " " + kDataDir + " ext2 defaults 0 0\n";
    WriteFstab(original_fstab_ + line);
    mntent entry{};
    char dir[] = "/talmartmp/data", type[] = "ext2", opts[] = "defaults";
    entry.mnt_dir = dir, entry.mnt_type = type, entry.mnt_opts = opts;
    std::string device = Device();
    // The table cannot be rewritten (a directory squats on the temporary name).
    ASSERT_EQ(::mkdir("/etc/fstab-temptalmar", 0755), 0);
    CreateDevArg_t arg = Arg(device, &entry);
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    ::rmdir("/etc/fstab-temptalmar");
    EXPECT_TRUE(env_.HasError("1c:could not lock = /etc/fstab-temptalmar file"));
    EXPECT_TRUE(Devices().empty());
    EXPECT_EQ(FilterNodes(), "");
    EXPECT_EQ(ReadFile("/etc/fstab"), original_fstab_ + line);

    // A path that already is a filter device: true, no request, extent size untouched.
    CreateDevArg_t plain = Arg(device, nullptr, 2048);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&plain));
    std::string node = FilterNode(plain.minorno);
    CreateDevArg_t again = Arg(node, nullptr, 3000);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&again));
    EXPECT_EQ(again.extsize, 3000u);
    EXPECT_EQ(again.minorno, -1);
    EXPECT_EQ(Devices().size(), 1u);

    std::string error, out;
    ASSERT_TRUE(driver_->Shutdown(false, &error)) << error;  // what a reboot does to the driver
    ASSERT_TRUE(Devices().empty());
    ASSERT_EQ(RunCommandLine(std::string("sh ") + kBootScript + " 2>&1", &out), 0) << out;
    auto devices = Devices();
    ASSERT_EQ(devices.size(), 1u) << out;
    EXPECT_EQ(devices[0].underlying, device);
    EXPECT_EQ(devices[0].extent_bytes, 1u << 20);
    EXPECT_EQ(devices[0].state, emulator::NodeState::Started);
    EXPECT_EQ(::access(FilterNode(devices[0].minor).c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kzvol::testing
