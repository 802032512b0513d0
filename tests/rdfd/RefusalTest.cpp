// What the entry points refuse, and how: foreign and ext4 devices, impossible
// superblocks, wrong platform or type name, the quit callback, a refusing mapping
// callback and failing device reads. Each refusal is a false result with the
// exception's text logged by the entry point.
#include <gtest/gtest.h>

#include "tests/rdfd/ReaderFixture.h"

namespace kzvol::testing {
namespace {

constexpr size_t kSb = 1024;

class RefusalTest : public ReaderFixture {};

TEST_F(RefusalTest, Ext4IsRefusedAndNamedThroughBothEntryPoints) {
    BuildImage("ext4");
    RowCollector rows;
    EXPECT_FALSE(RunImgPod(&rows));
    EXPECT_EQ(env_.CountLogs("FS\t Fs is ext4", "RDFDInterfaceForImgPod"), 1);
    EXPECT_EQ(env_.CountLogs("Most likely ext4 -- unsupported fs type"), 1);
    std::string fsType = "untouched";
    bool supported = true;
    EXPECT_FALSE(RunVirtualPod(&rows, &fsType, &supported));
    EXPECT_EQ(fsType, "Ext4");
    EXPECT_FALSE(supported);
    EXPECT_TRUE(rows.rows.empty());
}

TEST_F(RefusalTest, DevicesWithoutTheMagicAreNotExt3) {
    const std::string text = "FS\tFs is not ext3 / empty or swap partition";
    device_.bytes.assign(1 << 20, '\0');
    ExpectBothFail(text);

    const std::string swap = tmp_.File("swap");
    ASSERT_EQ(RunCommandLine("truncate -s 1M " + swap + " && mkswap " + swap + " >/dev/null 2>&1"),
              0);
    device_.bytes = LoadFile(swap);
    std::string fsType = "untouched";
    bool supported = true;
    RowCollector rows;
    EXPECT_FALSE(RunVirtualPod(&rows, &fsType, &supported));
    EXPECT_FALSE(supported);
    EXPECT_EQ(fsType, "untouched");
}

TEST_F(RefusalTest, JournalAwaitingRecoveryIsAccepted) {
    BuildImage("ext3");
    Put32(kSb + 96, device_.Get32(kSb + 96) | 0x4);
    RowCollector a, b;
    EXPECT_TRUE(RunImgPod(&a));
    EXPECT_TRUE(RunVirtualPod(&b));
    EXPECT_EQ(Sorted(a.rows), Sorted(b.rows));
}

TEST_F(RefusalTest, WeirdBlockSizesAreRefused) {
    BuildImage();
    for (uint32_t log : {5u, 22u, 37u}) {  // 32768, a shift out of range, 32768 again
        Put32(kSb + 24, log);
        ExpectBothFail("FS\tWeird Block Size");
    }
    EXPECT_EQ(env_.CountLogs("FS Block size is weird!! . Block Size :32768"), 4);
    EXPECT_EQ(env_.CountLogs("FS Block size is weird!! . Block Size :0"), 2);
}

TEST_F(RefusalTest, ZeroOrImpossibleGeometryIsNotAValidSuperblock) {
    BuildImage();
    const std::string pristine = device_.bytes;
    // inodes per group, inode size (revision 0), blocks per group, blocks count;
    // then values no ext2/ext3 can have.
    const std::vector<std::pair<size_t, uint32_t>> patches = {
        {kSb + 40, 0},         {kSb + 88, 0},         {kSb + 32, 0},    {kSb + 4, 0},
        {kSb + 88, 64},        {kSb + 88, 384},       {kSb + 32, 8193}, {kSb + 40, 8193},
        {kSb + 0, 0xFFFFFFFF}, {kSb + 20, 0xFFFFFFF0}};
    for (const auto& [offset, value] : patches) {
        device_.bytes = pristine;
        if (offset == kSb + 88) {
            device_.Put16(offset, static_cast<uint16_t>(value));
        } else {
            Put32(offset, value);
        }
        RowCollector rows;
        EXPECT_FALSE(RunImgPod(&rows)) << offset << "=" << value;
        EXPECT_TRUE(rows.rows.empty());
    }
    EXPECT_EQ(env_.CountLogs("FS\tNot a Valod SuperBlock .", "RDFDInterfaceForImgPod"),
              static_cast<int>(patches.size()));
    EXPECT_EQ(env_.CountLogs("One of the InodeSize , InodesPerGroup , TotalBlockCount , "
                             "BlocksPerGroup , InodesPerGroup is zero"),
              4);
}

TEST_F(RefusalTest, PlatformAndTypeNameAreCheckedBeforeTheDeviceIsTouched) {
    BuildImage("ext3");
    RowCollector rows;
    EXPECT_FALSE(RunImgPod(&rows, "ext3", "Linux"));
    EXPECT_EQ(env_.CountLogs("APPLICATION\tUnSupported Platform", "RDFDInterfaceForImgPod"), 1);
    EXPECT_FALSE(RunImgPod(&rows, "ext2", "linux"));
    EXPECT_EQ(env_.CountLogs("APPLICATION\tOnly ext3 is supported", "RDFDInterfaceForImgPod"), 1);
    EXPECT_FALSE(RunImgPod(&rows, nullptr, "linux"));
    EXPECT_EQ(device_.reads, 0u);
    EXPECT_TRUE(RunImgPod(&rows, "ext3", "linux"));
}

TEST_F(RefusalTest, QuitIsPolledEveryThousandInodesAndStopsBothWalkers) {
    BuildImage("ext2", 1200);
    QuitProbe never;
    RowCollector all;
    ASSERT_TRUE(RunImgPod(&all, "ext3", "linux", &never));
    ASSERT_GT(all.rows.size(), 1000u);
    EXPECT_EQ(never.polls, static_cast<int>(all.rows.size() / 1000));

    QuitProbe quit{0, 1};
    RowCollector rows;
    EXPECT_FALSE(RunImgPod(&rows, "ext3", "linux", &quit));
    EXPECT_EQ(quit.polls, 1);
    EXPECT_EQ(rows.rows.size(), 999u);  // stopped before the 1000th inode is read
    EXPECT_EQ(env_.CountLogs("APPLICATION\tQuit flag set", "RDFDInterfaceForImgPod"), 1);
    EXPECT_EQ(env_.CountLogs("Quit flag is set. Aborting meta data collection"), 1);
    // Not logged again at every directory level.
    EXPECT_EQ(env_.CountLogs("Quit flag set", "ReadExt3DirFromDevice :: ProcessInode"), 0);
    EXPECT_EQ(env_.CountLogs("Quit flag set", "ReadExt3DirFromDevice :: ProcessBlock"), 0);

    QuitProbe quit2{0, 1};
    RowCollector rows2;
    EXPECT_FALSE(RunVirtualPod(&rows2, nullptr, nullptr, &quit2));
    EXPECT_EQ(env_.CountLogs("APPLICATION\tQuit flag set", "RDFDInterfaceForVirtualPod"), 1);
}

TEST_F(RefusalTest, MappingCallbackRefusalEndsTheWalk) {
    BuildImage();
    RowCollector rows;
    rows.refuseAt = 3;
    EXPECT_FALSE(RunImgPod(&rows));
    EXPECT_EQ(rows.rows.size(), 3u);
    EXPECT_EQ(env_.CountLogs("APPLICATION\tInode Aname Mapping Call back failed",
                             "RDFDInterfaceForImgPod"),
              1);
    RowCollector rows2;
    rows2.refuseAt = 1;
    EXPECT_FALSE(RunVirtualPod(&rows2));
    EXPECT_EQ(rows2.rows.size(), 1u);
}

TEST_F(RefusalTest, NullCallbacksAreMisuse) {
    BuildImage();
    char root[] = "/", ext3[] = "ext3", platform[] = "linux";
    RowCollector rows;
    EXPECT_FALSE(RDFDInterfaceForImgPod(root, nullptr, &device_, RowCollector::Add, &rows, nullptr,
                                        ext3, platform, 0, 0, 0, false, nullptr, nullptr));
    EXPECT_EQ(env_.CountLogs("APPLICATION\tImproper usage . ReadCallBack cannot be NULL"), 2);
    EXPECT_FALSE(RDFDInterfaceForVirtualPod(root, MemoryDevice::Read, &device_, nullptr, &rows,
                                            nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                                            nullptr, 0, nullptr));
    EXPECT_EQ(
        env_.CountLogs("APPLICATION\tImproper Usage. GetInodeAnameMappingCallBack cannot be NULL",
                       "RDFDInterfaceForVirtualPod"),
        1);
}

// Fault injection: whichever device read fails, both walkers answer false with a
// read error and nothing is reported as complete.
TEST_F(RefusalTest, EveryFailingReadEndsTheWalkWithAReadError) {
    BuildImage("ext2", 300);
    RowCollector rows;
    ASSERT_TRUE(RunImgPod(&rows));
    const unsigned long long imgReads = device_.reads;
    device_.reads = 0;
    ASSERT_TRUE(RunVirtualPod(&rows));
    const unsigned long long virtualReads = device_.reads;
    ASSERT_GT(imgReads, 3u);
    for (unsigned long long n = 1; n <= imgReads; ++n) {
        device_.reads = 0;
        device_.failRead = n;
        RowCollector r;
        EXPECT_FALSE(RunImgPod(&r)) << "read " << n;
    }
    for (unsigned long long n = 1; n <= virtualReads; ++n) {
        device_.reads = 0;
        device_.failRead = n;
        RowCollector r;
        EXPECT_FALSE(RunVirtualPod(&r)) << "read " << n;
    }
    EXPECT_EQ(env_.CountLogs("READ\t", "RDFDInterfaceForImgPod"), static_cast<int>(imgReads));
    EXPECT_EQ(env_.CountLogs("READ\t", "RDFDInterfaceForVirtualPod"),
              static_cast<int>(virtualReads));
}

}  // namespace
}  // namespace kzvol::testing
