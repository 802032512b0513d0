// Listing and finding filter devices through the request channel, against the
// memory-mode stand-in driver.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "filter/FilterInternal.h"
#include "filter/QnbfLookup.h"
#include "tests/filter/MemoryDriver.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

const char kInfoFailed[] = "Unable to get qnbf device information";

class Lookup : public MemoryDriver {
  protected:
    bool ByName(const char* name, qn_getinfo_arg* out) {
        return get_qnbf_dev_info(const_cast<char*>(name), out, QN_LOOKUP_BY_NAME);
    }
    bool ByMinor(uint32_t minor, qn_getinfo_arg* out, int mode = QN_LOOKUP_BY_MINOR) {
        return get_qnbf_dev_info(reinterpret_cast<char*>(&minor), out, mode);
    }
};

TEST_F(Lookup, EmptyDriverAnswersNoDeviceWithoutFailedRequests) {
    qn_getdevicelist_arg list{};
    list.cmd = 1;
    ASSERT_TRUE(list_qnbf_devs(&list));
    EXPECT_EQ(list.count, 0u);

    qn_getinfo_arg info;
    EXPECT_FALSE(ByName("qnbf0", &info));
    EXPECT_FALSE(ByMinor(0, &info, QN_LOOKUP_BY_SNAP_MINOR));
    std::string filter;
    EXPECT_FALSE(isQNBFDevice("/dev/sdb1", filter));
    EXPECT_EQ(env_.CountLogs(kInfoFailed), 0);
}

TEST_F(Lookup, NameLookupFindsTheWholeNodeName) {
    AddDevice("/dev/sdb", 1 << 30);
    int second = AddDevice("/dev/sdc", 2ull << 30);
    ASSERT_GE(second, 0);
    qn_getinfo_arg info;
    std::string name = "qnbf" + std::to_string(second);
    ASSERT_TRUE(ByName(name.c_str(), &info));
    EXPECT_EQ(info.minor, static_cast<uint32_t>(second));
    EXPECT_STREQ(info.dev_name, "sdc");
    EXPECT_EQ(info.size, 2ull << 30);
    EXPECT_FALSE(ByName("qnbf", &info));  // whole names only
}

TEST_F(Lookup, NameLookupStopsAtTheFirstFailingDevice) {
    int first = AddDevice("/dev/sdb", 1 << 30);
    int second = AddDevice("/dev/sdc", 1 << 30);
    // A defunct device stays listed but no longer answers information requests.
    ASSERT_EQ(SendMinor(QNBF_DEFUNCT_NODE, static_cast<uint32_t>(first)), 0);
    qn_getinfo_arg info;
    std::memset(&info, 0x5a, sizeof info);
    std::string name = "qnbf" + std::to_string(second);
    EXPECT_FALSE(ByName(name.c_str(), &info));
    EXPECT_EQ(env_.CountLogs(kInfoFailed, "get_qnbf_dev_info"), 1);
    EXPECT_EQ(info.minor, 0x5a5a5a5au);  // untouched
}

TEST_F(Lookup, MinorLookupAnswersADeviceNotInTheList) {
    int dev = AddDevice("/dev/sdb", 1 << 30);
    int snap = Snap(dev);
    ASSERT_GE(snap, 0);
    qn_getdevicelist_arg list{};
    list.cmd = 1;
    ASSERT_TRUE(list_qnbf_devs(&list));
    ASSERT_EQ(list.count, 1u);  // snapshots are not listed
    EXPECT_EQ(list.minors[0], static_cast<uint32_t>(dev));

    qn_getinfo_arg info;
    ASSERT_TRUE(ByMinor(static_cast<uint32_t>(snap), &info));
    EXPECT_EQ(info.minor, static_cast<uint32_t>(snap));
    EXPECT_EQ(std::string(info.node_name), "qnbf" + std::to_string(snap));
    EXPECT_FALSE(ByMinor(200, &info));
    EXPECT_EQ(env_.CountLogs(kInfoFailed), 1);
}

