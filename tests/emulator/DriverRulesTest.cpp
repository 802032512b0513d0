// The stand-in driver in memory mode: device states, refusals, (saved) bitmaps, several
// processes, change tracking and snapshots of a filter device over a regular file.
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "filter/FilterInternal.h"
#include "filter/QnbfLookup.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kMiB = 1 << 20, kIncr = QNBF_KIND_INCREMENTAL, kDiff = QNBF_KIND_DIFFERENTIAL;
using Bits = std::vector<unsigned char>;

int Command(unsigned long request, int minor, uint32_t kind) {
    qn_bitmapcmd_arg arg{static_cast<uint32_t>(minor), kind};
    return Send(request, &arg);
}
Bits Get(int minor, uint32_t kind, bool clear = false) {
    return GetBitmap(minor, kind, static_cast<size_t>(DriverInfo(minor).incr_bmp_size), clear);
}

using DriverRules = MemoryDriver;

TEST_F(DriverRules, LifeOfADeviceAndItsSnapshots) {
    int dev, snap;
    ASSERT_GE(dev = AddDevice("/dev/sdb", 64 * kMiB, kMiB, false), 0);
    EXPECT_EQ(Snap(dev), -EINVAL);  // not started yet
    EXPECT_TRUE(SendMinor(QNBF_START_NODE, dev) == 0 && SendMinor(QNBF_START_NODE, dev) == EBUSY);
    EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, dev), EBUSY);  // started

    ASSERT_GE(snap = Snap(dev), 0);
    EXPECT_EQ(ReadFile(dir_.File("snap")).size(), 64u * kMiB);
    EXPECT_NE(ReadFile(dir_.File("snapmap")).find("size 67108864"), std::string::npos);
    EXPECT_EQ(
        (std::vector<int>{SendMinor(QNBF_START_NODE, snap), SendMinor(QNBF_DEFUNCT_NODE, snap),
                          SendMinor(QNBF_DEFUNCT_NODE, dev), SendMinor(QNBF_START_NODE, dev)}),
        (std::vector<int>{0, EINVAL, 0, EINVAL}));
    EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, dev), EBUSY);  // its snapshot still exists

    EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, snap), 0);
    EXPECT_EQ(::access(dir_.File("snap").c_str(), F_OK), 0);  // files stay
    EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, dev), 0);
    for (unsigned long request : {QNBF_START_NODE, QNBF_DEFUNCT_NODE, QNBF_DELETE_NODE})
        EXPECT_EQ(SendMinor(request, dev), ENXIO);
    qn_getdevicelist_arg list{};
    EXPECT_TRUE(Send(QNBF_GET_DEVLIST, &list) == 0 && list.count == 0 && list.cmd == 2);
}

// An injected failure hits only the next request of its kind.
TEST_F(DriverRules, InformationDescribesTheDeviceInjectedFailureHitsOnce) {
    int dev = AddDevice("/dev/disk/sdb", 8 * kMiB + 1, kMiB);  // 9 extents, the last of 1 byte
    qn_getinfo_arg info = DriverInfo(dev);
    EXPECT_EQ(std::to_string(info.size) + " " + info.node_name + " " + info.dev_name,
              "8388609 qnbf" + std::to_string(dev) + " sdb");
    EXPECT_EQ((std::vector<int>{info.incr_bmp_size, info.diff_bmp_size, info.snap_minor_cnt,
                                info.incr_bmp_valid, info.diff_bmp_valid}),
              (std::vector<int>{2, 2, 0, 0, 0}));
    ASSERT_TRUE(driver().NoteWrite(dev, 8 * kMiB, 1));
    EXPECT_EQ(Get(dev, kIncr), (Bits{0x00, 0x01}));
    ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, dev, kIncr), 0);
    EXPECT_TRUE(DriverInfo(dev).incr_bmp_valid == 1 && DriverInfo(dev).diff_bmp_valid == 0);

    driver().FailNext(QNBF_GET_INFO, EIO);
    EXPECT_EQ(SendMinor(QNBF_DEFUNCT_NODE, 42), ENXIO);
    EXPECT_TRUE(Send(QNBF_GET_INFO, &info) == EIO && Send(QNBF_GET_INFO, &info) == 0);
    EXPECT_TRUE(SendMinor(QNBF_DEFUNCT_NODE, dev) == 0 && Send(QNBF_GET_INFO, &info) == ENODEV);
}

