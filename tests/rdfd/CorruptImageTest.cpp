// Directory records, pointers and counts damaged on purpose, first in a hand-made
// directory block, then in images: each walk ends in the reader's exception (a false
// result) or skips the damaged block, and never reads outside a buffer, loops or
// recurses without bound.
#include <gtest/gtest.h>

#include "rdfd/DirBlock.h"
#include "tests/rdfd/ReaderTestSupport.h"

namespace kzvol::testing {
namespace {

constexpr size_t kBs = 1024;

// After a sound record "keep" of `keepLen` bytes, records the parser must refuse:
// zero, misaligned, too short for the header or the name, reaching past the block;
// last, a header that does not fit in the 4 bytes left.
TEST(DirBlockTest, BadRecordsStopTheBlock) {
    struct Case {
        uint16_t keepLen, recLen, nameLen;
    };
    for (const Case c : {Case{12, 0, 4}, Case{12, 4, 4}, Case{12, 10, 1}, Case{12, 12, 5},
                         Case{12, 2048, 4}, Case{12, 1020, 4}, Case{1020, 0, 0}}) {
        MemoryDevice b;
        b.bytes.assign(kBs, '\0');
        b.Put(0, 12);
        b.Put(4, c.keepLen, 2);
        b.Put(6, 0x0104, 2);  // name length 4, regular file
        b.bytes.replace(8, 4, "keep");
        if (c.keepLen == 12) {
            b.Put(12, 13);
            b.Put(16, c.recLen, 2);
            b.Put(18, c.nameLen, 1);
        }
        ext3::DirBlockParser parser(reinterpret_cast<const unsigned char*>(b.bytes.data()), kBs);
        ext3::DirEntry e;
        ASSERT_EQ(parser.Next(&e), ext3::DirEntryStatus::kEntry);
        EXPECT_EQ(std::string(e.name) + "/" + std::to_string(e.inode), "keep/12");
        EXPECT_EQ(parser.Next(&e), ext3::DirEntryStatus::kBadRecord) << c.recLen;
    }
}

class CorruptImageTest : public ReaderFixture {
  protected:
    // Points the directory entry `name` at `inode`.
    void Redirect(const std::string& name, unsigned inode) {
        const size_t entry = FindDirEntry(device_.bytes, name);
        ASSERT_NE(entry, std::string::npos) << name;
        device_.Put(entry, inode);
    }
    size_t BlockPointer(const std::string& path, unsigned index) {
        return InodeOffset(image_, path) + 40 + 4 * index;
    }
};

// An entry leading back to an ancestor, to its own directory, or to the root under
// another name.
TEST_F(CorruptImageTest, DirectoryLoopsAreRefused) {
    BuildImage();
    const std::string pristine = device_.bytes;
    for (unsigned target : {InodeOf(image_, "/d1"), InodeOf(image_, "/d1/d2"), 2u}) {
        device_.bytes = pristine;
        Redirect("loopme", target);
        ExpectBothFail("FS\tDirectory loop detected");
    }
    EXPECT_EQ(env_.CountLogs("is already on the current path"), 3);
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
    device_.bytes = ReadFile(image_);
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
    EXPECT_FALSE(after.Names().count("in-d1"));
}

// Records that are zero, misaligned, too short for their name or reaching past the
// block: the rest of that block is skipped, the other blocks are still walked.
TEST_F(CorruptImageTest, BadRecordSkipsTheRestOfItsBlockOnly) {
    BuildImage("ext2", 400);
    RowCollector pristine;
    ASSERT_TRUE(RunImgPod(&pristine));
    const std::string saved = device_.bytes;
    const size_t entry = FindDirEntry(saved, "entry-with-a-long-name-0200");
    // rec_len, then name_len (-1: unchanged).
    for (const auto& [recLen, nameLen] :
         std::vector<std::pair<uint16_t, int>>{{0, -1}, {4, -1}, {42, -1}, {2048, -1}, {36, 255}}) {
        device_.bytes = saved;
        device_.Put(entry + 4, recLen, 2);
        if (nameLen >= 0)
            device_.bytes[entry + 6] = static_cast<char>(nameLen);
        for (bool optimized : {false, true}) {
            RowCollector rows;
            ASSERT_TRUE(Run(optimized, &rows)) << recLen;
            const auto names = rows.Names();
            EXPECT_FALSE(names.count("entry-with-a-long-name-0200"));
            EXPECT_TRUE(names.count("entry-with-a-long-name-0000"));
            EXPECT_TRUE(names.count("entry-with-a-long-name-0399"));
            EXPECT_LT(rows.rows.size(), pristine.rows.size());
            EXPECT_GT(rows.rows.size(), pristine.rows.size() - 40);
        }
    }
    EXPECT_EQ(env_.CountLogs("as DirEntry rec_len is not valid"), 10);
}

// A direct pointer, then an indirect block's entry, beyond the file system: refused
// unread. Last, an indirect block repeating one block, with the double indirect
// pointer at it to multiply the damage: the block budget runs out.
TEST_F(CorruptImageTest, BlockPointersNoSoundImageHoldsAreRefused) {
    BuildImage("ext2", 400);
    const std::string pristine = device_.bytes;
    const uint32_t first = device_.Get32(BlockPointer("/big", 0));
    const uint32_t indirect = device_.Get32(BlockPointer("/big", 12));
    ASSERT_NE(indirect, 0u);
    device_.keepLog = true;
    device_.Put(BlockPointer("/d1", 0), 0xFFFFFFF0u);
    ExpectBothFail("FS\tBlock number out of range.");
    device_.bytes = pristine;
    device_.Put(indirect * kBs + 8, 0x7FFFFFFFu);
    ExpectBothFail("FS\tBlock number out of range.");
    for (const auto& [offset, size] : device_.log)
        EXPECT_LT(offset, device_.bytes.size());

    device_.bytes = pristine;
    for (size_t i = 0; i < kBs / 4; ++i)
        device_.Put(indirect * kBs + 4 * i, first);
    device_.Put(BlockPointer("/big", 13), indirect);
    ExpectBothFail("FS\tBlock Count Exceeded");
}

TEST_F(CorruptImageTest, InodeBeyondTheInodesCountIsRefused) {
    BuildImage();
    const uint32_t count = 100;  // below the groups' inodes, above the tree's
    device_.Put(1024 + 0, count);
    Redirect("in-d1", count + 1);
    ExpectBothFail("FS\tInode number out of range.");
    Redirect("in-d1", 0x7FFFFFFF);
    ExpectBothFail("FS\tInode Group out of range.");
}

// Entries handed on are counted against the inodes count; hard links are entries
// too, so a sound image can spend the budget when its links outnumber its inodes.
TEST_F(CorruptImageTest, InodeBudgetBoundsTheWalk) {
    const std::string tree = tmp_.File("links");
    ASSERT_EQ(
        RunCommandLine("mkdir -p " + tree + "/a/b && cd " + tree +
                       "/a/b && echo x >file && for i in $(seq 0 79); do ln file link$i; done"),
        0);
    image_ = tmp_.File("links.img");
    MakeImage(tree, image_, "ext2", 1024, 1024, "-N 32");
    device_.bytes = ReadFile(image_);
    ASSERT_LE(device_.Get32(1024), 80u);
    ExpectBothFail("FS\tInode Count Exhausted");
}

}  // namespace
}  // namespace kzvol::testing
