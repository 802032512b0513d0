// The stand-in driver's rules in memory mode: device states, refusals, bitmaps,
// saved bitmaps, one driver shared by several processes, and change tracking and
// snapshots of a filter device over a regular file (writes found by extent digests).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "filter/FilterInternal.h"
#include "filter/QnbfLookup.h"
#include "host/Handles.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kMiB = 1 << 20, kIncr = QNBF_KIND_INCREMENTAL, kDiff = QNBF_KIND_DIFFERENTIAL;
constexpr unsigned long kStart = QNBF_START_NODE, kDefunct = QNBF_DEFUNCT_NODE,
                        kDelete = QNBF_DELETE_NODE;
using Bits = std::vector<unsigned char>;

qn_getinfo_arg Info(int minor) {
    qn_getinfo_arg info{};
    info.minor = static_cast<uint32_t>(minor);
    EXPECT_EQ(Send(QNBF_GET_INFO, &info), 0);
    return info;
}
// The bitmap sizes and whether each bitmap is tracked.
std::vector<int> Bitmaps(int minor) {
    const qn_getinfo_arg i = Info(minor);
    return {i.incr_bmp_size, i.diff_bmp_size, i.incr_bmp_valid, i.diff_bmp_valid};
}
Bits Get(int minor, uint32_t kind, bool clear = false) {
    return GetBitmap(minor, kind, static_cast<size_t>(Info(minor).incr_bmp_size), clear);
}
int Command(unsigned long request, int minor, uint32_t kind) {
    qn_bitmapcmd_arg arg{static_cast<uint32_t>(minor), kind};
    return Send(request, &arg);
}
struct Step {
    unsigned long request;
    int minor, answer;
};
// Sends each request to its minor in turn and expects its answer.
void ExpectAnswers(std::initializer_list<Step> steps) {
    for (const Step& s : steps)
        EXPECT_EQ(SendMinor(s.request, s.minor), s.answer)
            << std::hex << s.request << " " << s.minor;
}

using DriverRules = MemoryDriver;

TEST_F(DriverRules, LifeOfADeviceAndItsSnapshots) {
    int dev = AddDevice("/dev/sdb", 64 * kMiB, kMiB, false);
    ASSERT_GE(dev, 0);
    EXPECT_EQ(Snap(dev), -EINVAL);  // not started yet
    ExpectAnswers({{kStart, dev, 0}, {kStart, dev, EBUSY}, {kDelete, dev, EBUSY}});
    int snap = Snap(dev);
    ASSERT_GE(snap, 0);
    EXPECT_EQ(ReadFile(dir_.File("snap")).size(), 64u * kMiB);
    EXPECT_NE(ReadFile(dir_.File("snapmap")).find("size 67108864"), std::string::npos);
    // A defunct device is not deleted while its snapshot exists; the files stay.
    ExpectAnswers({{kStart, snap, 0}, {kDefunct, snap, EINVAL}, {kDefunct, dev, 0}});
    ExpectAnswers({{kStart, dev, EINVAL}, {kDelete, dev, EBUSY}, {kDelete, snap, 0}});
    EXPECT_EQ(::access(dir_.File("snap").c_str(), F_OK), 0);
    ExpectAnswers({{kDelete, dev, 0}, {kStart, dev, ENXIO}, {kDefunct, dev, ENXIO}});
    ExpectAnswers({{kDelete, dev, ENXIO}});
    qn_getdevicelist_arg list{};
    ASSERT_EQ(Send(QNBF_GET_DEVLIST, &list), 0);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.cmd, 2u);
}

// 11 extents, the last of 1 byte: bitmaps of 2 bytes, bits past the last dropped.
TEST_F(DriverRules, InformationAndBitmapsPerKind) {
    int dev = AddDevice("/dev/disk/sdb", 10 * kMiB + 1, kMiB);
    qn_getinfo_arg info = Info(dev);
    EXPECT_EQ(info.size, 10u * kMiB + 1);
    EXPECT_EQ(std::string(info.node_name), "qnbf" + std::to_string(dev));
    EXPECT_STREQ(info.dev_name, "sdb");
    EXPECT_EQ(info.snap_minor_cnt, 0);
    EXPECT_EQ(Bitmaps(dev), (std::vector<int>{2, 2, 0, 0}));  // not reset yet
    ASSERT_TRUE(driver().NoteWrite(dev, kMiB - 1, 2));        // extents 0 and 1
    ASSERT_TRUE(driver().NoteWrite(dev, 10 * kMiB, 1));       // extent 10
    EXPECT_EQ(Get(dev, kIncr), (Bits{0x03, 0x04}));
    EXPECT_EQ(Get(dev, kIncr, true), (Bits{0x03, 0x04}));
    EXPECT_EQ(Get(dev, kIncr), (Bits{0, 0}));
    EXPECT_EQ(Get(dev, kDiff), (Bits{0x03, 0x04}));  // untouched
    ASSERT_EQ(Command(QNBF_CLEAR_BITMAP, dev, kDiff), 0);
    EXPECT_EQ(Get(dev, kDiff), (Bits{0, 0}));
    unsigned char mine[2] = {0x80, 0xff}, more[2] = {0x01, 0xf0};
    ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, dev, kIncr, mine, 2), 0);
    EXPECT_EQ(Get(dev, kIncr), (Bits{0x80, 0x07}));
    EXPECT_EQ(Bitmaps(dev), (std::vector<int>{2, 2, 1, 0}));
    ASSERT_EQ(BitmapRequest(QNBF_MERGE_BITMAP, dev, kIncr, more, 2), 0);
    EXPECT_EQ(Get(dev, kIncr), (Bits{0x81, 0x07}));
    ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, dev, kIncr), 0);
    EXPECT_EQ(Get(dev, kIncr), (Bits{0, 0}));

    // An injected failure hits only the next request of its kind.
    driver().FailNext(QNBF_GET_INFO, EIO);
    EXPECT_EQ(SendMinor(kDefunct, 42), ENXIO);
    EXPECT_EQ(Send(QNBF_GET_INFO, &info), EIO);
    EXPECT_EQ(Send(QNBF_GET_INFO, &info), 0);
    ASSERT_EQ(SendMinor(kDefunct, dev), 0);
    EXPECT_EQ(Send(QNBF_GET_INFO, &info), ENODEV);
}

