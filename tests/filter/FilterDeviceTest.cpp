// Creating and deleting filter devices through the memory-mode stand-in driver and
// the recording host services: extent correction, the roll-back after each late
// refusal, the cluster client's files and their best-effort removal.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "filter/CreateDevArg.h"
#include "filter/QnbfConfig.h"
#include "tests/support/MemoryDriver.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

// Some block device node of this machine: creation insists on one, and the
// memory-mode driver never opens it.
std::string AnyBlockDevice() {
    std::string found;
    if (DIR* dir = ::opendir("/dev")) {
        while (dirent* e = ::readdir(dir)) {
            std::string path = std::string("/dev/") + e->d_name;
            struct stat st;
            if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
                found = path;
                break;
            }
        }
        ::closedir(dir);
    }
    return found;
}

// Runs "mkdir -p" lines for real and answers 0 to every other shell line; the
// queued results are left to the process runner.
class MkdirEnv : public TestEnv {
  public:
    int RunShell(const std::string& command) override {
        return command.rfind("mkdir -p -- ", 0) == 0 ? RunCommandLine(command) : 0;
    }
};

// Passes requests to the stand-in driver but refuses to reset the differential
// bitmap, the last request of creation.
class RefuseDifferentialReset : public DriverChannel {
  public:
    explicit RefuseDifferentialReset(DriverChannel* driver) : driver_(driver) {}
    int OpenNode(const std::string& path, int flags) override {
        return driver_->OpenNode(path, flags);
    }
    int Request(int fd, unsigned long request, void* arg) override {
        if (request == QNBF_SET_BITMAP &&
            static_cast<qn_bitmap_arg*>(arg)->kind == QNBF_KIND_DIFFERENTIAL) {
            errno = EIO;
            return -1;
        }
        return driver_->Request(fd, request, arg);
    }

  private:
    DriverChannel* driver_;
};

class FilterDevice : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        device_ = AnyBlockDevice();
        if (device_.empty())
            GTEST_SKIP() << "no block device node to put under the filter";
        driver().DeclareVolume(device_, 64 << 20);
    }

    CreateDevArg_t Arg(unsigned long extsize) {
        CreateDevArg_t arg{};
        arg.devpath = device_.data();
        arg.extsize = extsize;
        arg.reserved1 = arg.reserved5 = 0xdeadbeef;
        return arg;
    }
    std::vector<emulator::Device> Devices() {
        emulator::State state;
        EXPECT_TRUE(driver().Snapshot(&state));
        return state.devices;
    }
    bool Delete(int minor) {
        std::string node = FilterNode(minor);
        return volume_.QNBFDeleteDevice(node.data());
    }

    std::string device_;
    KZVolumeUnix volume_{std::string(kQnbfAdminNode)};
};

