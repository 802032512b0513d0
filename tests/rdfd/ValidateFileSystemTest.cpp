// Superblock validation on hand-made superblocks: group arithmetic, where the
// descriptor table is read, the block sizes accepted, the information file, and
// descriptor tables no file system can have.
#include <gtest/gtest.h>

#include "rdfd/RDFD.h"
#include "tests/rdfd/ReaderTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

struct Geometry {
    uint32_t logBlockSize = 0;
    uint32_t blocksCount = 8193;
    uint32_t firstDataBlock = 1;
    uint32_t blocksPerGroup = 8192;
    uint32_t inodesPerGroup = 256;
    uint32_t groups = 1;  // descriptors filled in
};

// A device holding only a superblock and a descriptor table whose group g has its
// inode table at block 100 + g.
MemoryDevice Craft(const Geometry& g) {
    const uint32_t bs = 1024u << g.logBlockSize;
    MemoryDevice d;
    const size_t table = size_t{bs} * (g.firstDataBlock + 1);
    d.bytes.assign(table + size_t{g.groups} * 32 + bs, '\0');
    d.Put32(1024 + 0, g.inodesPerGroup * g.groups);
    d.Put32(1024 + 4, g.blocksCount);
    d.Put32(1024 + 20, g.firstDataBlock);
    d.Put32(1024 + 24, g.logBlockSize);
    d.Put32(1024 + 28, g.logBlockSize);
    d.Put32(1024 + 32, g.blocksPerGroup);
    d.Put32(1024 + 40, g.inodesPerGroup);
    d.Put16(1024 + 56, 0xEF53);
    d.Put32(1024 + 84, 11);
    d.Put16(1024 + 88, 256);
    for (uint32_t i = 0; i < g.groups; ++i)
        d.Put32(table + 32 * i + 8, 100 + i);
    d.keepLog = true;
    return d;
}

class ValidateFileSystemTest : public ::testing::Test {
  protected:
    // Runs validation; empty on success, else the exception's text.
    std::string Validate(MemoryDevice& d, const char* dump = nullptr) {
        reader_ = std::make_unique<ReadExt3DirFromDevice>(MemoryDevice::Read, &d, nullptr, 0,
                                                          nullptr, 2097152, false, 0, 0, nullptr);
        try {
            reader_->ValidateFileSystem(const_cast<char*>(dump), nullptr, nullptr);
            return "";
        } catch (RDFDException* e) {
            std::string text = e->GetErrorMsg();
            delete e;
            return text;
        }
    }

    TestEnv env_;
    TempDir tmp_;
    std::unique_ptr<ReadExt3DirFromDevice> reader_;
};

TEST_F(ValidateFileSystemTest, GroupCountAndDescriptorTablePosition) {
    Geometry g;
    MemoryDevice one = Craft(g);
    ASSERT_EQ(Validate(one), "");
    EXPECT_EQ(reader_->GetInodeTableBlocks(), (std::list<unsigned int>{100}));
    EXPECT_EQ(one.log.back(), (std::pair<unsigned long long, unsigned int>{2048, 1024}));

    g.blocksCount = 8194;
    g.groups = 2;
    MemoryDevice two = Craft(g);
    ASSERT_EQ(Validate(two), "");
    EXPECT_EQ(reader_->GetInodeTableBlocks(), (std::list<unsigned int>{100, 101}));

    Geometry big{2, 40000, 0, 32768, 1024, 2};  // 4 KiB blocks, first data block 0
    MemoryDevice four = Craft(big);
    ASSERT_EQ(Validate(four), "");
    EXPECT_EQ(four.log.back(), (std::pair<unsigned long long, unsigned int>{4096, 4096}));
    EXPECT_EQ(reader_->GetBlockSize(), 4096u);
    EXPECT_EQ(reader_->GetInodeSize(), 256u);
    EXPECT_EQ(reader_->GetInodesPerGroup(), 1024u);
    EXPECT_EQ(reader_->GetBlocksCount(), 40000u);
}

