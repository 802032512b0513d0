// A zram volume put under the devices-mode stand-in and taken out, /etc and /sbin
// overlaid: the /etc/fstab rewrite, its undoing and a mount through it, /dev/mapper/
// links, a roll-back that leaves no node, a boot script re-creating the devices.
#include <mntent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "filter/CreateDevArg.h"
#include "tests/support/StandInSystemTest.h"
#include "tests/tools/CliRun.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

const char kBootScript[] = "/sbin/qnbf-bootscript1.rc";
char kDataDir[] = "/talmartmp/data", kExt2[] = "ext2", kDefaults[] = "defaults";
mntent kEntry{nullptr, kDataDir, kExt2, kDefaults, 0, 1};  // mounts kDataDir, fsck pass 1

class FilterSystem : public StandInSystemTest {
  protected:
    void SetUp() override {
        SetUpOnZram();
        if (IsSkipped())
            return;
        ASSERT_EQ(PrivateMachineFiles(), "");
        original_fstab_ = ReadFile("/etc/fstab");
        env_.set_run_commands(true);
        ::setenv("KZVOL_EMULATOR", state_.c_str(), 1);  // for kzsnap and kzvol
        zram_ = std::make_unique<ZramDevice>(16 << 20);
        ASSERT_TRUE(zram_->ok());
        // kzvol runs the driver installation's /sbin commands in the state directory.
        Sh(0, std::string("rm -f /etc/fstab.orig ") + kBootScript + " && mkdir -p " + kDataDir +
                  " " + state_ + "/sbin && cp /sbin/kzsnap " + state_ +
                  "/sbin/ && mke2fs -q -F -t ext2 " + zram_->path() + " 2>&1");
    }
    void TearDown() override {
        StandInSystemTest::TearDown();
        zram_.reset();  // once no loop device holds it
        ::unsetenv("KZVOL_EMULATOR");
        if (!original_fstab_.empty())
            WriteFstab(original_fstab_);
    }

    std::vector<emulator::Device> Devices() {
        emulator::State state;
        EXPECT_TRUE(driver_->Snapshot(&state));
        return state.devices;
    }
    std::string Node() { return FilterNode(Devices().at(0).minor); }
    std::string FilterNodes() { return Sh(1, "ls /dev/qnbf | grep -v '^ctrl$'"); }
    void WriteFstab(const std::string& text) {
        Sh(0, "cp " + dir_.Write("fstab.new", text) + " /etc/fstab");
    }
    // The lines the rewrite makes of `line` for `node` mounting kDataDir with `rest`.
    std::string Rewritten(const std::string& node, const std::string& line,
                          const std::string& rest) {
        return "#kzvol:" + node + ":" + line + node + "\t" + kDataDir + "\text2\t" + rest + " \n";
    }
    static CreateDevArg_t Arg(std::string& device, bool fstab, unsigned long extsize = 4096) {
        return {device.data(), fstab ? &kEntry : nullptr, 0, 0, extsize, 0, 0, 0, -1, fstab};
    }

    TestEnv env_;
    std::string original_fstab_, state_ = dir_.File("driver");
    KZVolumeUnix volume_{std::string(kQnbfAdminNode)};
};