TEST_F(Lookup, SnapshotMinorLookupFindsTheDeviceHoldingIt) {
    AddDevice("/dev/sdb", 1 << 30);
    int dev = AddDevice("/dev/sdc", 1 << 30);
    int older = Snap(dev, "s1");
    int newer = Snap(dev, "s2");
    ASSERT_GE(older, 0);
    ASSERT_GE(newer, 0);
    qn_getinfo_arg info;
    ASSERT_TRUE(ByMinor(static_cast<uint32_t>(older), &info, QN_LOOKUP_BY_SNAP_MINOR));
    EXPECT_EQ(info.minor, static_cast<uint32_t>(dev));
    ASSERT_EQ(info.snap_minor_cnt, 2);
    EXPECT_EQ(info.snap_minor[0], static_cast<uint32_t>(newer));  // the active one first
    EXPECT_EQ(env_.CountLogs("qnbf_minor:" + std::to_string(dev)), 1);
    EXPECT_FALSE(ByMinor(99, &info, QN_LOOKUP_BY_SNAP_MINOR));
    EXPECT_FALSE(ByMinor(0, &info, 77));  // unknown mode
}

TEST_F(Lookup, CoveringDeviceIsAPrefixMatchFirstInListOrder) {
    int sdb10 = AddDevice("/dev/sdb10", 1 << 30);
    int sdb1 = AddDevice("/dev/sdb1", 1 << 30);
    ASSERT_GE(sdb1, 0);
    std::string filter;
    ASSERT_TRUE(isQNBFDevice("/dev/sdb1", filter));
    EXPECT_EQ(filter, "/dev/qnbf/qnbf" + std::to_string(sdb10));
    ASSERT_TRUE(isQNBFDevice("sdb10", filter));  // no "/": the whole path is the name
    EXPECT_EQ(filter, "/dev/qnbf/qnbf" + std::to_string(sdb10));

    // A device whose information request fails is passed over.
    ASSERT_EQ(SendMinor(QNBF_DEFUNCT_NODE, static_cast<uint32_t>(sdb10)), 0);
    const int descriptors = OpenDescriptorCount();
    ASSERT_TRUE(isQNBFDevice("/dev/sdb1", filter));
    EXPECT_EQ(filter, "/dev/qnbf/qnbf" + std::to_string(sdb1));
    EXPECT_FALSE(isQNBFDevice("/dev/sdc", filter));
    EXPECT_FALSE(isQNBFDevice("/dev/", filter));
    EXPECT_EQ(OpenDescriptorCount(), descriptors);  // the admin node is closed on every path
}