TEST_F(DriverRules, BitmapsTrackWritesPerKind) {
    int dev = AddDevice("/dev/sdb", 11 * kMiB, kMiB);
    ASSERT_TRUE(driver().NoteWrite(dev, kMiB - 1, 2) && driver().NoteWrite(dev, 10 * kMiB, 1));
    EXPECT_EQ(Get(dev, kIncr, true), (Bits{0x03, 0x04}));  // extents 0, 1 (straddled) and 10
    EXPECT_EQ(Get(dev, kIncr), (Bits{0, 0}));
    EXPECT_EQ(Get(dev, kDiff), (Bits{0x03, 0x04}));  // untouched
    EXPECT_TRUE(Command(QNBF_CLEAR_BITMAP, dev, kDiff) == 0 && Get(dev, kDiff) == Bits(2, 0));

    unsigned char mine[2] = {0x80, 0xff}, more[2] = {0x01, 0xf0};  // bits past extent 10 drop
    EXPECT_TRUE(BitmapRequest(QNBF_SET_BITMAP, dev, kIncr, mine, 2) == 0 &&
                Get(dev, kIncr) == Bits({0x80, 0x07}));
    EXPECT_TRUE(BitmapRequest(QNBF_MERGE_BITMAP, dev, kIncr, more, 2) == 0 &&
                Get(dev, kIncr) == Bits({0x81, 0x07}));
    EXPECT_TRUE(BitmapRequest(QNBF_SET_BITMAP, dev, kIncr) == 0 && Get(dev, kIncr) == Bits(2, 0));
}

TEST_F(DriverRules, RequestsRefuseBadArguments) {
    driver().DeclareVolume("/dev/sdb", 11 * kMiB);
    qn_addnode_arg unterminated{};
    std::memset(unterminated.dev_path, 'a', sizeof unterminated.dev_path);
    unterminated.minor = -1;
    unterminated.extent_bytes = kMiB;
    EXPECT_EQ(Send(QNBF_ADD_NODE, &unterminated), EINVAL);
    EXPECT_EQ((std::vector<int>{AddFilter("", kMiB), AddFilter("/dev/sdb", 3000),
                                AddFilter("/dev/sdb", 256), AddFilter("/dev/kzvol-absent", kMiB)}),
              (std::vector<int>{-EINVAL, -EINVAL, -EINVAL, -ENOENT}));
    const int dev = AddFilter("/dev/sdb", kMiB);
    ASSERT_GE(dev, 0);
    EXPECT_EQ(AddFilter("/dev/sdb", kMiB), -EEXIST);

    int snap = Snap(dev);
    unsigned char buf[2] = {0, 0};
    auto Get = [&](int minor, uint32_t kind, unsigned char* to, size_t size) {
        return BitmapRequest(QNBF_GET_BITMAP, minor, kind, to, size);
    };
    EXPECT_EQ(
        (std::vector<int>{Get(dev, kIncr, buf, 1), Get(dev, kIncr, nullptr, 2), Get(dev, 7, buf, 2),
                          Get(snap, kIncr, buf, 2), Get(99, kIncr, buf, 2),
                          BitmapRequest(QNBF_MERGE_BITMAP, dev, kIncr, buf, 3),
                          BitmapRequest(QNBF_SET_BITMAP, dev, kDiff, buf, 1),
                          Command(QNBF_SAVE_BITMAP, dev, 2)}),
        (std::vector<int>{ENOBUFS, EFAULT, EINVAL, EINVAL, ENXIO, EINVAL, EINVAL, EINVAL}));
}

// Only with the same extent size does the saved bitmap fit.
TEST_F(DriverRules, SavedBitmapComesBackWhenTheDeviceIsAddedAgain) {
    int dev = AddDevice("/dev/sdb", 16 * kMiB, kMiB);
    ASSERT_TRUE(driver().NoteWrite(dev, 9 * kMiB, 1));
    ASSERT_EQ(Command(QNBF_SAVE_BITMAP, dev, kIncr), 0);
    for (int extent : {1, 2}) {
        ASSERT_FALSE(SendMinor(QNBF_DEFUNCT_NODE, dev) || SendMinor(QNBF_DELETE_NODE, dev));
        dev = AddDevice("/dev/sdb", 0, extent * kMiB);
        SCOPED_TRACE(extent);
        EXPECT_TRUE(DriverInfo(dev).incr_bmp_valid == (extent == 1) &&
                    DriverInfo(dev).diff_bmp_valid == 0);
        EXPECT_TRUE(extent == 2 ||
                    (Get(dev, kIncr) == Bits{0, 2} && Get(dev, kDiff) == Bits(2, 0)));
    }
}

TEST_F(DriverRules, OneDriverForSeveralProcessesAndThreads) {
    driver().DeclareVolume("/dev/child", kMiB);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // a process of its own, with its own emulator object on the same state
        emulator::Emulator mine(state_dir());
        emulator::Plug(&mine);
        ::_exit(AddFilter("/dev/child", 4096, false) >= 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_TRUE(::waitpid(child, &status, 0) == child && status == 0);
    qn_getinfo_arg info;
    ASSERT_TRUE(get_qnbf_dev_info(const_cast<char*>("qnbf0"), &info, QN_LOOKUP_BY_NAME));
    EXPECT_STREQ(info.dev_name, "child");

    std::vector<std::thread> threads;
    std::vector<int> minors(16, -1);
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&, t] { minors[t] = AddDevice("/dev/t" + std::to_string(t), kMiB); });
    for (std::thread& t : threads)
        t.join();
    std::set<int> distinct(minors.begin(), minors.end());
    EXPECT_TRUE(distinct.size() == 16 && *distinct.begin() >= 0);
}