TEST_F(FilterSystem, FstabMountsThroughTheNodeRemoveGivesItBackAndUnknownDevicesAreRefused) {
    const std::string device = zram_->path(),
                      line = device + " " + kDataDir + " ext2 defaults,noatime 0 2\n",
                      before = original_fstab_ + "# data volume\n" + line;
    WriteFstab(before);
    const std::string added = Kz(0, "filter add " + device + " --fstab --extent-blocks 2048"),
                      node = Node();
    EXPECT_EQ(added, node + " minor " + std::to_string(Devices().at(0).minor) + "\n");
    EXPECT_EQ(ReadFile("/etc/fstab"), original_fstab_ + "# data volume\n" +
                                          Rewritten(node, line, "defaults,noatime\t0\t2"));
    EXPECT_EQ(ReadFile("/etc/fstab.orig"), before);
    EXPECT_EQ(::access("/etc/fstab-temptalmar", F_OK), -1);
    const std::string script = state_ + kBootScript;  // where kzvol keeps it
    EXPECT_EQ(std::filesystem::status(script).permissions(), std::filesystem::perms(0744));
    EXPECT_THAT(ReadFile(script), HasSubstr("/sbin/kzsnap -a " + device + " -e 1048576\n"));

    // mount(8) reads the new table: the file system comes up through the filter node.
    Sh(0, std::string("mount ") + kDataDir + " 2>&1");
    EXPECT_THAT(ReadFile("/proc/self/mounts"), HasSubstr(node + " " + kDataDir + " ext2 "));
    // A mounted node is refused before the driver is asked anything.
    EXPECT_THAT(Kz(1, "filter remove " + node + " --fstab"),
                HasSubstr(node + " is mounted on " + kDataDir));
    EXPECT_EQ(Devices().at(0).state, emulator::NodeState::Started);
    ASSERT_EQ(::umount(kDataDir), 0);

    Kz(0, "filter remove " + node + " --fstab");
    EXPECT_EQ(ReadFile("/etc/fstab"), before);
    EXPECT_TRUE(Devices().empty() && FilterNodes() == "");
    EXPECT_THAT(ReadFile(script), Not(HasSubstr(" -a ")));

    // A second creation keeps the first backup; removal without --fstab warns.
    WriteFstab(before + "# changed since\n");
    Kz(0, "filter add " + device + " --fstab");
    EXPECT_EQ(ReadFile("/etc/fstab.orig"), before);
    const std::string again = Node();
    EXPECT_THAT(Kz(0, "filter remove " + again),
                HasSubstr("warning: /etc/fstab still mounts " + again));

    // Without a line in the table or a mount, refused before any request.
    WriteFstab(original_fstab_);
    const std::string add = "filter add " + device + " --fstab";
    EXPECT_THAT(Kz(1, add), HasSubstr("has no line in /etc/fstab and is not mounted"));
    EXPECT_TRUE(Devices().empty());

    // A line naming the device through another link would stay: refused too.
    const std::string link = dir_.File("data-disk");
    ASSERT_EQ(::symlink(device.c_str(), link.c_str()), 0);
    WriteFstab(original_fstab_ + link + " " + kDataDir + " ext2 defaults 0 0\n");
    EXPECT_THAT(Kz(1, add), HasSubstr("/etc/fstab mounts " + device + " as " + link));
    EXPECT_TRUE(Devices().empty());
    WriteFstab(original_fstab_);

    // Mounted but not in the table: the live entry is used.
    {
        ScopedMount live(device, kDataDir, "ext2");
        ASSERT_TRUE(live.ok()) << live.error();
        Kz(0, add);
    }
    EXPECT_EQ(ReadFile("/etc/fstab"),
              original_fstab_ + Node() + "\t" + kDataDir + "\text2\trw,relatime\t0\t0 \n");
}

TEST_F(FilterSystem, MapperLinksResolveLateFailuresRollBackAndTheBootScriptRecreates) {
    std::string error;
    const bool made = ::mkdir("/dev/mapper", 0755) == 0;
    {
        ScopedMount mapper("tmpfs", "/dev/mapper", "tmpfs");
        ASSERT_TRUE(mapper.ok()) << mapper.error();
        const std::string target = "/dev/mapper/vg-data";
        std::string link = dir_.File("vg-data");
        Sh(0, "mknod -m 600 " + target + " b $(stat -c '0x%t 0x%T' " + zram_->path() +
                  ") && ln -s " + target + " " + link);
        const std::string line = link + " " + kDataDir + " ext2 defaults 0 1\n";
        WriteFstab(original_fstab_ + line);
        CreateDevArg_t arg = Arg(link, true);
        ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
        EXPECT_EQ(Devices().at(0).underlying, target);
        EXPECT_EQ(ReadFile("/etc/fstab"),
                  original_fstab_ + Rewritten(FilterNode(arg.minorno), line, "defaults\t0\t1"));
        ASSERT_TRUE(driver_->Shutdown(false, &error)) << error;  // the node goes before the mount
    }
    if (made)
        ::rmdir("/dev/mapper");

    // A late failure rolls the device back (refused requests: FilterDeviceTest).
    std::string device = zram_->path();
    const std::string table = original_fstab_ + device + " " + kDataDir + " ext2 defaults 0 0\n";
    WriteFstab(table);
    // The table cannot be rewritten (a directory squats on the temporary name).
    ASSERT_EQ(::mkdir("/etc/fstab-temptalmar", 0755), 0);
    CreateDevArg_t arg = Arg(device, true);
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    ::rmdir("/etc/fstab-temptalmar");
    EXPECT_TRUE(env_.HasError("1c:could not lock = /etc/fstab-temptalmar file"));
    EXPECT_TRUE(Devices().empty() && FilterNodes() == "");
    EXPECT_EQ(ReadFile("/etc/fstab"), table);

    // A path that already is a filter device: true, no request, extent size untouched.
    CreateDevArg_t plain = Arg(device, false, 2048);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&plain));
    std::string node = FilterNode(plain.minorno);
    CreateDevArg_t again = Arg(node, false, 3000);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&again));
    EXPECT_TRUE(again.extsize == 3000u && again.minorno == -1 && Devices().size() == 1u);

    ASSERT_TRUE(driver_->Shutdown(false, &error)) << error;  // what a reboot does to the driver
    ASSERT_TRUE(Devices().empty());
    Sh(0, std::string("sh ") + kBootScript + " 2>&1");
    ASSERT_EQ(Devices().size(), 1u);
    const emulator::Device d = Devices()[0];
    EXPECT_TRUE(d.underlying == device && d.extent_bytes == 1u << 20 &&
                d.state == emulator::NodeState::Started);
    EXPECT_EQ(::access(FilterNode(d.minor).c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kzvol::testing
