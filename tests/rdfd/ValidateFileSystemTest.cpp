// Superblock validation on hand-made superblocks: the block sizes accepted, what
// the geometry check refuses, failed reads and writes. (Group arithmetic and the
// information file are checked against debugfs.)
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

// Block sizes up to 16 KiB pass and set the block size; beyond, the block size is
// refused for what it is (a shift of 22 wraps a 32-bit size to 0). A geometry the
// check refuses ends validation; a descriptor table no device holds is refused
// before it is read. (Each limit of the check: VolumeGeometry.)
TEST_F(ValidateFileSystemTest, BlockSizesAndGeometriesTheCheckRefuses) {
    for (uint32_t log : {0u, 4u, 5u, 22u}) {
        MemoryDevice d = Craft(log <= 4 ? log : 0);
        d.Put(kSb + 24, log);
        EXPECT_EQ(Validate(d), log <= 4 ? "" : "FS\tWeird Block Size") << log;
        EXPECT_EQ(reader_->GetBlockSize(), log <= 4 ? 1024u << log : 0u);
    }
    MemoryDevice d = Craft();
    d.Put(kSb + 32, 8193);
    EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .");
    // Four billion groups of one block on a 2 KiB image.
    d = Craft();
    d.bytes.resize(2048);
    for (const auto& [offset, value] :
         {std::pair<size_t, uint32_t>{4, 0xFFFFFFFF}, {32, 1}, {40, 1}, {0, 1}})
        d.Put(kSb + offset, value);
    EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .");
    EXPECT_EQ(d.reads, 1u);  // the superblock only
    // The first data block just below the blocks count leaves one group of one block.
    d = Craft();
    d.Put(kSb + 4, 3);
    d.Put(kSb + 20, 2);
    EXPECT_EQ(Validate(d), "");
    EXPECT_EQ(reader_->GetInodeTableBlocks().size(), 1u);
}

TEST_F(ValidateFileSystemTest, FailedReadsAndWritesAreRefused) {
    MemoryDevice d = Craft();
    EXPECT_EQ(Validate(d, "/nonexistent-dir/info"), "SYSTEM\tDump File Open failed");
    // The file opens, its writes fail: the reader fails with the file's error.
    EXPECT_EQ(Validate(d, "/dev/full"), "SYSTEM\tDump File Write failed");
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