TEST_F(FilterDevice, CreationCorrectsTheExtentSizeResetsBothBitmapsAndDeletionRemovesIt) {
    const std::pair<unsigned long, unsigned long> extents[] = {
        {0, 4096}, {3000, 4096}, {1048576, 524288}, {8192, 8192}};
    const int descriptors = OpenDescriptorCount();
    for (auto [given, used] : extents) {
        SCOPED_TRACE(given);
        CreateDevArg_t arg = Arg(given);
        ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
        EXPECT_EQ(arg.extsize, used);
        EXPECT_EQ(arg.reserved1, 0xdeadbeefu);
        EXPECT_EQ(arg.reserved5, 0xdeadbeefu);
        auto devices = Devices();
        ASSERT_EQ(devices.size(), 1u);
        const emulator::Device& d = devices[0];
        EXPECT_EQ(static_cast<int>(d.minor), arg.minorno);
        EXPECT_EQ(d.underlying, device_);
        EXPECT_EQ(d.extent_bytes, used * 512);
        EXPECT_EQ(d.state, emulator::NodeState::Started);
        EXPECT_TRUE(d.incr.tracked && d.diff.tracked);
        EXPECT_TRUE(d.serial.empty());
        EXPECT_EQ(env_.ShellCommands().back(), kBootScriptLine);

        size_t scripts = env_.ShellCommands().size();
        ASSERT_TRUE(Delete(arg.minorno));
        EXPECT_TRUE(Devices().empty());
        EXPECT_EQ(env_.ShellCommands().size(), scripts + 1);
    }
    EXPECT_EQ(env_.CountLogs("is not power of 2"), 2);
    EXPECT_EQ(env_.CountLogs("to MAX EXTSIZE=524288"), 1);
    EXPECT_TRUE(env_.Commands().empty());  // no fstab backup without the flag
    volume_.Close();  // the object's own admin descriptor, opened by the deletion
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(FilterDevice, EveryRefusalFromTheInformationRequestOnRemovesTheNewDevice) {
    for (unsigned long request : {QNBF_GET_INFO, QNBF_SET_BITMAP}) {
        driver().FailNext(request, EIO);
        CreateDevArg_t arg = Arg(4096);
        EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
        EXPECT_TRUE(Devices().empty());
    }
    EXPECT_TRUE(env_.HasError("QNBF_GET_INFO: ioctl for minorno=0 has failed error no=5"));
    EXPECT_TRUE(env_.HasError("QNBF_SET_INCR: ioctl for minor node=0 device has failed"));
    {
        RefuseDifferentialReset refusing(&driver());
        SetDriverChannel(&refusing);
        CreateDevArg_t arg = Arg(4096);
        EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
        SetDriverChannel(&driver());
    }
    EXPECT_TRUE(env_.HasError("QNBF_SET_FULL: ioctl for minor node=0 device has failed"));
    EXPECT_TRUE(Devices().empty());
    EXPECT_EQ(env_.CountLogs("successfully removed created device bcoz of error"), 3);

    // A roll-back the driver refuses leaves the device and says so.
    driver().FailNext(QNBF_GET_INFO, EIO);
    driver().FailNext(QNBF_DEFUNCT_NODE, EIO);
    CreateDevArg_t arg = Arg(4096);
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    EXPECT_TRUE(env_.HasError("failed to defunct device=" + device_ + " errno=5"));
    EXPECT_TRUE(env_.HasError("failed to delete device=" + device_ + " errno=16"));
    EXPECT_EQ(Devices().size(), 1u);
}

TEST_F(FilterDevice, BootScriptIsReplacedOnlyWhenTheToolSucceededAndRebuiltAfterARollBack) {
    const std::string dropNew = "rm -f -- /sbin/qnbf-bootscript1.rc.new";
    env_.QueueCommandResult(256);  // the snapshot tool fails: the old script stays
    CreateDevArg_t arg = Arg(4096);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
    EXPECT_EQ(env_.ShellCommands(), std::vector<std::string>({kBootScriptLine, dropNew}));
    EXPECT_TRUE(env_.HasError("could not rebuild the boot script (status 256); the old one stays"));
    ASSERT_TRUE(Delete(arg.minorno));

    // A creation that is rolled back rebuilds the script without the device.
    driver().FailNext(QNBF_SET_BITMAP, EIO);
    const size_t before = env_.ShellCommands().size();
    arg = Arg(4096);
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    ASSERT_EQ(env_.ShellCommands().size(), before + 1);
    EXPECT_EQ(env_.ShellCommands().back(), kBootScriptLine);
}

TEST_F(FilterDevice, RefusalsBeforeTheDeviceIsStartedIssueNoRollBack) {
    driver().FailNext(QNBF_ADD_NODE, EEXIST);
    CreateDevArg_t arg = Arg(4096);
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    EXPECT_TRUE(
        env_.HasError("QNBF_ADD_NODE ioctl for device=" + device_ + " has failed error no=-1"));

    driver().FailNext(QNBF_START_NODE, EBUSY);
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    EXPECT_TRUE(env_.HasError(" QNBF_START_NODE ioctl for device with minor=0 has failed"));
    auto devices = Devices();
    ASSERT_EQ(devices.size(), 1u);  // added, not started, left in the driver
    EXPECT_EQ(devices[0].state, emulator::NodeState::Added);
    EXPECT_EQ(env_.CountLogs("defunct"), 0);

    // Neither a plain file nor an fstab request without its entry gets that far.
    std::string plain = dir_.Write("plain", "x");
    arg.devpath = plain.data();
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    EXPECT_TRUE(env_.HasError("Unable to stat " + plain + " or it is not a valid block device"));
    arg = Arg(4096);
    arg.fstab = 1;
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
    EXPECT_EQ(Devices().size(), 1u);
    EXPECT_TRUE(env_.ShellCommands().empty());
}

TEST_F(FilterDevice, MountedNodeIsRefusedBeforeItIsMarkedDefunct) {
    CreateDevArg_t arg = Arg(4096);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
    env_.SetMountTable({{{FilterNode(arg.minorno), "/data", "ext3", "rw", "0", "0"}}});
    EXPECT_FALSE(Delete(arg.minorno));
    EXPECT_EQ(volume_.GetErrorString(), FilterNode(arg.minorno) + " is mounted on /data");
    ASSERT_EQ(Devices().size(), 1u);
    EXPECT_EQ(Devices()[0].state, emulator::NodeState::Started);
    env_.SetMountTable({});
    EXPECT_TRUE(Delete(arg.minorno));
    EXPECT_TRUE(Devices().empty());
}

TEST_F(FilterDevice, DeletionTakesTheMinorFromTheNodeAndStopsWhenDefunctIsRefused) {
    char other[] = "/dev/sdb";
    EXPECT_FALSE(volume_.QNBFDeleteDevice(other));
    EXPECT_EQ(env_.CountLogs("invalid device=/dev/sdb"), 1);

    CreateDevArg_t arg = Arg(4096);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
    driver().FailNext(QNBF_DEFUNCT_NODE, EIO);
    EXPECT_FALSE(Delete(arg.minorno));
    EXPECT_TRUE(env_.HasError("could not defunct device errno=5 ret=-1"));
    auto devices = Devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].state, emulator::NodeState::Started);  // no delete was sent
}