TEST_F(ValidateFileSystemTest, BlockSizesUpTo16KiBPass) {
    for (uint32_t log = 0; log <= 4; ++log) {
        Geometry g;
        g.logBlockSize = log;
        g.firstDataBlock = log == 0 ? 1 : 0;
        g.blocksCount = 1000;
        MemoryDevice d = Craft(g);
        EXPECT_EQ(Validate(d), "") << log;
        EXPECT_EQ(reader_->GetBlockSize(), 1024u << log);
    }
    Geometry g;
    g.logBlockSize = 5;
    MemoryDevice d = Craft(g);
    EXPECT_EQ(Validate(d), "FS\tWeird Block Size");
}

TEST_F(ValidateFileSystemTest, InformationFileOfOneGroup) {
    MemoryDevice d = Craft(Geometry{});
    const std::string dump = tmp_.File("info");
    ASSERT_EQ(Validate(d, dump.c_str()), "");
    EXPECT_EQ(ReadFile(dump),
              "extentsize=2097152 \ngdc=1 \nitableblock=100 \nextentsize=2097152 \n"
              "blocksize=1024 \nfragsize=0 \nblockcount=8193 \nfirstdatablock=1 \nbpg=8192 \n"
              "ipg=256 \nisize=256 \nipb=4 \ndpb=32 \ndescblock=1 \nfirstinode=11 \n"
              "icount=256 \naclenabled=0 \nselinuxlabels=0 \nfstype=ext3\n");
    // Flags set before validation are written as given.
    reader_ = std::make_unique<ReadExt3DirFromDevice>(MemoryDevice::Read, &d, nullptr, 0, nullptr,
                                                      7, false, 0, 0, nullptr);
    reader_->SetAclEnabled(1);
    reader_->SetSELinuxEnabled(1);
    reader_->ValidateFileSystem(const_cast<char*>(dump.c_str()), nullptr, nullptr);
    const std::string text = ReadFile(dump);
    EXPECT_NE(text.find("aclenabled=1 \nselinuxlabels=1 \n"), std::string::npos);
    EXPECT_EQ(text.rfind("extentsize=7 \n", 0), 0u);
}

TEST_F(ValidateFileSystemTest, UnwritableInformationFileIsASystemError) {
    MemoryDevice d = Craft(Geometry{});
    EXPECT_EQ(Validate(d, "/nonexistent-dir/info"), "SYSTEM\tDump File Open failed");
    EXPECT_EQ(env_.CountLogs("Could not open /nonexistent-dir/info to Dump FS info . Error:2 "
                             "Error:No such file or directory "),
              1);
}

TEST_F(ValidateFileSystemTest, DescriptorTableNoFileSystemCanHaveIsRefusedUnallocated) {
    Geometry g;
    g.blocksCount = 0xFFFFFFFF;
    g.blocksPerGroup = 8;  // half a billion groups: 16 GiB of descriptors
    g.inodesPerGroup = 1;
    MemoryDevice d = Craft(g);
    d.Put32(1024, 1);
    EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .");
    EXPECT_EQ(env_.CountLogs("Group descriptor table too large"), 1);
}

TEST_F(ValidateFileSystemTest, ShortReadsAreReadErrors) {
    MemoryDevice d = Craft(Geometry{});
    d.bytes.resize(2048 + 16);  // superblock whole, descriptor table cut
    EXPECT_EQ(Validate(d), "READ\t Could not read File system Group Descriptors");
    EXPECT_EQ(env_.CountLogs("Could not read FS GroupDescriptors. Read returned:16 . "
                             "SeekOffset:2048 "),
              1);
    d.bytes.resize(1500);
    EXPECT_EQ(Validate(d), "READ\t Could not read the entire SuperBlock");
    EXPECT_EQ(env_.CountLogs(" Could not read the entire SuperBlock . Read returned:476  "), 1);
}

TEST_F(ValidateFileSystemTest, WalkWithoutValidationHasNoDeviceSize) {
    MemoryDevice d = Craft(Geometry{});
    ReadExt3DirFromDevice reader(MemoryDevice::Read, &d, nullptr, 0, nullptr, 0, false, 0, 0,
                                 nullptr);
    RowCollector rows;
    char root[] = "/";
    try {
        reader.GetInodeAnameMapping(RowCollector::Add, &rows, root, 2);
        FAIL();
    } catch (RDFDException* e) {
        EXPECT_STREQ(e->GetErrorMsg(), "FS\tDeviceSize is zero");
        delete e;
    }
    EXPECT_EQ(d.reads, 0u);
}

}  // namespace
}  // namespace kzvol::testing
