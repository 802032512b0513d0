// Superblock validation on hand-made superblocks: the block sizes accepted,
// geometries and descriptor tables no file system can have, failed reads and writes.
// (Group arithmetic and the information file are checked against debugfs.)
#include <gtest/gtest.h>

#include "tests/rdfd/ReaderTestSupport.h"

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

// Inodes per group, inode size, blocks per group, blocks count zero; then values no
// ext2/ext3 can have; last, half a billion groups: 16 GiB of descriptors, refused
// before anything is allocated.
TEST_F(ValidateFileSystemTest, ZeroOrImpossibleGeometryIsNotAValidSuperblock) {
    const std::vector<std::pair<size_t, uint32_t>> patches = {
        {40, 0},   {88, 0},    {32, 0},    {4, 0},          {88, 64},
        {88, 384}, {32, 8193}, {40, 8193}, {0, 0xFFFFFFFF}, {20, 0xFFFFFFF0}};
    for (const auto& [offset, value] : patches) {
        MemoryDevice d = Craft();
        d.Put(kSb + offset, value);
        EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .") << offset << "=" << value;
    }
    MemoryDevice huge = Craft();
    for (const auto& [offset, value] :
         {std::pair<size_t, uint32_t>{4, 0xFFFFFFFF}, {32, 8}, {40, 1}, {0, 1}})
        huge.Put(kSb + offset, value);
    EXPECT_EQ(Validate(huge), "FS\tNot a Valod SuperBlock .");
    EXPECT_EQ(env_.CountLogs("One of the InodeSize , InodesPerGroup , TotalBlockCount , "
                             "BlocksPerGroup , InodesPerGroup is zero"),
              4);
    EXPECT_EQ(env_.CountLogs("Group descriptor table too large"), 1);
}

TEST_F(ValidateFileSystemTest, FailedReadsAndWritesAreRefused) {
    MemoryDevice d = Craft();
    EXPECT_EQ(Validate(d, "/nonexistent-dir/info"), "SYSTEM\tDump File Open failed");
    EXPECT_EQ(env_.CountLogs("Could not open /nonexistent-dir/info to Dump FS info . Error:2 "
                             "Error:No such file or directory "),
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
