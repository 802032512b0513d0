// Fault sweep through the host seam and the stand-in driver: for each operation
// that talks to the driver or runs a command, every driver call (node open or
// request) and every command fails in turn. Each run must end in the operation's
// documented answer and leave no descriptor or temporary file behind.
#include <gtest/gtest.h>

#include <functional>

#include "filter/FilterInternal.h"
#include "filter/QnbfConfig.h"
#include "filter/QnbfLookup.h"
#include "tests/filter/MemoryDriver.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

// Forwards to the stand-in, counting the calls; the call numbered fail_at fails.
class FailNth : public DriverChannel {
  public:
    explicit FailNth(DriverChannel* target) : target_(target) {}
    int fail_at = -1;
    int calls = 0;

    int OpenNode(const std::string& path, int flags) override {
        if (calls++ == fail_at) {
            errno = ENOENT;
            return -1;
        }
        return target_->OpenNode(path, flags);
    }
    int Request(int fd, unsigned long request, void* arg) override {
        if (calls++ == fail_at) {
            errno = EIO;
            return -1;
        }
        return target_->Request(fd, request, arg);
    }

  private:
    DriverChannel* target_;
};

struct Operation {
    std::string name;
    std::function<bool()> run;
    bool answer_on_failure;  // the documented answer when any step fails
};

// One filter device with one snapshot, and a registry naming a cluster client.
class FaultSweep : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        dev_ = AddDevice("/dev/sdb", 1 << 30);
        snap_ = Snap(dev_);
        ASSERT_GE(snap_, 0);
        ::setenv("KZVOL_CONFIG",
                 dir_.Write("registry.ini",
                            "[Base]\ndBASEHOME=/opt/kz\n[Machines/vm1]\nbClusterGroupClient=1\n")
                     .c_str(),
                 1);
    }
    void TearDown() override {
        ::unsetenv("KZVOL_CONFIG");
        MemoryDriver::TearDown();
    }

    // Runs `op` without faults (it must succeed), then once per driver call with
    // that call failing.
    void SweepDriverCalls(const Operation& op) {
        SCOPED_TRACE(op.name);
        FailNth channel(&driver());
        SetDriverChannel(&channel);
        const int descriptors = OpenDescriptorCount();
        const std::string files = Listing();
        ASSERT_TRUE(op.run());
        const int calls = channel.calls;
        EXPECT_GT(calls, 0);
        for (int k = 0; k < calls; ++k) {
            channel.fail_at = k;
            channel.calls = 0;
            EXPECT_EQ(op.run(), op.answer_on_failure) << "call " << k << " failing";
            EXPECT_EQ(OpenDescriptorCount(), descriptors) << "call " << k << " failing";
            EXPECT_EQ(Listing(), files) << "call " << k << " failing";
        }
        SetDriverChannel(&driver());
    }

    // Runs `op` once per command it runs, with that command failing.
    void SweepCommands(const Operation& op, int commands) {
        SCOPED_TRACE(op.name);
        const int descriptors = OpenDescriptorCount();
        for (int k = 0; k < commands; ++k) {
            for (int ok = 0; ok < k; ++ok)
                env_.QueueCommandResult(0);
            env_.QueueCommandResult(32);
            const size_t before = env_.Commands().size();
            EXPECT_EQ(op.run(), op.answer_on_failure) << "command " << k << " failing";
            EXPECT_EQ(env_.Commands().size(), before + k + 1);
            EXPECT_EQ(OpenDescriptorCount(), descriptors);
        }
    }

    std::string Listing() const {
        std::string out;
        RunCommandLine("ls -AR " + dir_.path(), &out);
        return out;
    }

    int dev_ = -1, snap_ = -1;
    qn_getinfo_arg info_;
};

TEST_F(FaultSweep, DriverLookupsAndTheVolumeObject) {
    const std::string node = "qnbf" + std::to_string(dev_);
    auto byMinor = [this](int minor, int mode) {
        uint32_t m = static_cast<uint32_t>(minor);
        return get_qnbf_dev_info(reinterpret_cast<char*>(&m), &info_, mode);
    };
    const std::vector<Operation> operations = {
        {"list_qnbf_devs",
         [] {
             qn_getdevicelist_arg list{};
             list.cmd = 1;
             return list_qnbf_devs(&list);
         },
         false},
        {"lookup by name",
         [&] {
             return get_qnbf_dev_info(const_cast<char*>(node.c_str()), &info_, QN_LOOKUP_BY_NAME);
         },
         false},
        {"lookup by minor", [&] { return byMinor(dev_, QN_LOOKUP_BY_MINOR); }, false},
        {"lookup by snapshot minor", [&] { return byMinor(snap_, QN_LOOKUP_BY_SNAP_MINOR); },
         false},
        {"isQNBFDevice",
         [] {
             std::string filter;
             return isQNBFDevice("/dev/sdb", filter);
         },
         false},
        {"QNBFShowDevList",
         [] {
             KZVolumeUnix vol(kQnbfAdminNode);
             qn_getdevicelist_arg list{};
             list.cmd = 1;
             return vol.QNBFShowDevList(&list);
         },
         false},
        {"GetVolumeInfo",
         [this] {
             KZVolumeUnix vol(kQnbfAdminNode);
             vol.m_QnbfNodeMinorno = dev_;
             return vol.Open() && vol.GetVolumeInfo() && vol.GetBlockSize() == 512;
         },
         false},
        {"QNBFSetMinorno of a cluster client",
         [&] {
             KZVolumeUnix vol(kQnbfAdminNode);
             vol.setClntDisplayName("vm1");
             return vol.QNBFSetMinorno("/dev/qnbf/" + node) && vol.m_QnbfNodeMinorno == dev_;
         },
         false},
    };
    for (const Operation& op : operations)
        SweepDriverCalls(op);
}

TEST_F(FaultSweep, CommandsOfLockUnlockAndTheClusterScript) {
    env_.SetMountTable({{{"/dev/sdb", "/mnt/a", "ext3", "rw", "0", "0"}}});
    SweepCommands({"Lock",
                   [] {
                       KZVolumeUnix vol("/mnt/a");
                       return vol.Lock() || vol.m_bLocked || vol.m_pszMntDir;
                   },
                   false},
                  1);
    // Unlock answers true whatever the mount does, and forgets the entry.
    SweepCommands({"Lock then Unlock",
                   [] {
                       KZVolumeUnix vol("/mnt/a");
                       vol.Lock();
                       return vol.Unlock() && !vol.m_bLocked && !vol.m_pszMntDir;
                   },
                   true},
                  2);
    SweepCommands({"get_serial_number",
                   [] {
                       std::string serial = "kept", dev = "/dev/sdb";
                       return get_serial_number(dev.data(), "i", "vm1", serial) || serial != "kept";
                   },
                   false},
                  1);
}

}  // namespace
}  // namespace kzvol::testing
