// The change-bitmap members of a driver-mode volume object against the memory-mode
// stand-in driver, with every request seen at the channel: the backup cycle, the
// preconditions of each operation with their messages, refused bitmap types, the
// merge size check, the flush before a read, the trace dump, the volume
// information record and the data-block map of a snapshot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>

#include <memory>

#include "host/TraceFile.h"
#include "tests/filter/BitmapMembers.h"
#include "tests/filter/RecordingChannel.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kExtent = 1 << 20;

class Bitmaps : public RecordedDriver {
  protected:
    // A driver-mode object bound to filter device `minor`, open unless told otherwise.
    std::unique_ptr<KZVolumeUnix> Bound(int minor, bool open = true) {
        auto volume = BoundVolume(minor);
        EXPECT_TRUE(!open || volume->Open());
        seen().Clear();
        return volume;
    }
    std::vector<int> Read(KZVolumeUnix& volume, KZVBitmapType type, size_t bytes) {
        std::vector<unsigned char> bits(bytes, 0xee);
        EXPECT_TRUE(volume.QNBFGetVolBitmap(type, bits.data(), bytes, false));
        return SetExtents(bits);
    }
};

TEST_F(Bitmaps, BackupCycleOnTheDriversBitmaps) {
    int dev = AddDevice("/dev/sdb", 64ull * kExtent, kExtent);  // 64 extents: 8 bytes
    ASSERT_GE(dev, 0);
    auto volume = Bound(dev);
    // Creation resets both bitmaps with a null buffer: size 0 and a null pointer go out.
    ASSERT_TRUE(volume->QNBFSetVolBitmap(KZV_BITMAP_INCREMENTAL, nullptr));
    ASSERT_TRUE(volume->QNBFSetVolBitmap(KZV_BITMAP_DIFFERENTIAL, nullptr));
    auto reset = Sent<qn_bitmap_arg>();
    EXPECT_EQ(seen().Seen().back().request, QNBF_SET_BITMAP);
    EXPECT_EQ(reset.kind, QNBF_KIND_DIFFERENTIAL);
    EXPECT_EQ(reset.size, 0u);
    EXPECT_EQ(static_cast<void*>(reset.buffer), nullptr);  // a copy: the field is packed

    QNBFVolInfo_t info;
    ASSERT_TRUE(volume->QNBFGetVolInfo(info));
    EXPECT_EQ(info.incr_bmp_size, 8u);
    EXPECT_EQ(info.diff_bmp_size, 8u);
    EXPECT_EQ(uint64_t{info.total_blocks}, 64ull * kExtent / 512);
    EXPECT_EQ(info.incr_tracked, 1);
    EXPECT_EQ(info.has_snapshot, 0);
    EXPECT_STREQ(info.dev_name, "sdb");

    for (uint64_t extent : {3, 10, 63})
        ASSERT_TRUE(driver().NoteWrite(dev, extent * kExtent + 100, 1));
    const std::vector<int> written = {3, 10, 63};
    EXPECT_EQ(Read(*volume, KZV_BITMAP_INCREMENTAL, 8), written);

    // Taken and cleared in one request; the differential bitmap keeps them.
    std::vector<unsigned char> taken(8, 0);
    ASSERT_TRUE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_INCREMENTAL, taken.data(), 8, false));
    EXPECT_EQ(SetExtents(taken), written);
    EXPECT_TRUE(Read(*volume, KZV_BITMAP_INCREMENTAL, 8).empty());
    EXPECT_EQ(Read(*volume, KZV_BITMAP_DIFFERENTIAL, 8), written);

    // A failed backup puts the taken bits back beside a new write.
    ASSERT_TRUE(driver().NoteWrite(dev, 5 * kExtent, 1));
    ASSERT_TRUE(volume->QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, taken.data(), 8));
    EXPECT_EQ(Read(*volume, KZV_BITMAP_INCREMENTAL, 8), std::vector<int>({3, 5, 10, 63}));

    // Set replaces with the caller's bytes, sized by the driver; clear empties.
    std::vector<unsigned char> only(8, 0);
    only[1] = 0x01;  // extent 8
    ASSERT_TRUE(volume->QNBFSetVolBitmap(KZV_BITMAP_DIFFERENTIAL, only.data()));
    EXPECT_EQ(Sent<qn_bitmap_arg>().size, 8u);
    EXPECT_EQ(Read(*volume, KZV_BITMAP_DIFFERENTIAL, 8), std::vector<int>({8}));
    ASSERT_TRUE(volume->QNBFClearVolBitmap(KZV_BITMAP_DIFFERENTIAL));
    EXPECT_TRUE(Read(*volume, KZV_BITMAP_DIFFERENTIAL, 8).empty());
    ASSERT_TRUE(volume->QNBFSaveVolBitmap(KZV_BITMAP_INCREMENTAL));
    EXPECT_EQ(seen().Seen().back().request, QNBF_SAVE_BITMAP);
    EXPECT_EQ(Sent<qn_bitmapcmd_arg>().kind, QNBF_KIND_INCREMENTAL);

    ASSERT_GE(Snap(dev), 0);
    ASSERT_TRUE(volume->QNBFGetVolInfo(info));
    EXPECT_EQ(info.has_snapshot, 1);
    EXPECT_TRUE(volume->QNBFDumpAndClear(KZV_BITMAP_INCREMENTAL, nullptr, 0));
}

