// Change tracking and snapshots of a filter device over a regular file (memory
// mode): writes to the data are found by their extent digests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "host/Handles.h"
#include "tests/filter/MemoryDriver.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kMiB = 1 << 20;

class ChangeTracking : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        volume_ = dir_.File("volume.img");
        UniqueFd fd(::open(volume_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_EQ(::ftruncate(fd.get(), 8 * kMiB), 0);
        Write(0, "superblock");
        minor_ = AddDevice(volume_, 0, kMiB);
        ASSERT_GE(minor_, 0);
    }
    void Write(uint64_t at, const std::string& text) {
        UniqueFd fd(::open(volume_.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_EQ(::pwrite(fd.get(), text.data(), text.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(text.size()));
    }
    unsigned char Bits(uint32_t kind, bool clear = false) {
        unsigned char bits = 0xee;
        qn_bitmap_arg arg{static_cast<uint32_t>(minor_), kind, 1, &bits};
        EXPECT_EQ(Send(clear ? QNBF_GETCLR_BITMAP : QNBF_GET_BITMAP, &arg), 0);
        return bits;
    }
    std::string volume_;
    int minor_ = -1;
};

TEST_F(ChangeTracking, ExactlyTheTouchedExtentsAreSet) {
    EXPECT_EQ(Bits(QNBF_KIND_INCREMENTAL), 0);  // the content at ADD is the baseline
    Write(3 * kMiB + 5, "x");
    Write(7 * kMiB - 1, "yz");  // straddles extents 6 and 7
    EXPECT_EQ(Bits(QNBF_KIND_INCREMENTAL, true), 0xc8);
    Write(3 * kMiB + 5, "x");  // the same byte again: no change
    EXPECT_EQ(Bits(QNBF_KIND_INCREMENTAL), 0);
    Write(0, "SUPERBLOCK");
    EXPECT_EQ(Bits(QNBF_KIND_INCREMENTAL), 0x01);
    EXPECT_EQ(Bits(QNBF_KIND_DIFFERENTIAL), 0xc9);
}

TEST_F(ChangeTracking, SnapshotKeepsThePointInTimeImage) {
    Write(2 * kMiB, "before");
    int snap = Snap(minor_);
    ASSERT_GE(snap, 0);
    Write(2 * kMiB, "after!");
    std::string image = ReadFile(dir_.File("snap"));
    ASSERT_EQ(image.size(), 8u * kMiB);
    EXPECT_EQ(image.compare(2 * kMiB, 6, "before"), 0);
    EXPECT_EQ(image.compare(0, 10, "superblock"), 0);

    // The snapshot's node opens read-only on the frozen image.
    std::string node = "/dev/qnbf/qnbf" + std::to_string(snap);
    UniqueFd fd(QnbfOpen(node, O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    char buf[6];
    ASSERT_EQ(::pread(fd.get(), buf, 6, 2 * kMiB), 6);
    EXPECT_EQ(std::string(buf, 6), "before");
    EXPECT_EQ(QnbfOpen(node, O_RDWR), -1);
    EXPECT_EQ(errno, EROFS);

    // The data-block map: extents 0 and 2 hold data.
    qn_getdatablockbmp_arg map{};
    map.minor = static_cast<uint32_t>(snap);
    ASSERT_EQ(Send(QNBF_GET_DATABLOCK_MAP, &map), 0);
    EXPECT_EQ(map.size, 1u);
    unsigned char bits = 0xee;
    map.buffer = reinterpret_cast<uintptr_t>(&bits);
    ASSERT_EQ(Send(QNBF_GET_DATABLOCK_MAP, &map), 0);
    EXPECT_EQ(bits, 0x05);
    map.minor = static_cast<uint32_t>(minor_);
    EXPECT_EQ(Send(QNBF_GET_DATABLOCK_MAP, &map), EINVAL);
}

}  // namespace
}  // namespace kzvol::testing