TEST_F(DriverRules, RequestsRefuseBadArguments) {
    driver().DeclareVolume("/dev/sdb", 11 * kMiB);
    qn_addnode_arg unterminated{};
    std::memset(unterminated.dev_path, 'a', sizeof unterminated.dev_path);
    unterminated.minor = -1;
    unterminated.extent_bytes = kMiB;
    EXPECT_EQ(Send(QNBF_ADD_NODE, &unterminated), EINVAL);
    EXPECT_EQ(AddFilter("", kMiB), -EINVAL);
    EXPECT_EQ(AddFilter("/dev/sdb", 3000), -EINVAL);
    EXPECT_EQ(AddFilter("/dev/sdb", 256), -EINVAL);
    EXPECT_EQ(AddFilter("/dev/kzvol-absent", kMiB), -ENOENT);
    const int dev = AddFilter("/dev/sdb", kMiB), snap = Snap(dev);
    ASSERT_GE(dev, 0);
    EXPECT_EQ(AddFilter("/dev/sdb", kMiB), -EEXIST);

    unsigned char buf[2] = {0, 0};
    EXPECT_EQ(BitmapRequest(QNBF_GET_BITMAP, dev, kIncr, buf, 1), ENOBUFS);
    EXPECT_EQ(BitmapRequest(QNBF_GET_BITMAP, dev, kIncr, nullptr, 2), EFAULT);
    EXPECT_EQ(BitmapRequest(QNBF_GET_BITMAP, dev, 7, buf, 2), EINVAL);
    EXPECT_EQ(BitmapRequest(QNBF_GET_BITMAP, snap, kIncr, buf, 2), EINVAL);
    EXPECT_EQ(BitmapRequest(QNBF_GET_BITMAP, 99, kIncr, buf, 2), ENXIO);
    EXPECT_EQ(BitmapRequest(QNBF_MERGE_BITMAP, dev, kIncr, buf, 3), EINVAL);
    EXPECT_EQ(BitmapRequest(QNBF_SET_BITMAP, dev, kDiff, buf, 1), EINVAL);
    EXPECT_EQ(Command(QNBF_SAVE_BITMAP, dev, 2), EINVAL);
}

// A saved bitmap comes back for the same extent size only.
TEST_F(DriverRules, SavedBitmapComesBackWhenTheDeviceIsAddedAgain) {
    int dev = AddDevice("/dev/sdb", 16 * kMiB, kMiB);
    ASSERT_TRUE(driver().NoteWrite(dev, 9 * kMiB, 1));
    ASSERT_EQ(Command(QNBF_SAVE_BITMAP, dev, kIncr), 0);
    ExpectAnswers({{kDefunct, dev, 0}, {kDelete, dev, 0}});
    int again = AddDevice("/dev/sdb", 0, kMiB);
    EXPECT_EQ(Bitmaps(again), (std::vector<int>{2, 2, 1, 0}));
    EXPECT_EQ(Get(again, kIncr), (Bits{0x00, 0x02}));
    EXPECT_EQ(Get(again, kDiff), (Bits{0x00, 0x00}));
    ExpectAnswers({{kDefunct, again, 0}, {kDelete, again, 0}});
    EXPECT_EQ(Info(AddDevice("/dev/sdb", 0, 2 * kMiB)).incr_bmp_valid, 0);
}