// A driver answering one fixed information record.
class FixedInfoChannel : public DriverChannel {
  public:
    int OpenNode(const std::string&, int flags) override { return ::open("/dev/null", flags); }
    int Request(int, unsigned long request, void* arg) override {
        if (request != QNBF_GET_INFO)
            return errno = ENOTTY, -1;
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    qn_getinfo_arg info{};
};

TEST(VolumeInformation, RecordFromTheDriversAnswer) {
    TestEnv env;
    FixedInfoChannel driver;
    driver.info.size = 10000;  // 8192 bytes in whole 4096-byte units: 16 blocks
    driver.info.underlying_dev = -2;
    driver.info.incr_bmp_size = 3;
    driver.info.diff_bmp_size = 4;
    driver.info.incr_bmp_valid = 7;
    driver.info.snap_minor_cnt = 2;
    std::memset(driver.info.dev_name, 'a', sizeof driver.info.dev_name);  // unterminated
    SetDriverChannel(&driver);
    KZVolumeUnix volume(kQnbfAdminNode);
    volume.m_QnbfNodeMinorno = 4;
    QNBFVolInfo_t info;
    std::memset(&info, 0x5a, sizeof info);
    ASSERT_TRUE(volume.QNBFGetVolInfo(info));
    EXPECT_EQ(uint64_t{info.total_blocks}, 16u);  // copies: the fields are packed
    EXPECT_EQ(int64_t{info.dev_value}, -2);
    EXPECT_EQ(info.incr_bmp_size, 3u);
    EXPECT_EQ(info.diff_bmp_size, 4u);
    EXPECT_EQ(info.incr_tracked, 1);
    EXPECT_EQ(info.diff_tracked, 0);
    EXPECT_EQ(info.has_snapshot, 1);
    EXPECT_EQ(std::string(info.dev_name), std::string(1023, 'a'));
    EXPECT_EQ(
        info.reserved0 | info.reserved36 | info.reserved40 | info.reserved44[19] | info.reserved64,
        0);
    EXPECT_EQ(env.CountLogs("bmpsize=3 totalblock=16 \n"), 1);

    // Not a filter device: an all-zero record and no request.
    KZVolumeUnix plain("/dev/sdb1");
    plain.m_QnbfNodeMinorno = 4;
    driver.info.size = 1 << 20;
    std::memset(&info, 0x5a, sizeof info);
    ASSERT_TRUE(plain.QNBFGetVolInfo(info));
    EXPECT_EQ(uint64_t{info.total_blocks}, 0u);
    EXPECT_EQ(info.dev_name[0], '\0');
    EXPECT_EQ(env.CountLogs(" NOT QNBF dev=/dev/sdb1 \n"), 1);
    EXPECT_FALSE(plain.IsOpen());
    SetDriverChannel(nullptr);
}

TEST_F(Bitmaps, PreconditionsInTheirOrderWithTheirMessages) {
    Bits bits(8);
    for (const BitmapMember& m : BitmapMembers()) {
        SCOPED_TRACE(m.context);
        seen().Clear();
        // Not open, no minor: operations that open on demand reach the minor check;
        // the others fail on the handle first.
        KZVolumeUnix fresh(kQnbfAdminNode);
        EXPECT_FALSE(m.call(fresh, KZV_BITMAP_INCREMENTAL, bits));
        const bool handleFirst = m.noHandle && !m.opensOnDemand;
        EXPECT_EQ(env_.CountLogs(handleFirst ? m.noHandle : m.noMinor, m.context), 1);
        // Open, no minor.
        KZVolumeUnix open(kQnbfAdminNode);
        ASSERT_TRUE(open.Open());
        EXPECT_FALSE(m.call(open, KZV_BITMAP_INCREMENTAL, bits));
        EXPECT_EQ(env_.CountLogs(m.noMinor, m.context), handleFirst ? 1 : 2);
        EXPECT_TRUE(seen().Seen().empty()) << "a request went out";
    }

    // A type naming no bitmap is refused without a request.
    auto volume = Bound(AddDevice("/dev/sdb", 64ull * kExtent, kExtent));
    for (const BitmapMember& m : BitmapMembers())
        EXPECT_TRUE(!m.typed || !m.call(*volume, static_cast<KZVBitmapType>(7), bits)) << m.context;
    EXPECT_FALSE(volume->QNBFSetVolBitmap(static_cast<KZVBitmapType>(7), nullptr));
    EXPECT_TRUE(seen().Seen().empty());
    EXPECT_EQ(env_.CountLogs("bitmap type=7 names no bitmap"), 7);

    // No driver: the admin node cannot be opened (errno 2).
    emulator::Emulator absent(dir_.File("no-driver"));
    emulator::Plug(&absent);
    for (const BitmapMember& m : BitmapMembers()) {
        if (!m.noHandle)
            continue;
        SCOPED_TRACE(m.context);
        KZVolumeUnix unreachable(kQnbfAdminNode);
        unreachable.m_QnbfNodeMinorno = 0;
        EXPECT_FALSE(m.call(unreachable, KZV_BITMAP_INCREMENTAL, bits));
        EXPECT_EQ(env_.CountLogs(m.noHandle, m.context), m.opensOnDemand ? 1 : 2);
    }
}

TEST_F(Bitmaps, MergeOfTheWrongSizeFailsBeforeTheMerge) {
    int dev = AddDevice("/dev/sdb", 64ull * kExtent, kExtent);
    auto volume = Bound(dev);
    unsigned char bits[9] = {0xff};
    EXPECT_FALSE(volume->QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, bits, 9));
    EXPECT_FALSE(volume->QNBFMergeVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits, 7));
    EXPECT_EQ(seen().Count(QNBF_MERGE_BITMAP), 0);
    EXPECT_EQ(env_.CountLogs("1b:ulBMSize=9 does not match from driver returned size=8 failing\n"),
              1);
    EXPECT_EQ(env_.CountLogs("1a:ulBMSize=7 does not match from driverreturned size=8 failing\n"),
              1);
    // The driver's refusal of the merge itself.
    driver().FailNext(QNBF_MERGE_BITMAP, EIO);
    EXPECT_FALSE(volume->QNBFMergeVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits, 8));
    EXPECT_EQ(env_.CountLogs("1a:Failed to MERGE FULLQNBF Bitmap nret=-1\n"), 1);
}

