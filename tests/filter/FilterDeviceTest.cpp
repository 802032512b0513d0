// Creating and deleting filter devices through the memory-mode stand-in driver.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <regex>
#include <tuple>

#include "filter/CreateDevArg.h"
#include "filter/QnbfConfig.h"
#include "tests/filter/DriverFixture.h"

namespace kzvol::testing {
namespace {

// A block device node that stays put (loop nodes last), not of the admin node's major.
std::string AnyBlockDevice() {
    struct stat st;
    const unsigned adminMajor = ::stat(kQnbfAdminNode, &st) == 0 ? major(st.st_rdev) : 0;
    const std::regex loops("loop.*"), skipped("(zram|nbd|dm-).*");
    for (bool loop : {false, true})
        for (const auto& e : std::filesystem::directory_iterator("/dev")) {
            const std::string name = e.path().filename(), path = e.path();
            if (std::regex_match(name, loops) == loop && !std::regex_match(name, skipped) &&
                ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                major(st.st_rdev) != adminMajor)
                return path;
        }
    return std::string();
}

// Runs "mkdir -p" lines for real and answers 0 to every other shell line.
struct MkdirEnv : TestEnv {
    int RunShell(const std::string& command) override {
        return command.rfind("mkdir -p -- ", 0) == 0 ? RunCommandLine(command) : 0;
    }
};

class FilterDevice : public RecordedDriver {
  protected:
    void SetUp() override {
        RecordedDriver::SetUp();
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
    int Create() {
        CreateDevArg_t arg = Arg(4096);
        EXPECT_TRUE(volume_.QNBFCreateDevice(&arg));
        return arg.minorno;
    }
    std::vector<emulator::Device> Devices() {
        emulator::State state;
        EXPECT_TRUE(driver().Snapshot(&state));
        return state.devices;
    }
    bool Delete(int minor) { return volume_.QNBFDeleteDevice(Lvalue(FilterNode(minor)).data()); }

    std::string device_;
    KZVolumeUnix volume_{std::string(kQnbfAdminNode)};
};

TEST_F(FilterDevice, CreationCorrectsTheExtentSizeResetsBothBitmapsAndDeletionRemovesIt) {
    const int descriptors = OpenDescriptorCount();
    const std::pair<unsigned long, unsigned long> extents[] = {
        {0, 4096}, {3000, 4096}, {1048576, 524288}, {8192, 8192}};
    for (auto [given, used] : extents) {
        SCOPED_TRACE(given);
        CreateDevArg_t arg = Arg(given);
        ASSERT_TRUE(volume_.QNBFCreateDevice(&arg));
        EXPECT_EQ(std::tie(arg.extsize, arg.reserved1, arg.reserved5),
                  std::make_tuple(used, 0xdeadbeefu, 0xdeadbeefu));
        auto devices = Devices();
        ASSERT_EQ(devices.size(), 1u);
        const emulator::Device& d = devices[0];
        EXPECT_EQ(std::tie(d.minor, d.underlying, d.extent_bytes, d.state, d.serial),
                  std::make_tuple(uint32_t(arg.minorno), device_, uint32_t(used * 512),
                                  emulator::NodeState::Started, std::string()));
        EXPECT_TRUE(d.incr.tracked && d.diff.tracked);
        EXPECT_EQ(env_.ShellCommands().back(), kBootScriptLine);

        size_t scripts = env_.ShellCommands().size();
        ASSERT_TRUE(Delete(arg.minorno) && Devices().empty());
        EXPECT_EQ(env_.ShellCommands().size(), scripts + 1);
    }
    EXPECT_TRUE(env_.Commands().empty());  // no fstab backup without the flag
    volume_.Close();  // the object's own admin descriptor, opened by the deletion
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(FilterDevice, EveryRefusalFromTheInformationRequestOnRemovesTheNewDevice) {
    // Request refused, kind of bitmap refused (-1: any), devices left: an added device
    // that never started is not rolled back, and neither is one whose roll-back is refused.
    const std::tuple<unsigned long, int64_t, size_t> cases[] = {
        {QNBF_ADD_NODE, -1, 0},
        {QNBF_START_NODE, -1, 1},
        {QNBF_GET_INFO, -1, 0},
        {QNBF_SET_BITMAP, QNBF_KIND_INCREMENTAL, 0},
        {QNBF_SET_BITMAP, QNBF_KIND_DIFFERENTIAL, 0},
        {QNBF_GET_INFO, -1, 1}};
    for (auto [request, kind, left] : cases) {
        SCOPED_TRACE(request + kind + left);
        const bool started = request != QNBF_ADD_NODE && request != QNBF_START_NODE;
        refuse_ = [r = request, k = kind](unsigned long sent, void* arg) {
            if (sent != r || (k >= 0 && static_cast<qn_bitmap_arg*>(arg)->kind != k))
                return 0;
            return sent == QNBF_ADD_NODE ? EEXIST : EIO;
        };
        if (started && left)
            driver().FailNext(QNBF_DEFUNCT_NODE, EIO);
        const size_t scripts = env_.ShellCommands().size();
        CreateDevArg_t arg = Arg(4096);
        EXPECT_FALSE(volume_.QNBFCreateDevice(&arg));
        refuse_ = nullptr;
        EXPECT_EQ(env_.ShellCommands().size(), scripts + started);
        EXPECT_TRUE(!started || env_.ShellCommands().back() == kBootScriptLine);
        ASSERT_EQ(Devices().size(), left);
        for (const emulator::Device& d : Devices()) {
            EXPECT_EQ(d.state, started ? emulator::NodeState::Started : emulator::NodeState::Added);
            SendMinor(QNBF_DEFUNCT_NODE, d.minor);
            EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, d.minor), 0);
        }
    }

