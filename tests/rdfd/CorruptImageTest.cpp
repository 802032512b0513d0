// Images whose directories, pointers or counts were damaged on purpose: each walk
// ends in the reader's exception (a false result) or skips the damaged block, and
// never reads outside a buffer, loops or recurses without bound.
#include <gtest/gtest.h>

#include <set>

#include "rdfd/Ext3Layout.h"
#include "tests/rdfd/ReaderFixture.h"

namespace kzvol::testing {
namespace {

constexpr size_t kBs = 1024;

class CorruptImageTest : public ReaderFixture {
  protected:
    // Points the directory entry `name` at `inode`.
    void Redirect(const std::string& name, unsigned inode) {
        const size_t entry = FindDirEntry(device_.bytes, name);
        ASSERT_NE(entry, std::string::npos) << name;
        Put32(entry, inode);
    }
    size_t BlockPointer(const std::string& path, unsigned index) {
        return InodeOffset(image_, InodeOf(image_, path)) + 40 + 4 * index;
    }
};

TEST_F(CorruptImageTest, DirectoryLeadingBackToItsAncestorIsALoop) {
    BuildImage();
    Redirect("loopme", InodeOf(image_, "/d1"));
    ExpectBothFail("FS\tDirectory loop detected");
}

TEST_F(CorruptImageTest, DirectoryContainingItselfIsALoop) {
    BuildImage();
    Redirect("loopme", InodeOf(image_, "/d1/d2"));
    ExpectBothFail("FS\tDirectory loop detected");
    EXPECT_EQ(env_.CountLogs("is already on the current path"), 1);
}

TEST_F(CorruptImageTest, RootUnderAnotherNameIsALoop) {
    BuildImage();
    Redirect("loopme", 2);
    ExpectBothFail("FS\tDirectory loop detected");
}

TEST_F(CorruptImageTest, DepthIsBounded) {
    BuildImage();
    ReadExt3DirFromDevice reader(MemoryDevice::Read, &device_, nullptr, 0, nullptr, 0, false,
                                 4194304, 512, nullptr);
    reader.SetMaxDirDepth(3);  // root, d1, d2: loopme is one level too deep
    reader.ValidateFileSystem(nullptr, nullptr, nullptr);
    RowCollector rows;
    char root[] = "/";
    try {
        reader.GetInodeAnameMapping(RowCollector::Add, &rows, root, 2);
        FAIL() << "no exception";
    } catch (RDFDException* e) {
        EXPECT_EQ(e->GetCode(), RDFD_EXC_FS);
        EXPECT_STREQ(e->GetErrorMsg(), "FS\tDirectory depth exceeded");
        delete e;
    }
    for (const auto& r : rows.rows)
        EXPECT_NE(r.name, "loopme");
}

// A chain deeper than any path can name (debugfs builds it one level at a time):
// the depth-first walker stops at 2048 levels instead of exhausting its stack; the
// optimized walker, which does not recurse, walks it all.
TEST_F(CorruptImageTest, ChainDeeperThanTheLimitIsRefusedOnlyByTheRecursiveWalker) {
    image_ = tmp_.File("deep.img");
    std::string script;
    for (int i = 0; i < 2100; ++i)
        script += "mkdir d\ncd d\n";
    const std::string commands = tmp_.Write("deep.cmd", script);
    ASSERT_EQ(RunCommandLine("truncate -s 16M " + image_ +
                             " && mke2fs -q -F -t ext2 -b 1024 -N 4096 " + image_ +
                             " && debugfs -w -f " + commands + " " + image_ + " >/dev/null 2>&1"),
              0);
    device_.bytes = LoadFile(image_);
    RowCollector rows;
    EXPECT_FALSE(RunImgPod(&rows));
    EXPECT_EQ(env_.CountLogs("FS\tDirectory depth exceeded", "RDFDInterfaceForImgPod"), 1);
    EXPECT_EQ(rows.rows.size(), 2u + 2047u);  // root, lost+found, the chain down to level 2048
    RowCollector all;
    ASSERT_TRUE(RunVirtualPod(&all));
    EXPECT_EQ(all.rows.size(), 2u + 2100u);
}

TEST_F(CorruptImageTest, DirectoryEntryForAFileInodeIsNotADirectory) {
    BuildImage();
    const size_t entry = FindDirEntry(device_.bytes, "f.txt");
    device_.bytes[entry + 7] = 2;  // file type: directory
    ExpectBothFail("FS\tThis Seems to be not a dir");
}

TEST_F(CorruptImageTest, DeletedEntryIsSkippedAndTheWalkGoesOn) {
    BuildImage();
    RowCollector before;
    ASSERT_TRUE(RunImgPod(&before));
    Redirect("in-d1", 0);
    RowCollector after;
    ASSERT_TRUE(RunImgPod(&after));
    ASSERT_EQ(after.rows.size() + 1, before.rows.size());
    for (const auto& r : after.rows)
        EXPECT_NE(r.name, "in-d1");
}

// Records that are zero, misaligned, too short for their name or reaching past the
// block: the rest of that block is skipped, the other blocks are still walked.
TEST_F(CorruptImageTest, BadRecordSkipsTheRestOfItsBlockOnly) {
    BuildImage("ext2", 400);
    RowCollector pristine;
    ASSERT_TRUE(RunImgPod(&pristine));
    const std::string saved = device_.bytes;
    const size_t entry = FindDirEntry(saved, "entry-with-a-long-name-0200");
    struct Damage {
        uint16_t recLen;
        int nameLen;  // -1: unchanged
    };
    for (const Damage d :
         {Damage{0, -1}, Damage{4, -1}, Damage{42, -1}, Damage{2048, -1}, Damage{36, 255}}) {
        device_.bytes = saved;
        device_.Put16(entry + 4, d.recLen);
        if (d.nameLen >= 0)
            device_.bytes[entry + 6] = static_cast<char>(d.nameLen);
        for (bool optimized : {false, true}) {
            RowCollector rows;
            ASSERT_TRUE(optimized ? RunVirtualPod(&rows) : RunImgPod(&rows)) << d.recLen;
            std::set<std::string> names;
            for (const auto& r : rows.rows)
                names.insert(r.name);
            EXPECT_FALSE(names.count("entry-with-a-long-name-0200"));
            EXPECT_TRUE(names.count("entry-with-a-long-name-0000"));
            EXPECT_TRUE(names.count("entry-with-a-long-name-0399"));
            EXPECT_LT(rows.rows.size(), pristine.rows.size());
            EXPECT_GT(rows.rows.size(), pristine.rows.size() - 40);
        }
    }
    EXPECT_EQ(env_.CountLogs("as DirEntry rec_len is not valid"), 10);
}

TEST_F(CorruptImageTest, BlockPointerBeyondTheFileSystemIsRefusedUnread) {
    BuildImage();
    Put32(BlockPointer("/d1", 0), 0xFFFFFFF0u);
    device_.keepLog = true;
    ExpectBothFail("FS\tBlock number out of range.");
    for (const auto& [offset, size] : device_.log)
        EXPECT_LT(offset, device_.bytes.size());
}

TEST_F(CorruptImageTest, IndirectEntryBeyondTheFileSystemIsRefused) {
    BuildImage("ext2", 400);
    const size_t indirect = device_.Get32(BlockPointer("/big", 12)) * kBs;
    ASSERT_NE(indirect, 0u);
    Put32(indirect + 8, 0x7FFFFFFFu);
    ExpectBothFail("FS\tBlock number out of range.");
}

TEST_F(CorruptImageTest, IndirectBlockRepeatingOneBlockRunsOutOfBudget) {
    BuildImage("ext2", 400);
    const uint32_t first = device_.Get32(BlockPointer("/big", 0));
    const size_t indirect = device_.Get32(BlockPointer("/big", 12)) * kBs;
    for (size_t i = 0; i < kBs / 4; ++i)
        Put32(indirect + 4 * i, first);
    // Double and triple indirect pointers at the same block multiply the damage.
    Put32(BlockPointer("/big", 13), device_.Get32(BlockPointer("/big", 12)));
    ExpectBothFail("FS\tBlock Count Exceeded");
}

TEST_F(CorruptImageTest, InodeBeyondTheInodesCountIsRefused) {
    BuildImage();
    const uint32_t count = 100;  // below the groups' inodes, above the tree's
    Put32(1024 + 0, count);
    Redirect("in-d1", count + 1);
    ExpectBothFail("FS\tInode number out of range.");
    Redirect("in-d1", 0x7FFFFFFF);
    ExpectBothFail("FS\tInode Group out of range.");
}

// Entries handed on are counted against the inodes count; hard links are entries
// too, so a sound image can spend the budget when its links outnumber its inodes.
TEST_F(CorruptImageTest, InodeBudgetBoundsTheWalk) {
    const std::string tree = tmp_.File("links");
    ASSERT_EQ(RunCommandLine("mkdir -p " + tree + "/a/b && echo x > " + tree + "/a/b/file"), 0);
    for (int i = 0; i < 80; ++i) {
        ASSERT_EQ(
            RunCommandLine("ln " + tree + "/a/b/file " + tree + "/a/b/link" + std::to_string(i)),
            0);
    }
    image_ = tmp_.File("links.img");
    MakeImage(tree, image_, "ext2", 1024, 1024, "-N 32");
    device_.bytes = LoadFile(image_);
    ASSERT_LE(device_.Get32(1024), 80u);
    ExpectBothFail("FS\tInode Count Exhausted");
}

}  // namespace
}  // namespace kzvol::testing