TEST_F(Bitmaps, ReadsFlushTheFilterDeviceFirstBestEffort) {
    int dev = AddDevice("/dev/sdb", 64ull * kExtent, kExtent);
    auto volume = Bound(dev, false);  // the reads open the admin node themselves
    unsigned char bits[8];
    EXPECT_FALSE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits, 0, false));
    EXPECT_FALSE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_INCREMENTAL, nullptr, 8, false));
    EXPECT_EQ(env_.CountLogs("Bitmap is empty or size=8 \n"), 1);
    EXPECT_TRUE(seen().Seen().empty());

    ASSERT_TRUE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits, 8, false));
    auto requests = seen().Seen();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].request, static_cast<unsigned long>(BLKFLSBUF));
    EXPECT_EQ(requests[1].request, QNBF_GET_BITMAP);

    driver().FailNext(BLKFLSBUF, EIO);
    EXPECT_TRUE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits, 8, false));
    EXPECT_EQ(env_.CountLogs("flush ioctl() failed for dev=" + FilterNode(dev) + " fd="), 1);

    driver().FailNext(QNBF_GETCLR_BITMAP, EIO);
    EXPECT_FALSE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits, 8, false));
    EXPECT_EQ(env_.CountLogs("ioctl() failed: errno=5 ret=-1 \n"), 1);

    // A cluster client's node comes from the driver; an unknown minor fails the read.
    UseRegistry("[Machines/vm1]\nbClusterGroupClient=1\n");
    volume->setClntDisplayName("vm1");
    volume->m_QnbfNodeMinorno = 9;
    EXPECT_FALSE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits, 8, false));
    EXPECT_EQ(env_.CountLogs("Unable to find node for minor num=9 \n"), 1);
}

