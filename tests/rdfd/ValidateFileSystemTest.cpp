// Superblock validation on hand-made superblocks: the block sizes accepted,
// geometries and descriptor tables no file system can have, failed reads and writes.
// (Group arithmetic and the information file are checked against debugfs.)
#include <gtest/gtest.h>

#include "tests/support/ReaderTestSupport.h"

namespace kzvol::testing {
namespace {

constexpr size_t kSb = 1024;

// A device of 64 KiB zeros but for a superblock: 1 KiB blocks unless `logBlockSize`
// says otherwise, 8193 blocks of 8192 per group, 256 inodes per group of 256 bytes.
MemoryDevice Craft(uint32_t logBlockSize = 0) {
    MemoryDevice d;
    d.bytes.assign(64 << 10, '\0');
    d.Put(kSb + 0, 256);
    d.Put(kSb + 4, 8193);
    d.Put(kSb + 20, logBlockSize == 0 ? 1 : 0);  // first data block
    d.Put(kSb + 24, logBlockSize);
    d.Put(kSb + 28, logBlockSize);
    d.Put(kSb + 32, 8192);
    d.Put(kSb + 40, 256);
    d.Put(kSb + 56, 0xEF53, 2);
    d.Put(kSb + 84, 11);
    d.Put(kSb + 88, 256, 2);
    return d;
}

class ValidateFileSystemTest : public ::testing::Test {
  protected:
    // Runs validation; empty on success, else the exception's text.
    std::string Validate(MemoryDevice& d, const char* dump = nullptr) {
        reader_ = std::make_unique<ReadExt3DirFromDevice>(MemoryDevice::Read, &d, nullptr, 0,
                                                          nullptr, 2097152, false, 0, 0, nullptr);
        return ErrorOf(
            [&] { reader_->ValidateFileSystem(const_cast<char*>(dump), nullptr, nullptr); });
    }

    TestEnv env_;
    std::unique_ptr<ReadExt3DirFromDevice> reader_;
};

// Sizes up to 16 KiB pass; a shift of 22 wraps a 32-bit size to 0, one of 37 must
// not be taken as anything but 32 KiB.
TEST_F(ValidateFileSystemTest, OnlyBlockSizesUpTo16KiBPass) {
    for (uint32_t log : {0u, 1u, 2u, 3u, 4u, 5u, 22u, 37u}) {
        MemoryDevice d = Craft(log <= 4 ? log : 0);
        d.Put(kSb + 24, log);
        EXPECT_EQ(Validate(d), log <= 4 ? "" : "FS\tWeird Block Size") << log;
        EXPECT_EQ(reader_->GetBlockSize(), log <= 4 ? 1024u << log : 0u);
    }
    EXPECT_EQ(env_.CountLogs("FS Block size is weird!! . Block Size :32768"), 2);
    EXPECT_EQ(env_.CountLogs("FS Block size is weird!! . Block Size :0"), 1);
}

// Each geometry no ext2/ext3 can have is refused for its own reason (the log line
// names it; the exception text is shared): zero fields, impossible sizes, a first
// data block at or past the blocks count, more inodes than the groups hold.
TEST_F(ValidateFileSystemTest, ZeroOrImpossibleGeometryIsRefusedForItsOwnReason) {
    const std::string zero =
        "One of the InodeSize , InodesPerGroup , TotalBlockCount , BlocksPerGroup , "
        "InodesPerGroup is zero";
    struct Case {
        size_t offset;
        uint32_t value;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {40, 0, zero},
        {88, 0, zero},
        {32, 0, zero},
        {4, 0, zero},
        {88, 64, "Impossible inode size :64"},
        {88, 384, "Impossible inode size :384"},
        {32, 8193, "Impossible blocks per group :8193"},
        {40, 8193, "Impossible inodes per group :8193"},
        {0, 0xFFFFFFFF, "Inodes count beyond the groups' inodes :4294967295"},
        {20, 0xFFFFFFF0, "First data block beyond the blocks count :4294967280"},
        {20, 8193, "First data block beyond the blocks count :8193"},
    };
    for (const Case& c : cases) {
        MemoryDevice d = Craft();
        d.Put(kSb + c.offset, c.value);
        const int before = env_.CountLogs(c.reason);
        EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .") << c.offset << "=" << c.value;
        EXPECT_EQ(env_.CountLogs(c.reason), before + 1) << c.reason;
    }
    // The first data block just below the blocks count leaves one group of one block.
    MemoryDevice last = Craft();
    last.Put(kSb + 4, 3);
    last.Put(kSb + 20, 2);
    EXPECT_EQ(Validate(last), "");
    EXPECT_EQ(reader_->GetInodeTableBlocks().size(), 1u);
}

// Four billion groups of one block, on a 2 KiB image: the group and descriptor
// counts must not wrap in 32 bits (a table of 0 bytes "read", then four billion
// descriptors decoded from it). Half a billion groups: 16 GiB of descriptors.
// Both refused before anything is allocated or read.
TEST_F(ValidateFileSystemTest, DescriptorTablesNoDeviceHoldsAreRefusedUnread) {
    struct Case {
        uint32_t blocksPerGroup;
        size_t deviceBytes;
    };
    for (const Case c : {Case{1, 2048}, Case{8, 64 << 10}}) {
        MemoryDevice d = Craft();
        d.bytes.resize(c.deviceBytes);
        for (const auto& [offset, value] :
             {std::pair<size_t, uint32_t>{4, 0xFFFFFFFF}, {32, c.blocksPerGroup}, {40, 1}, {0, 1}})
            d.Put(kSb + offset, value);
        const int before = env_.CountLogs("Group descriptor table too large");
        EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .") << c.blocksPerGroup;
        EXPECT_EQ(env_.CountLogs("Group descriptor table too large"), before + 1);
        EXPECT_EQ(d.reads, 1u);  // the superblock only
    }
}

TEST_F(ValidateFileSystemTest, FailedReadsAndWritesAreRefused) {
    MemoryDevice d = Craft();
    EXPECT_EQ(Validate(d, "/nonexistent-dir/info"), "SYSTEM\tDump File Open failed");
    EXPECT_EQ(env_.CountLogs("Could not open /nonexistent-dir/info to Dump FS info . Error:2 "
                             "Error:No such file or directory "),
              1);
    // The file opens, its writes fail: the reader fails with the file's error.
    EXPECT_EQ(Validate(d, "/dev/full"), "SYSTEM\tDump File Write failed");
    EXPECT_EQ(env_.CountLogs("Could not write /dev/full to Dump FS info . Error:28 "
                             "Error:No space left on device "),
              1);
    d.bytes.resize(2048 + 16);  // superblock whole, descriptor table cut
    EXPECT_EQ(Validate(d), "READ\t Could not read File system Group Descriptors");
    d.bytes.resize(1500);
    EXPECT_EQ(Validate(d), "READ\t Could not read the entire SuperBlock");
}

TEST_F(ValidateFileSystemTest, WalkWithoutValidationHasNoDeviceSize) {
    MemoryDevice d = Craft();
    ReadExt3DirFromDevice reader(MemoryDevice::Read, &d, nullptr, 0, nullptr, 0, false, 0, 0,
                                 nullptr);
    RowCollector rows;
    char root[] = "/";
    EXPECT_EQ(ErrorOf([&] { reader.GetInodeAnameMapping(RowCollector::Add, &rows, root, 2); }),
              "FS\tDeviceSize is zero");
    EXPECT_EQ(d.reads, 0u);
}

}  // namespace
}  // namespace kzvol::testing
