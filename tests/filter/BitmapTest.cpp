// The change-bitmap members of a driver-mode volume object against the stand-in driver.
#include <gtest/gtest.h>
#include <linux/fs.h>

#include <tuple>

#include "host/TraceFile.h"
#include "tests/filter/DriverFixture.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kExtent = 1 << 20;

class Bitmaps : public RecordedDriver {
  protected:
    std::unique_ptr<KZVolumeUnix> Bound() {
        dev_ = AddDevice("/dev/sdb", 64ull * kExtent, kExtent);
        auto volume = BoundVolume(dev_);
        EXPECT_TRUE(volume->Open());
        seen().clear();
        return volume;
    }
    std::vector<int> Read(KZVolumeUnix& volume, KZVBitmapType type) {
        Bits bits(8, 0xee);
        EXPECT_TRUE(volume.QNBFGetVolBitmap(type, bits.data(), 8, false));
        return SetExtents(bits);
    }
    int dev_ = -1;
};

TEST_F(Bitmaps, BackupCycleOnTheDriversBitmaps) {
    auto volume = Bound();
    // Creation resets both bitmaps with a null buffer: size 0 and a null pointer go out.
    ASSERT_TRUE(volume->QNBFSetVolBitmap(KZV_BITMAP_INCREMENTAL, nullptr));
    ASSERT_TRUE(volume->QNBFSetVolBitmap(KZV_BITMAP_DIFFERENTIAL, nullptr));
    auto reset = Sent<qn_bitmap_arg>();
    EXPECT_EQ(
        std::make_tuple(LastRequest(), +reset.kind, +reset.size, static_cast<void*>(reset.buffer)),
        std::make_tuple(QNBF_SET_BITMAP, QNBF_KIND_DIFFERENTIAL, 0u, nullptr));

    QNBFVolInfo_t info;
    ASSERT_TRUE(volume->QNBFGetVolInfo(info));
    EXPECT_EQ(std::tie(info.incr_bmp_size, info.has_snapshot), std::make_tuple(8u, 0));

    const std::vector<int> written = {3, 10, 63};
    for (uint64_t extent : written)
        ASSERT_TRUE(driver().NoteWrite(dev_, extent * kExtent + 100, 1));
    EXPECT_EQ(Read(*volume, KZV_BITMAP_INCREMENTAL), written);

    Bits taken(8, 0);
    ASSERT_TRUE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_INCREMENTAL, taken.data(), 8, false));
    EXPECT_EQ(SetExtents(taken), written);
    EXPECT_TRUE(Read(*volume, KZV_BITMAP_INCREMENTAL).empty());
    EXPECT_EQ(Read(*volume, KZV_BITMAP_DIFFERENTIAL), written);

    ASSERT_TRUE(driver().NoteWrite(dev_, 5 * kExtent, 1));
    ASSERT_TRUE(volume->QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, taken.data(), 8));
    EXPECT_EQ(Read(*volume, KZV_BITMAP_INCREMENTAL), std::vector<int>({3, 5, 10, 63}));

    Bits only = {0, 0x01, 0, 0, 0, 0, 0, 0};  // extent 8
    ASSERT_TRUE(volume->QNBFSetVolBitmap(KZV_BITMAP_DIFFERENTIAL, only.data()) &&
                Sent<qn_bitmap_arg>().size == 8);
    EXPECT_EQ(Read(*volume, KZV_BITMAP_DIFFERENTIAL), std::vector<int>({8}));
    ASSERT_TRUE(volume->QNBFClearVolBitmap(KZV_BITMAP_DIFFERENTIAL));
    EXPECT_TRUE(Read(*volume, KZV_BITMAP_DIFFERENTIAL).empty());
    ASSERT_TRUE(volume->QNBFSaveVolBitmap(KZV_BITMAP_INCREMENTAL));
    EXPECT_TRUE(LastRequest() == QNBF_SAVE_BITMAP &&
                Sent<qn_bitmapcmd_arg>().kind == QNBF_KIND_INCREMENTAL);

    ASSERT_TRUE(Snap(dev_) >= 0 && volume->QNBFGetVolInfo(info));
    EXPECT_EQ(info.has_snapshot, 1);
    EXPECT_TRUE(volume->QNBFDumpAndClear(KZV_BITMAP_INCREMENTAL, nullptr, 0));
}

// Answers one fixed information record and keeps the last bitmap change.
struct FixedInfoChannel : DriverChannel {
    int OpenNode(const std::string&, int flags) override { return ::open("/dev/null", flags); }
    int Request(int, unsigned long request, void* arg) override {
        if (request == QNBF_GET_INFO)
            std::memcpy(arg, &info, sizeof info);
        else if (request == QNBF_SET_BITMAP || request == QNBF_MERGE_BITMAP)
            std::memcpy(&last, arg, sizeof last);
        else
            return errno = ENOTTY, -1;
        return 0;
    }
    qn_getinfo_arg info{};
    qn_bitmap_arg last{};
};

