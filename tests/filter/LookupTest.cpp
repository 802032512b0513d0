// Listing and finding filter devices, and binding a volume object to one, via the stand-in.
#include <gtest/gtest.h>

#include <tuple>

#include "filter/FilterInternal.h"
#include "tests/filter/DriverFixture.h"
#include "volume/DeviceProbe.h"

namespace kzvol::testing {
namespace {

class Lookup : public MemoryDriver {
  protected:
    qn_getinfo_arg info_;
    std::string filter_;
};

TEST_F(Lookup, DevicesAreFoundByWholeNameMinorOrSnapshotMinorUntilOneFails) {
    qn_getdevicelist_arg list{1, 0, {}};
    EXPECT_TRUE(list_qnbf_devs(&list) && list.count == 0);
    EXPECT_FALSE(ByName("qnbf0", &info_) || ByMinor(0, &info_, QN_LOOKUP_BY_SNAP_MINOR));
    EXPECT_FALSE(isQNBFDevice("/dev/sdb1", filter_));
    const int first = AddDevice("/dev/sdb", 1 << 30), dev = AddDevice("/dev/sdc", 2ull << 30);
    int older = Snap(dev, "s1"), newer = Snap(dev, "s2");
    ASSERT_GE(std::min(older, newer), 0);
    // The volume object's own list request fills the caller's record; snapshots are not listed.
    ASSERT_TRUE(KZVolumeUnix(kQnbfAdminNode).QNBFShowDevList(&list));
    EXPECT_EQ(std::vector<uint32_t>(list.minors, list.minors + list.count),
              (std::vector<uint32_t>{uint32_t(first), uint32_t(dev)}));
    ASSERT_TRUE(ByName("qnbf" + std::to_string(dev), &info_));
    EXPECT_EQ(std::make_tuple(+info_.minor, std::string(info_.dev_name), +info_.size),
              std::make_tuple(uint32_t(dev), std::string("sdc"), 2ull << 30));
    EXPECT_FALSE(ByName("qnbf", &info_));
    ASSERT_TRUE(ByMinor(older, &info_));
    EXPECT_EQ(std::string(info_.node_name), "qnbf" + std::to_string(older));
    EXPECT_FALSE(ByMinor(200, &info_));

    // By snapshot minor: the device holding it, the active snapshot first.
    ASSERT_TRUE(ByMinor(older, &info_, QN_LOOKUP_BY_SNAP_MINOR));
    EXPECT_EQ(std::make_tuple(+info_.minor, +info_.snap_minor_cnt, +info_.snap_minor[0]),
              std::make_tuple(uint32_t(dev), 2, uint32_t(newer)));
    EXPECT_FALSE(ByMinor(99, &info_, QN_LOOKUP_BY_SNAP_MINOR));
    EXPECT_FALSE(ByMinor(0, &info_, 77));  // unknown mode

    // A defunct device stays listed but no longer answers: the name lookup stops there.
    ASSERT_EQ(SendMinor(QNBF_DEFUNCT_NODE, static_cast<uint32_t>(first)), 0);
    std::memset(&info_, 0x5a, sizeof info_);
    EXPECT_FALSE(ByName("qnbf" + std::to_string(dev), &info_) || info_.minor != 0x5a5a5a5au);
}

TEST_F(Lookup, CoveringDeviceIsAPrefixMatchAndAClusterClientsMinorComesFromTheDriver) {
    const int sdb10 = AddDevice("/dev/sdb10", 1 << 30), sdb1 = AddDevice("/dev/sdb1", 1 << 30);
    EXPECT_TRUE(isQNBFDevice("/dev/sdb1", filter_) && filter_ == FilterNode(sdb10));
    // No "/": the whole path is the name.
    EXPECT_TRUE(isQNBFDevice("sdb10", filter_) && filter_ == FilterNode(sdb10));

    // Binding takes the node's minor, or asks the driver for a cluster client.
    UseRegistry("");
    KZVolumeUnix vol("/dev/null", "", false, false);          // /dev/null is c 1 3
    EXPECT_TRUE(vol.m_QnbfNodeMinorno == 3 && vol.IsOpen());  // the admin node opened on the way
    EXPECT_FALSE(vol.QNBFSetMinorno("/dev/kzvol-missing") || vol.m_QnbfNodeMinorno != 3);

    UseRegistry("[Machines/vm1]\nbClusterGroupClient=1\n");
    const int minor = AddDevice("/dev/sdd", 1 << 30);
    KZVolumeUnix cluster("/dev/qnbf/ctrl");
    cluster.setClntDisplayName("vm1");
    ASSERT_TRUE(cluster.QNBFSetMinorno(FilterNode(minor)));
    EXPECT_FALSE(cluster.QNBFSetMinorno("/dev/qnbf/qnbf77") || cluster.m_QnbfNodeMinorno != minor);

    ASSERT_EQ(SendMinor(QNBF_DEFUNCT_NODE, static_cast<uint32_t>(sdb10)), 0);
    const int descriptors = OpenDescriptorCount();
    EXPECT_TRUE(isQNBFDevice("/dev/sdb1", filter_) && filter_ == FilterNode(sdb1));
    EXPECT_FALSE(isQNBFDevice("/dev/sdc", filter_) || isQNBFDevice("/dev/", filter_));
    EXPECT_EQ(OpenDescriptorCount(), descriptors);  // the admin node is closed on every path
}

// Overstates its counts and leaves names unterminated: lookups stay inside the records.
struct OverstatingDriver : DriverChannel {
    int OpenNode(const std::string&, int flags) override { return ::open("/dev/null", flags); }
    int Request(int, unsigned long request, void* arg) override {
        if (request == QNBF_GET_DEVLIST) {
            auto* list = static_cast<qn_getdevicelist_arg*>(arg);
            list->count = 5000;
            std::fill(std::begin(list->minors), std::end(list->minors), 7);
        } else if (request == QNBF_GET_INFO) {
            auto* info = static_cast<qn_getinfo_arg*>(arg);
            std::memset(info->node_name, 'n', sizeof info->node_name);
            std::memset(info->dev_name, 'a', sizeof info->dev_name);
            std::fill(std::begin(info->snap_minor), std::end(info->snap_minor), 7);
            // One past the array, and the value just past it: read, it would match.
            info->snap_minor_cnt = 257;
        }
        return 0;
    }
};

TEST(LookupOfUntrustedAnswers, CountsAndNamesAreBoundedByTheRecords) {
    TestEnv env;
    OverstatingDriver driver;
    DriverChannel* previous = SetDriverChannel(&driver);
    qn_getinfo_arg info;
    EXPECT_FALSE(ByName(std::string(200, 'n'), &info));
    EXPECT_FALSE(ByMinor(257, &info, QN_LOOKUP_BY_SNAP_MINOR));
    std::string filter;
    EXPECT_TRUE(isQNBFDevice("/dev/aaaa", filter) && filter == "/dev/qnbf/qnbf7");
    EXPECT_FALSE(isQNBFDevice("/dev/" + std::string(1100, 'a'), filter));
    SetDriverChannel(previous);
}

}  // namespace
}  // namespace kzvol::testing
