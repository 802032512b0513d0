// Every driver call and every command of each operation fails in turn: each run ends in
// the documented answer and leaves no descriptor or temporary file behind.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>

#include "filter/FilterInternal.h"
#include "filter/QnbfConfig.h"
#include "tests/filter/DriverFixture.h"
#include "volume/DeviceProbe.h"

namespace kzvol::testing {
namespace {

struct Call {          // a node opened, or a request sent
    std::string node;  // empty for a request
    unsigned long request = 0;
};

// Forwards to `target`, counting calls; call number fail_at fails, kept in `failed`.
class FailNth : public DriverChannel {
  public:
    explicit FailNth(DriverChannel* target) : target_(target) {}
    int OpenNode(const std::string& path, int flags) override {
        return Fails({path, 0}, ENOENT) ? -1 : target_->OpenNode(path, flags);
    }
    int Request(int fd, unsigned long request, void* arg) override {
        return Fails({"", request}, EIO) ? -1 : target_->Request(fd, request, arg);
    }
    bool Fails(const Call& call, int err) {
        if (calls++ != fail_at)
            return false;
        failed = call;
        errno = err;
        return true;
    }
    DriverChannel* target_;
    int fail_at = -1, calls = 0;
    Call failed;
};

struct Operation {
    std::string name;
    std::function<bool()> run;
    bool answer_on_failure;  // the documented answer when a step fails
    // Calls whose failure is documented as harmless (answer unchanged).
    std::function<bool(const Call&)> best_effort = [](const Call&) { return false; };
    std::function<void()> cleanup = [] {};  // undoes what a run is documented to leave
};

// One filter device with one snapshot, and a registry naming a cluster client.
class FaultSweep : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        dev_ = AddDevice("/dev/sdb", 16 << 20);
        snap_ = Snap(dev_);
        ASSERT_GE(snap_, 0);
        UseRegistry("[Base]\ndBASEHOME=/opt/kz\n[Machines/vm1]\nbClusterGroupClient=1\n");
    }
    // Runs `op` cleanly, then once per driver call with that call failing: each run
    // gives the documented answer and leaves what the clean run left, no more.
    void SweepDriverCalls(const Operation& op) {
        SCOPED_TRACE(op.name);
        FailNth channel(&driver());
        SetDriverChannel(&channel);
        const int descriptors = OpenDescriptorCount();
        ASSERT_TRUE(op.run());
        op.cleanup();
        const int calls = channel.calls;
        const std::string before = Inventory();
        EXPECT_GT(calls, 0);
        for (int k = 0; k < calls; ++k) {
            channel.fail_at = k;
            channel.calls = 0;
            const bool answer = op.run();
            channel.fail_at = -1;
            op.cleanup();
            const Call& failed = channel.failed;
            SCOPED_TRACE(std::to_string(k) + ": " + failed.node + std::to_string(failed.request));
            EXPECT_EQ(answer, op.best_effort(failed) || op.answer_on_failure);
            EXPECT_EQ(OpenDescriptorCount(), descriptors);
            EXPECT_EQ(Inventory(), before);
        }
        SetDriverChannel(&driver());
    }
    std::string Inventory() { return Sh(0, "ls -AR " + dir_.path()); }
    // Runs `call` on a volume of /mnt/a once per command it runs, with that command failing.
    void SweepCommands(const char* name, bool answer, int commands,
                       const std::function<bool(KZVolumeUnix&)>& call) {
        SCOPED_TRACE(name);
        const int descriptors = OpenDescriptorCount();
        for (int k = 0; k < commands; ++k) {
            for (int ok = 0; ok < k; ++ok)
                env_.QueueCommandResult(0);
            env_.QueueCommandResult(32);
            const size_t before = env_.Commands().size();
            EXPECT_EQ(call(Lvalue(KZVolumeUnix("/mnt/a"))), answer) << k;
            EXPECT_EQ(env_.Commands().size(), before + k + 1);
            EXPECT_EQ(OpenDescriptorCount(), descriptors);
        }
    }
    // Opens a driver-mode object bound to `minor`, with the admin node's flush best effort.
    Operation OnVolume(const char* name, int minor, std::function<bool(KZVolumeUnix&)> call) {
        auto mine = [node = FilterNode(minor)](const Call& c) {
            return c.request == BLKFLSBUF || c.node == node;
        };
        return {name, [minor, call] { return Opened(minor, call); }, false, mine};
    }
    static bool Opened(int minor, const std::function<bool(KZVolumeUnix&)>& call) {
        auto volume = BoundVolume(minor);
        return volume->Open() && call(*volume);
    }