TEST_F(DriverRules, DamagedStateIsRefusedNotTrusted) {
    AddDevice("/dev/sdb", kMiB);
    std::string good = ReadFile(state_dir() + "/state");
    qn_getdevicelist_arg list{};
    for (std::string bad : {std::string("garbage"), good + "state 9\n",
                            good + "device 1\nincr xz\n", good.substr(0, good.size() / 2)}) {
        dir_.Write("driver/state", bad);
        EXPECT_EQ(Send(QNBF_GET_DEVLIST, &list), EIO) << bad;
    }
    dir_.Write("driver/state", good);
    EXPECT_TRUE(Send(QNBF_GET_DEVLIST, &list) == 0 && list.count == 1);
}

// A filter device over a file of 8 extents, sparse after "superblock".
class ChangeTracking : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        volume_ = dir_.Write("volume.img", "superblock");
        ASSERT_EQ(::truncate(volume_.c_str(), 8 * kMiB), 0);
        ASSERT_GE(minor_ = AddDevice(volume_, 0, kMiB), 0);
    }
    void Write(uint64_t at, char letter) { ASSERT_TRUE(WriteSector(volume_, at, letter)); }
    unsigned char Bits(uint32_t kind, bool clear = false) {
        return GetBitmap(minor_, kind, 1, clear)[0];
    }
    std::string volume_;
    int minor_ = -1;
};

TEST_F(ChangeTracking, ExactlyTheTouchedExtentsAreSet) {
    EXPECT_EQ(Bits(kIncr), 0);                           // the content at ADD is the baseline
    Write(3 * kMiB + 5, 'x'), Write(7 * kMiB - 1, 'y');  // the second straddles extents 6 and 7
    EXPECT_EQ(Bits(kIncr, true), 0xc8);
    Write(3 * kMiB + 5, 'x');  // the same bytes again: no change
    EXPECT_EQ(Bits(kIncr), 0);
    Write(0, 'S');
    EXPECT_EQ(Bits(kIncr), 0x01);
    EXPECT_EQ(Bits(kDiff), 0xc9);
}

TEST_F(ChangeTracking, SnapshotKeepsThePointInTimeImage) {
    Write(2 * kMiB, 'b');
    const int snap = Snap(minor_);
    ASSERT_GE(snap, 0);
    Write(2 * kMiB, 'a');
    const std::string image = ReadFile(dir_.File("snap"));
    EXPECT_TRUE(image.size() == 8u * kMiB && image.compare(0, 10, "superblock") == 0 &&
                image.compare(2 * kMiB, 512, std::string(512, 'b')) == 0);

    const std::string node = FilterNode(snap);  // read-only on the frozen image
    UniqueFd fd(QnbfOpen(node, O_RDONLY | O_CLOEXEC));
    char got = 0;
    ASSERT_TRUE(fd && ::pread(fd.get(), &got, 1, 2 * kMiB) == 1 && got == 'b');
    EXPECT_TRUE(QnbfOpen(node, O_RDWR) == -1 && errno == EROFS);

    // The data-block map (its size asked with no buffer): extents 0 and 2 hold data.
    unsigned char bits = 0xee;
    qn_getdatablockbmp_arg map{static_cast<uint32_t>(snap), 0, 0};
    ASSERT_TRUE(Send(QNBF_GET_DATABLOCK_MAP, &map) == 0 && map.size == 1u);
    map.buffer = reinterpret_cast<uintptr_t>(&bits);
    ASSERT_TRUE(Send(QNBF_GET_DATABLOCK_MAP, &map) == 0 && bits == 0x05);
    map.minor = static_cast<uint32_t>(minor_);
    EXPECT_EQ(Send(QNBF_GET_DATABLOCK_MAP, &map), EINVAL);
}

// A write the snapshot's copy caught and undone before the next look still counts.
TEST_F(ChangeTracking, AWriteCaughtByTheCopyAndUndoneLeavesItsBit) {
    Write(2 * kMiB, 'A');
    Bits(kIncr, true);
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        while (!stop)
            for (char c : {'B', 'A'})
                (void)WriteSector(volume_, 2 * kMiB, c);
    });
    const int snap = Snap(minor_);
    stop = true;
    toggler.join();
    ASSERT_GE(snap, 0);
    Write(2 * kMiB, 'A');
    EXPECT_TRUE(ReadFile(dir_.File("snap"))[2 * kMiB] != 'B' || (Bits(kIncr) & 0x04));
}

}  // namespace
}  // namespace kzvol::testing