TEST(VolumeInformation, RecordAndBitmapSizesFromTheDriversAnswer) {
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
    KZVolumeUnix volume(kQnbfAdminNode), plain("/dev/sdb1");
    volume.m_QnbfNodeMinorno = plain.m_QnbfNodeMinorno = 4;
    QNBFVolInfo_t info;
    std::memset(&info, 0x5a, sizeof info);
    ASSERT_TRUE(volume.QNBFGetVolInfo(info));
    EXPECT_EQ(std::make_tuple(+info.total_blocks, +info.dev_value, +info.incr_bmp_size,
                              +info.diff_bmp_size, +info.incr_tracked, +info.diff_tracked,
                              +info.has_snapshot),
              std::make_tuple(16ull, -2ll, 3u, 4u, 1, 0, 1));
    EXPECT_EQ(std::string(info.dev_name), std::string(1023, 'a'));
    EXPECT_EQ(info.reserved0 | info.reserved36 | info.reserved44[19] | info.reserved64, 0);

    unsigned char bits[4] = {};
    EXPECT_TRUE(volume.QNBFSetVolBitmap(KZV_BITMAP_INCREMENTAL, bits) && driver.last.size == 3);
    EXPECT_TRUE(volume.QNBFSetVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits) && driver.last.size == 4);
    EXPECT_FALSE(volume.QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, bits, 4) ||
                 volume.QNBFMergeVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits, 3));
    EXPECT_EQ(driver.last.kind, QNBF_KIND_DIFFERENTIAL);
    EXPECT_TRUE(volume.QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, bits, 3) &&
                driver.last.kind == QNBF_KIND_INCREMENTAL && driver.last.size == 3);

    std::memset(&info, 0x5a, sizeof info);
    ASSERT_TRUE(plain.QNBFGetVolInfo(info));
    EXPECT_FALSE(info.total_blocks || info.dev_name[0] || plain.IsOpen());
    SetDriverChannel(nullptr);
}

// No handle, no minor, or a type naming no bitmap: no request goes out.
TEST_F(Bitmaps, ReadsFlushFirstAndRefusalsComeBeforeAnyRequest) {
    auto volume = Bound();
    Bits bits(8, 0xff);
    EXPECT_FALSE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 0, false));
    EXPECT_FALSE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_INCREMENTAL, nullptr, 8, false));
    EXPECT_FALSE(volume->QNBFSetVolBitmap(static_cast<KZVBitmapType>(7), nullptr));
    for (const BitmapMember& m : BitmapMembers()) {
        SCOPED_TRACE(m.name);
        KZVolumeUnix fresh(kQnbfAdminNode), open(kQnbfAdminNode);
        ASSERT_TRUE(open.Open());
        EXPECT_FALSE(m.call(fresh, KZV_BITMAP_INCREMENTAL, bits) ||
                     m.call(open, KZV_BITMAP_INCREMENTAL, bits));
        EXPECT_TRUE(!m.typed || !m.call(*volume, static_cast<KZVBitmapType>(7), bits));
    }
    EXPECT_TRUE(seen().empty());
    ASSERT_TRUE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 8, false));
    EXPECT_EQ(seen(), std::vector<unsigned long>({BLKFLSBUF, QNBF_GET_BITMAP}));
    bits.resize(9);
    EXPECT_FALSE(volume->QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 9));
    EXPECT_EQ(Count(QNBF_MERGE_BITMAP), 0);

    // A cluster client's node comes from the driver: an unknown minor fails the read.
    UseRegistry("[Machines/vm1]\nbClusterGroupClient=1\n");
    volume->setClntDisplayName("vm1");
    volume->m_QnbfNodeMinorno = 9;
    EXPECT_FALSE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 8, false));
}

TEST_F(Bitmaps, TraceSwitchAppendsTheBytesReadToTheDump) {
    TempDir traces;
    std::string old = SetTraceDirectory(traces.path());
    traces.Write("debugkzvol", "");
    int dev = AddDevice("/dev/sdb", 136ull * kExtent, kExtent);  // 17 bytes
    EXPECT_TRUE(driver().NoteWrite(dev, 0, 1) && driver().NoteWrite(dev, 135ull * kExtent, 1));
    auto volume = BoundVolume(dev);
    Bits bits(17);
    EXPECT_TRUE(volume->QNBFGetVolBitmap(KZV_BITMAP_INCREMENTAL, bits.data(), 17, false));
    EXPECT_TRUE(volume->QNBFGetAndClrVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits.data(), 17, false));
    SetTraceDirectory(old);
    const std::string row =
        "\n1 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t0 \t\n80 \t";
    EXPECT_EQ(ReadFile(traces.File("bitmap")),
              "\n KZVolumeUnix::QNBFGetVolBitmap printing incremental bitmap \n" + row +
                  "\n KZVolumeUnix::QNBFGetAndClrVolBitmap printing differential  bitmap \n" + row);
}

}  // namespace
}  // namespace kzvol::testing