    // Neither a plain file nor an fstab request without its entry gets that far.
    std::string plain = dir_.Write("plain", "x");
    CreateDevArg_t arg = Arg(4096), fstab = Arg(4096);
    arg.devpath = plain.data();
    fstab.fstab = 1;
    EXPECT_FALSE(volume_.QNBFCreateDevice(&arg) || volume_.QNBFCreateDevice(&fstab));
    EXPECT_TRUE(Devices().empty());
}

TEST_F(FilterDevice, BootScriptKeptWhenItsToolFailsAndDeletionRefusalsLeaveTheDevice) {
    env_.QueueCommandResult(256);
    const int minor = Create();
    EXPECT_EQ(
        env_.ShellCommands(),
        std::vector<std::string>({kBootScriptLine, "rm -f -- /sbin/qnbf-bootscript1.rc.new"}));
    EXPECT_FALSE(volume_.QNBFDeleteDevice(Lvalue(std::string("/dev/sdb")).data()));
    env_.SetMountTable({{{FilterNode(minor), "/data", "ext3", "rw", "0", "0"}}});
    EXPECT_FALSE(Delete(minor));
    EXPECT_EQ(volume_.GetErrorString(), FilterNode(minor) + " is mounted on /data");
    env_.SetMountTable({});
    driver().FailNext(QNBF_DEFUNCT_NODE, EIO);
    EXPECT_FALSE(Delete(minor));
    EXPECT_TRUE(Devices().size() == 1 && Devices()[0].state == emulator::NodeState::Started);
    EXPECT_TRUE(Delete(minor));
    EXPECT_TRUE(Devices().empty());
}

class ClusterFilterDevice : public FilterDevice {
  protected:
    void SetUp() override {
        FilterDevice::SetUp();
        UseRegistry("[Base]\ndBASEHOME=" + dir_.path() +
                    "\nsInstanceName=Instance001\n[EventManager]\ndEVLOGDIR=/var/log/kz\n"
                    "[Machines/client1]\nbClusterGroupClient=1\ndJOBRESULTSDIR=" +
                    shared_ + "\n");
        volume_.setClntDisplayName("client1");
    }
    std::string State(int minor) const { return shared_ + "/qnbf/qnbf" + std::to_string(minor); }
    std::string shared_ = dir_.File("shared");
    MkdirEnv mkdir_env_;
};

TEST_F(ClusterFilterDevice, CreationRecordsTheDeviceAndDeletionForgetsItBestEffort) {
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
    const std::string state = State(arg.minorno);
    EXPECT_EQ(ReadFile(state + "/volume"), device_);
    EXPECT_EQ(ReadFile(state + "/node"), "SERIAL-42");
    EXPECT_EQ(ReadFile(state + "/qnbf_minor"), std::to_string(arg.minorno));
    EXPECT_EQ(ReadFile(state + "/extent_size"), "1048576");

    // Edited by hand with a line end: the shared_disks entry is still found.
    const std::string edited = "shared/qnbf/qnbf" + std::to_string(arg.minorno);
    dir_.Write(edited + "/volume", device_ + "\n");
    dir_.Write(edited + "/mnt", "/data");
    std::string list = shared_ + "/shared_disks", other = "/dev/other";
    ASSERT_TRUE(add_string_to_file(list.data(), other.data()));
    ASSERT_TRUE(Delete(arg.minorno) && Devices().empty());
    EXPECT_NE(::access(state.c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(list), "/dev/other\n");

    // Clean-up after the driver deleted the device is best effort.
    int minor = Create();
    ASSERT_EQ(::unlink((State(minor) + "/volume").c_str()), 0);
    EXPECT_FALSE(Delete(minor) || !Devices().empty());  // unreadable "volume": false, still gone

    minor = Create();
    ASSERT_EQ(RunCommandLine("rm -r " + shared_), 0);
    EXPECT_TRUE(Delete(minor) && Devices().empty());  // no state directory: nothing to forget
}

}  // namespace
}  // namespace kzvol::testing