TEST_F(DriverRules, OneDriverForSeveralProcessesAndThreads) {
    driver().DeclareVolume("/dev/child", kMiB);
    pid_t child = ::fork();
    if (child == 0) {
        // A process of its own, with its own emulator object on the same state.
        emulator::Emulator mine(state_dir());
        emulator::Plug(&mine);
        ::_exit(AddFilter("/dev/child", 4096, false) >= 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_TRUE(child > 0 && ::waitpid(child, &status, 0) == child && status == 0);
    qn_getinfo_arg info;
    ASSERT_TRUE(get_qnbf_dev_info(const_cast<char*>("qnbf0"), &info, QN_LOOKUP_BY_NAME));
    EXPECT_STREQ(info.dev_name, "child");

    std::vector<std::thread> threads;
    std::vector<int> minors(16, -1);
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&, i] { minors[i] = AddDevice("/dev/t" + std::to_string(i), kMiB); });
    for (std::thread& t : threads)
        t.join();
    std::set<int> distinct(minors.begin(), minors.end());
    EXPECT_EQ(distinct.size(), 16u);
    EXPECT_GE(*distinct.begin(), 0);
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
    ASSERT_EQ(Send(QNBF_GET_DEVLIST, &list), 0);
    EXPECT_EQ(list.count, 1u);
}

// A filter device over an 8-extent regular file, sparse after its first block.
class ChangeTracking : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        volume_ = dir_.Write("volume.img", "superblock");
        ASSERT_EQ(::truncate(volume_.c_str(), 8 * kMiB), 0);
        ASSERT_GE(minor_ = AddDevice(volume_, 0, kMiB), 0);
    }
    void Write(uint64_t at, const std::string& text) {
        UniqueFd fd(::open(volume_.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_EQ(::pwrite(fd.get(), text.data(), text.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(text.size()));
    }
    uint8_t Bits(uint32_t kind, bool clear = false) { return GetBitmap(minor_, kind, 1, clear)[0]; }
    std::string volume_;
    int minor_ = -1;
};

TEST_F(ChangeTracking, ExactlyTheTouchedExtentsAreSetAndSnapshotsKeepThePointInTime) {
    EXPECT_EQ(Bits(kIncr), 0);  // the content at ADD is the baseline
    Write(3 * kMiB + 5, "x");
    Write(7 * kMiB - 1, "yz");  // straddles extents 6 and 7
    EXPECT_EQ(Bits(kIncr, true), 0xc8);
    Write(3 * kMiB + 5, "x");  // the same byte again: no change
    EXPECT_EQ(Bits(kIncr), 0);
    Write(0, "SUPERBLOCK");
    EXPECT_EQ(Bits(kIncr), 0x01);
    EXPECT_EQ(Bits(kDiff), 0xc9);

    // The snapshot keeps the point-in-time image, opens read-only, and maps the
    // extents holding data (0, 2 and those written above).
    Write(2 * kMiB, "before");
    int snap = Snap(minor_);
    ASSERT_GE(snap, 0);
    Write(2 * kMiB, "after!");
    std::string image = ReadFile(dir_.File("snap"));
    ASSERT_EQ(image.size(), 8u * kMiB);
    EXPECT_EQ(image.compare(2 * kMiB, 6, "before"), 0);
    EXPECT_EQ(image.compare(0, 10, "SUPERBLOCK"), 0);
    std::string node = FilterNode(snap);
    UniqueFd fd(QnbfOpen(node, O_RDONLY | O_CLOEXEC));
    char buf[6];
    ASSERT_EQ(::pread(fd.get(), buf, 6, 2 * kMiB), 6);
    EXPECT_EQ(std::string(buf, 6), "before");
    EXPECT_EQ(QnbfOpen(node, O_RDWR), -1);
    EXPECT_EQ(errno, EROFS);

    qn_getdatablockbmp_arg map{static_cast<uint32_t>(snap), 0, 0};
    ASSERT_EQ(Send(QNBF_GET_DATABLOCK_MAP, &map), 0);  // no buffer: the size needed
    EXPECT_EQ(map.size, 1u);
    unsigned char bits = 0xee;
    map.buffer = reinterpret_cast<uintptr_t>(&bits);
    ASSERT_EQ(Send(QNBF_GET_DATABLOCK_MAP, &map), 0);
    EXPECT_EQ(bits, 0xcd);
    map.minor = static_cast<uint32_t>(minor_);
    EXPECT_EQ(Send(QNBF_GET_DATABLOCK_MAP, &map), EINVAL);
}

// A write the snapshot's copy caught and that is undone before the next look
// still counts: the next look compares with what the copy holds.
TEST_F(ChangeTracking, AWriteCaughtByTheCopyAndUndoneLeavesItsBit) {
    Write(2 * kMiB, "A");
    Bits(kIncr, true);
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        UniqueFd fd(::open(volume_.c_str(), O_WRONLY | O_CLOEXEC));
        while (!stop)
            for (const char* c : {"B", "A"})
                (void)!::pwrite(fd.get(), c, 1, 2 * kMiB);
    });
    const int snap = Snap(minor_);
    stop = true;
    toggler.join();
    ASSERT_GE(snap, 0);
    Write(2 * kMiB, "A");
    if (ReadFile(dir_.File("snap"))[2 * kMiB] == 'B') {
        EXPECT_EQ(Bits(kIncr) & 0x04, 0x04);
    }
}

}  // namespace
}  // namespace kzvol::testing