TEST_F(Lookup, FailingListRequestIsReported) {
    AddDevice("/dev/sdb", 1 << 30);
    const int descriptors = OpenDescriptorCount();
    driver().FailNext(QNBF_GET_DEVLIST, EIO);
    qn_getinfo_arg info;
    EXPECT_FALSE(ByMinor(0, &info));
    EXPECT_EQ(env_.CountLogs("Unable to get qnbf device list \n", "list_qnbf_devs"), 1);
    EXPECT_EQ(env_.CountLogs("Unable to create the list of qnbf devices\n"), 1);

    driver().FailNext(QNBF_GET_DEVLIST, EIO);
    std::string filter;
    EXPECT_FALSE(isQNBFDevice("/dev/sdb", filter));
    EXPECT_EQ(env_.CountLogs("failed to get DEVLIST ret=1 errno=5 \n"), 1);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(Lookup, ShowDevListFillsTheCallersRecord) {
    int a = AddDevice("/dev/sdb", 1 << 30);
    int b = AddDevice("/dev/sdc", 1 << 30);
    KZVolumeUnix vol("/dev/qnbf/ctrl");
    qn_getdevicelist_arg list{};
    list.cmd = 1;
    ASSERT_TRUE(vol.QNBFShowDevList(&list));
    ASSERT_EQ(list.count, 2u);
    EXPECT_EQ(list.minors[0], static_cast<uint32_t>(a));
    EXPECT_EQ(list.minors[1], static_cast<uint32_t>(b));
    EXPECT_EQ(env_.CountLogs("Got the device list \n", "KZVolumeUnix::QNBFShowDevList:"), 1);

    driver().FailNext(QNBF_GET_DEVLIST, EPERM);
    EXPECT_FALSE(vol.QNBFShowDevList(&list));
    EXPECT_EQ(env_.CountLogs("failed to get DEVLIST ret=-1 errno=1 \n"), 1);

    unsigned char attr[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(vol.QNBFGetDeviceAttr(attr));
    EXPECT_EQ(attr[7], 8);
}

// Without a driver the admin node cannot be opened: every caller says so.
TEST(LookupWithoutDriver, AdminNodeOpenFailureIsReported) {
    TestEnv env;
    TempDir dir;
    emulator::Emulator absent(dir.File("no-driver"));  // never created
    emulator::Plug(&absent);
    qn_getdevicelist_arg list{};
    EXPECT_FALSE(list_qnbf_devs(&list));
    EXPECT_EQ(env.CountLogs("Unable to open qnbf admin node \n", "list_qnbf_devs"), 1);
    qn_getinfo_arg info;
    uint32_t minor = 0;
    EXPECT_FALSE(get_qnbf_dev_info(reinterpret_cast<char*>(&minor), &info, QN_LOOKUP_BY_MINOR));
    std::string filter;
    EXPECT_FALSE(isQNBFDevice("/dev/sdb", filter));
    EXPECT_EQ(env.CountLogs("failed to open config node errno=2 config_fd=-1 \n"), 1);
    KZVolumeUnix vol("/dev/qnbf/ctrl");
    EXPECT_FALSE(vol.QNBFShowDevList(&list));
    EXPECT_EQ(env.CountLogs("failed to open config node errno=2 config_fd=-1 \n",
                            "KZVolumeUnix::QNBFShowDevList:"),
              1);
    emulator::Plug(nullptr);
}

// A driver whose answers overstate their counts and leave names unterminated: the
// lookups stay inside the records.
class OverstatingDriver : public DriverChannel {
  public:
    int OpenNode(const std::string&, int flags) override { return ::open("/dev/null", flags); }
    int Request(int, unsigned long request, void* arg) override {
        if (request == QNBF_GET_DEVLIST) {
            auto* list = static_cast<qn_getdevicelist_arg*>(arg);
            list->count = 5000;
            for (uint32_t& m : list->minors)
                m = 7;
        } else if (request == QNBF_GET_INFO) {
            auto* info = static_cast<qn_getinfo_arg*>(arg);
            std::memset(info->node_name, 'n', sizeof info->node_name);
            std::memset(info->dev_name, 'a', sizeof info->dev_name);
            info->snap_minor_cnt = 100000;
        }
        return 0;
    }
};

TEST(LookupOfUntrustedAnswers, CountsAndNamesAreBoundedByTheRecords) {
    TestEnv env;
    OverstatingDriver driver;
    DriverChannel* previous = SetDriverChannel(&driver);
    qn_getinfo_arg info;
    std::string longName(200, 'n');
    EXPECT_FALSE(get_qnbf_dev_info(longName.data(), &info, QN_LOOKUP_BY_NAME));
    uint32_t wanted = 9;
    EXPECT_FALSE(
        get_qnbf_dev_info(reinterpret_cast<char*>(&wanted), &info, QN_LOOKUP_BY_SNAP_MINOR));
    EXPECT_EQ(env.CountLogs("qnbf_minor:0 buff:9"), 256 * 256);
    std::string filter;
    EXPECT_TRUE(isQNBFDevice("/dev/aaaa", filter));
    EXPECT_EQ(filter, "/dev/qnbf/qnbf7");
    EXPECT_FALSE(isQNBFDevice("/dev/" + std::string(1100, 'a'), filter));
    SetDriverChannel(previous);
}

}  // namespace
}  // namespace kzvol::testing