    int dev_ = -1, snap_ = -1;
    qn_getinfo_arg info_;
};

TEST_F(FaultSweep, DriverLookupsAndTheVolumeObject) {
    std::string node = "qnbf" + std::to_string(dev_);
    const std::pair<const char*, std::function<bool()>> operations[] = {
        {"list_qnbf_devs",
         [l = qn_getdevicelist_arg{1, 0, {}}]() mutable { return list_qnbf_devs(&l); }},
        {"by name", [&] { return ByName(node, &info_); }},
        {"by minor", [&] { return ByMinor(dev_, &info_); }},
        {"by snapshot minor", [&] { return ByMinor(snap_, &info_, QN_LOOKUP_BY_SNAP_MINOR); }},
        {"isQNBFDevice", [f = std::string()]() mutable { return isQNBFDevice("/dev/sdb", f); }},
        {"QNBFShowDevList",
         [l = qn_getdevicelist_arg{1, 0, {}}]() mutable {
             return KZVolumeUnix(kQnbfAdminNode).QNBFShowDevList(&l);
         }},
        {"GetVolumeInfo",
         [this] {
             return Opened(dev_,
                           [](auto& v) { return v.GetVolumeInfo() && v.GetBlockSize() == 512; });
         }},
        {"QNBFSetMinorno of a cluster client",
         [&] {
             KZVolumeUnix vol(kQnbfAdminNode);
             vol.setClntDisplayName("vm1");
             return vol.QNBFSetMinorno("/dev/qnbf/" + node) && vol.m_QnbfNodeMinorno == dev_;
         }},
    };
    for (const auto& [name, run] : operations)
        SweepDriverCalls({name, run, false});
}

TEST_F(FaultSweep, ChangeBitmapsAndSnapshots) {
    Bits bits = {0x01, 0x00};  // 16 extents of 1 MiB
    for (const BitmapMember& m : BitmapMembers()) {
        SweepDriverCalls(OnVolume(m.name, dev_, [&m, &bits](KZVolumeUnix& v) {
            return m.call(v, KZV_BITMAP_INCREMENTAL, bits);
        }));
    }
    SweepDriverCalls(OnVolume("SWSnapRead", dev_, [](KZVolumeUnix& v) {
        char sector[512];
        unsigned long done = 0;
        return v.SWSnapRead(0, 1, sector, done) && done == 1;
    }));

    // A snapshot's life on its own device; what a failed start leaves (documented) is removed.
    const int own = AddDevice(dir_.Write("volume.img", std::string(4096, 'v')), 0, 4096);
    const std::string cow = dir_.File("cow");
    ASSERT_EQ(::mkdir(cow.c_str(), 0700), 0);
    ::setenv("KZ_SNAP_PARTITION", cow.c_str(), 1);
    auto removeSnapshots = [this, own, cow] {
        emulator::State state;
        ASSERT_TRUE(driver().Snapshot(&state));
        for (const emulator::Device& d : state.devices)
            EXPECT_TRUE(!d.snapshot || d.source != static_cast<uint32_t>(own) ||
                        SendMinor(QNBF_DELETE_NODE, d.minor) == 0);
        RunCommandLine("rm -f " + cow + "/.qnbf*");
    };
    SweepDriverCalls({"snapshot life",
                      [this, own] {
                          auto volume = BoundVolume(own, FilterNode(own));
                          return volume->SWSnapSynchronize(FilterNode(own), 0) &&
                                 volume->SWSnapFreezeSync("", KZ_APP_NONE) &&
                                 volume->SWSnapUnsynchronize();
                      },
                      false, [](const Call&) { return false; }, removeSnapshots});
    ::unsetenv("KZ_SNAP_PARTITION");
}

TEST_F(FaultSweep, CommandsOfLockUnlockAndTheClusterScript) {
    env_.SetMountTable({{{"/dev/sdb", "/mnt/a", "ext3", "rw", "0", "0"}}});
    SweepCommands("Lock", false, 1,
                  [](KZVolumeUnix& v) { return v.Lock() || v.m_bLocked || v.m_pszMntDir; });
    // Unlock answers true whatever the mount does, and forgets the entry.
    SweepCommands("Lock then Unlock", true, 2, [](KZVolumeUnix& v) {
        return (v.Lock(), v.Unlock()) && !v.m_bLocked && !v.m_pszMntDir;
    });
    SweepCommands("get_serial_number", false, 1, [](KZVolumeUnix&) {
        std::string serial = "kept", dev = "/dev/sdb";
        return get_serial_number(dev.data(), "i", "vm1", serial) || serial != "kept";
    });
}

}  // namespace
}  // namespace kzvol::testing
