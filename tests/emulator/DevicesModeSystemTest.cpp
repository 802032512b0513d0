// Devices mode: filter devices are loop devices under /dev/qnbf, writes show in both
// bitmaps, snapshots mount, a deletion or a shutdown leaves nothing attached.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "tests/support/StandInSystemTest.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kMiB = 1 << 20;

// Whether loops `minors` are over files under `dir` (a released number may be reused).
std::vector<bool> LoopsOver(std::vector<int> minors, const std::string& dir) {
    std::vector<bool> over;
    for (int minor : minors)
        over.push_back(ReadFile("/sys/block/loop" + std::to_string(minor) + "/loop/backing_file")
                           .rfind(dir + "/", 0) == 0);
    return over;
}

using DevicesMode = StandInSystemTest;

TEST_F(DevicesMode, WritesShowInBothBitmapsAndNothingIsLeftAttached) {
    EXPECT_EQ(AddFilter(dir_.Write("plain", std::string(4096, 'p')), kMiB), -ENOTBLK);
    std::string out, image = dir_.File("volume.img");  // 32 MiB of ext2
    ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext2 -b 1024 " + image + " 32768 2>&1", &out), 0)
        << out;
    LoopDevice volume(image);
    ASSERT_TRUE(volume.ok()) << volume.error();
    int minor, snap;
    ASSERT_GE(minor = AddFilter(volume.path(), kMiB), 0);
    const std::string node = FilterNode(minor);
    struct stat st, ctrl;
    ASSERT_EQ(::stat(node.c_str(), &st) | ::stat("/dev/qnbf/ctrl", &ctrl), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode) && S_ISCHR(ctrl.st_mode) &&
                static_cast<int>(minor(st.st_rdev)) == minor);
    const auto kinds = {QNBF_KIND_INCREMENTAL, QNBF_KIND_DIFFERENTIAL};
    for (uint32_t kind : kinds)
        ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, minor, kind), 0);

    ASSERT_TRUE(WriteSector(node, 5 * kMiB + 10, 'A') && WriteSector(node, 20 * kMiB, 'C') &&
                WriteSector(node, 32 * kMiB - 512, 'E'));  // the last sector
    ::sync();
    EXPECT_EQ(ReadFile(volume.path()).substr(5 * kMiB + 10, 2), "AA");  // through to the device
    for (uint32_t kind : kinds)  // 32 extents: bits 5, 20 and 31 in 4 bytes
        EXPECT_EQ(SetExtents(GetBitmap(minor, kind, 4)), (std::vector<int>{5, 20, 31}));

    ASSERT_GE(snap = SnapFilter(minor, dir_.File(".v-snap"), true), 0);
    auto frozen = std::make_unique<ScopedMount>(FilterNode(snap), "/snapmnt/v", "ext2", MS_RDONLY);
    ASSERT_TRUE(frozen->ok()) << frozen->error();
    EXPECT_EQ(SendMinor(QNBF_DELETE_NODE, snap), EBUSY);  // mounted
    frozen.reset();

    // Deleted: no node and no loop device is left; the snapshot's files stay.
    EXPECT_EQ(LoopsOver({minor, snap}, dir_.path()), (std::vector<bool>{true, true}));
    EXPECT_FALSE(SendMinor(QNBF_DELETE_NODE, snap) || SendMinor(QNBF_DEFUNCT_NODE, minor) ||
                 SendMinor(QNBF_DELETE_NODE, minor));
    EXPECT_NE(::access(node.c_str(), F_OK) & ::access(FilterNode(snap).c_str(), F_OK), 0);
    EXPECT_EQ(LoopsOver({minor, snap}, dir_.path()), (std::vector<bool>{false, false}));
    EXPECT_EQ(::access(dir_.File(".v-snap").c_str(), F_OK), 0);

    // A shutdown releases every device left, snapshots included.
    ASSERT_GE(minor = AddFilter(volume.path(), kMiB), 0);
    ASSERT_GE(snap = SnapFilter(minor, dir_.File(".w-snap"), true), 0);
    std::string error;
    ASSERT_TRUE(driver_->Shutdown(false, &error)) << error;
    EXPECT_EQ(LoopsOver({minor, snap}, dir_.path()), (std::vector<bool>{false, false}));
    qn_getdevicelist_arg list{};
    EXPECT_TRUE(Send(QNBF_GET_DEVLIST, &list) == 0 && list.count == 0);
}

}  // namespace
}  // namespace kzvol::testing
