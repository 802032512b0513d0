// Fault sweep through the host seam and the stand-in driver: for each operation
// that talks to the driver or runs a command, every driver call (node open or
// request) and every command fails in turn. Each run must end in the operation's
// documented answer and leave no descriptor or temporary file behind. Operations
// added to the library join the tables here.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "filter/FilterInternal.h"
#include "filter/QnbfConfig.h"
#include "filter/QnbfLookup.h"
#include "tests/filter/BitmapMembers.h"
#include "tests/support/FaultSweep.h"
#include "tests/support/MemoryDriver.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

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

    void SweepDriverCalls(const Operation& op) {
        kzvol::testing::SweepDriverCalls(&driver(), op, [this] { return Listing(); });
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
    // Every one answers false when a call fails.
    const std::pair<const char*, std::function<bool()>> operations[] = {
        {"list_qnbf_devs",
         [] {
             qn_getdevicelist_arg list{};
             list.cmd = 1;
             return list_qnbf_devs(&list);
         }},
        {"lookup by name",
         [&] {
             return get_qnbf_dev_info(const_cast<char*>(node.c_str()), &info_, QN_LOOKUP_BY_NAME);
         }},
        {"lookup by minor", [&] { return byMinor(dev_, QN_LOOKUP_BY_MINOR); }},
        {"lookup by snapshot minor", [&] { return byMinor(snap_, QN_LOOKUP_BY_SNAP_MINOR); }},
        {"isQNBFDevice",
         [] {
             std::string filter;
             return isQNBFDevice("/dev/sdb", filter);
         }},
        {"QNBFShowDevList",
         [] {
             KZVolumeUnix vol(kQnbfAdminNode);
             qn_getdevicelist_arg list{};
             list.cmd = 1;
             return vol.QNBFShowDevList(&list);
         }},
        {"GetVolumeInfo",
         [this] {
             KZVolumeUnix vol(kQnbfAdminNode);
             vol.m_QnbfNodeMinorno = dev_;
             return vol.Open() && vol.GetVolumeInfo() && vol.GetBlockSize() == 512;
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
    // The flush before a bitmap read is best effort.
    auto flush = [this](const Call& c) {
        return c.request == BLKFLSBUF || c.node == FilterNode(dev_);
    };
    std::vector<Operation> bitmaps;
    for (const BitmapMember& m : BitmapMembers()) {
        bitmaps.push_back({m.context,
                           [this, &m, &bits] {
                               auto volume = BoundVolume(dev_);
                               return volume->Open() &&
                                      m.call(*volume, KZV_BITMAP_INCREMENTAL, bits);
                           },
                           false, flush});
    }
    bitmaps.push_back({"SWSnapRead",
                       [this] {
                           char sector[512];
                           unsigned long done = 0;
                           auto volume = BoundVolume(dev_);
                           return volume->Open() && volume->SWSnapRead(0, 1, sector, done) &&
                                  done == 1;
                       },
                       false, flush});
    for (const Operation& op : bitmaps)
        SweepDriverCalls(op);

    // A snapshot's whole life on its own device. A start that fails leaves the
    // synchronized snapshot and its files, as documented; they are removed between runs.
    const std::string image = dir_.Write("volume.img", std::string(4096, 'v'));
    const int own = AddDevice(image, 0, 4096);
    ASSERT_GE(own, 0);
    const std::string cow = dir_.File("cow");
    ASSERT_EQ(::mkdir(cow.c_str(), 0700), 0);
    ::setenv("KZ_SNAP_PARTITION", cow.c_str(), 1);
    auto removeSnapshots = [this, own, cow] {
        emulator::State state;
        ASSERT_TRUE(driver().Snapshot(&state));
        for (const emulator::Device& d : state.devices) {
            if (d.snapshot && d.source == static_cast<uint32_t>(own)) {
                EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, d.minor), 0);
            }
        }
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