// A cluster client: the registry marks it, the shared directory is its job results
// directory, and the serial number comes from the cluster script.
class ClusterFilterDevice : public FilterDevice {
  protected:
    void SetUp() override {
        FilterDevice::SetUp();
        if (IsSkipped())
            return;
        shared_ = dir_.File("shared");
        UseRegistry("[Base]\ndBASEHOME=" + dir_.path() +
                    "\nsInstanceName=Instance001\n[EventManager]\ndEVLOGDIR=/var/log/kz\n"
                    "[Machines/client1]\nbClusterGroupClient=1\ndJOBRESULTSDIR=" +
                    shared_ + "\n");
        volume_.setClntDisplayName("client1");
    }
    std::string shared_;
    MkdirEnv mkdir_env_;
};

TEST_F(ClusterFilterDevice, CreationRecordsTheDeviceAndDeletionForgetsIt) {
    mkdir_env_.QueueCommandResult(0, "SERIAL-42 \n");
    CreateDevArg_t arg = Arg(2048);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
    EXPECT_EQ(
        mkdir_env_.Commands(),
        std::vector<std::string>{dir_.path() + "/kzclx.sh uuid Instance001 client1 " + device_});
    EXPECT_EQ(Devices().at(0).serial, "SERIAL-42");
    EXPECT_EQ(ReadFile(shared_ + "/qnbf/qnbf.conf"),
              "QNBF_INSTANCE_DIRECTORY=" + dir_.path() +
                  "\nQNBF_LOG_DIRECTORY=/var/log/kz\nSHARED_DIRECTORY=" + shared_ +
                  "\nCLUSTER_DISPLAY_NAME=client1\n");
    EXPECT_EQ(ReadFile(shared_ + "/shared_disks"), device_ + "\n");
    const std::string state = shared_ + "/qnbf/qnbf" + std::to_string(arg.minorno);
    EXPECT_EQ(ReadFile(state + "/volume"), device_);
    EXPECT_EQ(ReadFile(state + "/node"), "SERIAL-42");
    EXPECT_EQ(ReadFile(state + "/qnbf_minor"), std::to_string(arg.minorno));
    EXPECT_EQ(ReadFile(state + "/extent_size"), "1048576");

    // Edited by hand with a line end: the shared_disks entry is still found.
    dir_.Write("shared/qnbf/qnbf" + std::to_string(arg.minorno) + "/volume", device_ + "\n");
    dir_.Write("shared/qnbf/qnbf" + std::to_string(arg.minorno) + "/mnt", "/data");
    std::string list = shared_ + "/shared_disks", other = "/dev/other";
    ASSERT_TRUE(add_string_to_file(list.data(), other.data()));
    ASSERT_TRUE(Delete(arg.minorno));
    EXPECT_TRUE(Devices().empty());
    EXPECT_NE(::access(state.c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(shared_ + "/shared_disks"), "/dev/other\n");
    EXPECT_EQ(mkdir_env_.CountLogs("Failed to remove [" + state + "/inkernel_incr_bmap] file"), 1);
}

TEST_F(ClusterFilterDevice, CleanUpAfterTheDriverDeletedTheDeviceIsBestEffort) {
    CreateDevArg_t arg = Arg(4096);
    ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
    const std::string state = shared_ + "/qnbf/qnbf" + std::to_string(arg.minorno);
    ASSERT_EQ(::unlink((state + "/volume").c_str()), 0);
    EXPECT_FALSE(Delete(arg.minorno));  // unreadable "volume": false, device gone all the same
    EXPECT_TRUE(Devices().empty());
    EXPECT_EQ(mkdir_env_.CountLogs("Failed to open [" + state + "/volume] file"), 1);

    ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
    ASSERT_EQ(RunCommandLine("rm -r " + shared_), 0);
    EXPECT_TRUE(Delete(arg.minorno));  // no state directory: nothing to forget
    EXPECT_EQ(mkdir_env_.CountLogs("directory does not exist"), 1);
}

}  // namespace
}  // namespace kzvol::testing