TEST_F(Bitmaps, TraceSwitchAppendsTheBytesReadToTheDump) {
    TempDir traces;
    std::string old = SetTraceDirectory(traces.path());
    traces.Write("debugkzvol", "");
    int dev = AddDevice("/dev/sdb", 136ull * kExtent, kExtent);  // 17 bytes
    EXPECT_TRUE(driver().NoteWrite(dev, 0, 1));
    EXPECT_TRUE(driver().NoteWrite(dev, 135ull * kExtent, 1));
    auto volume = Bound(dev);
    std::vector<unsigned char> bits(17);
    EXPECT_TRUE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 17, false));
    EXPECT_TRUE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits.data(), 17, false));
    SetTraceDirectory(old);
    std::string row = "\n1 \t";
    for (int i = 1; i < 16; ++i)
        row += "0 \t";
    row += "\n80 \t";
    EXPECT_EQ(ReadFile(traces.File("bitmap")),
              "\n KZVolumeUnix::QNBFGetVolBitmap printing incremental bitmap \n" + row +
                  "\n KZVolumeUnix::QNBFGetAndClrVolBitmap printing differential  bitmap \n" + row);
}

TEST_F(Bitmaps, DataBlockMapOfTheActiveSnapshot) {
    TempDir data;
    std::string image = data.Write("vol", std::string(3 * kExtent, '\0') + "x");
    int dev = AddDevice(image, 0, kExtent);
    auto volume = Bound(dev);
    qn_getdatablockbmp_arg arg;
    std::memset(&arg, 0x5a, sizeof arg);
    EXPECT_FALSE(volume->QNBFPrepareDataBlock("ignored", &arg));
    EXPECT_EQ(env_.CountLogs("Failed to getvalid snapnodegetinfofarg.snap_minor_cnt=0\n"), 1);
    EXPECT_EQ(arg.minor, 0x5a5a5a5au);  // untouched
    EXPECT_EQ(seen().Count(QNBF_GET_DATABLOCK_MAP), 0);

    int snap = Snap(dev);
    ASSERT_GE(snap, 0);
    unsigned char map[1] = {0};
    arg = {0, 1, reinterpret_cast<uint64_t>(map)};
    ASSERT_TRUE(volume->QNBFPrepareDataBlock("ignored", &arg));
    EXPECT_EQ(arg.minor, static_cast<uint32_t>(snap));
    EXPECT_EQ(map[0], 0x08);  // only extent 3 holds data
}

}  // namespace
}  // namespace kzvol::testing
