// Damaged records, pointers and counts: each walk refuses or skips, never overruns or loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "rdfd/DirBlock.h"
#include "rdfd/DirBlockSequence.h"
#include "tests/support/ReaderTestSupport.h"

namespace kzvol::testing {
namespace {

constexpr size_t kBs = 1024;

TEST(DirBlockTest, BadRecordsStopTheBlockNamesWithSlashOrNulAreEscaped) {
    const uint16_t cases[][3] = {{12, 0, 4},    {12, 4, 4},    {12, 10, 1}, {12, 12, 5},
                                 {12, 2048, 4}, {12, 1020, 4}, {1020, 0, 0}};
    for (const auto& [keepLen, recLen, nameLen] : cases) {
        // Inode 12, "keep" (a regular file), then inode 13: inside "keep" when it fills the block.
        MemoryDevice b;
        b.bytes = std::string("\x0c\0\0\0\0\0\x04\x01keep\x0d", 13) + std::string(kBs, '\0');
        b.Put(4, keepLen, 2);
        b.Put(16, recLen, 2);
        b.Put(18, nameLen, 1);
        ext3::DirBlockParser parser(reinterpret_cast<const unsigned char*>(b.bytes.data()), kBs);
        ext3::DirEntry e;
        ASSERT_EQ(parser.Next(&e), ext3::DirEntryStatus::kEntry);
        EXPECT_EQ(std::string(e.name) + "/" + std::to_string(e.inode), "keep/12");
        EXPECT_EQ(parser.Next(&e), ext3::DirEntryStatus::kBadRecord) << keepLen << ' ' << recLen;
    }
    std::string slashes;
    for (int i = 0; i < 255; ++i)
        slashes += "\\057";
    for (const auto& [raw, name] : std::vector<std::pair<std::string, std::string>>{
             {"a/b", "a\\057b"},
             {std::string("x\0y\\", 4), "x\\000y\\134"},
             {"a\\b", "a\\b"},
             {std::string(255, '/'), slashes}}) {
        char out[ext3::kMaxEntryNameBytes + 1];
        const uint16_t length =
            ext3::CopyEntryName(reinterpret_cast<const unsigned char*>(raw.data()),
                                static_cast<uint8_t>(raw.size()), out);
        EXPECT_TRUE(std::string(out) == name && std::strlen(out) == length) << out;
    }
}

// Indirect block B holds 0, B+1 and B+2; each is loaded once, when reached.
TEST(DirBlockSequenceTest, DirectThenSingleDoubleTripleInOrder) {
    const uint32_t pointers[ext3::kBlockPointers] = {5, 0, 0, 7, 0,   0,   0,  0,
                                                     0, 0, 0, 0, 100, 200, 300};
    std::vector<uint32_t> loads, blocks;
    const auto load = [&](uint32_t block, std::vector<uint32_t>* entries) {
        loads.push_back(block);
        *entries = {0, block + 1, block + 2};
    };
    ext3::DirBlockSequence sequence(pointers);
    for (uint32_t block = 0; sequence.Next(load, &block);)
        blocks.push_back(block);
    EXPECT_EQ(blocks, (std::vector<uint32_t>{5, 7, 101, 102, 202, 203, 203, 204, 303, 304, 304, 305,
                                             304, 305, 305, 306}));
    EXPECT_EQ(loads,
              (std::vector<uint32_t>{100, 200, 201, 202, 300, 301, 302, 303, 302, 303, 304}));
}

class CorruptImageTest : public ReaderFixture {
  protected:
    void Redirect(const std::string& name, unsigned inode) {
        const size_t entry = FindDirEntry(device_.bytes, name);
        ASSERT_NE(entry, std::string::npos) << name;
        device_.Put(entry, inode);
    }
    void CopyInode(const std::string& path, unsigned inode) {
        device_.bytes.replace(InodeOffset(image_, "<" + std::to_string(inode) + ">"), 256,
                              device_.bytes.substr(InodeOffset(image_, path), 256));
    }
    std::vector<RowCollector> Walks() {
        std::vector<RowCollector> walks(2);
        for (bool optimized : {false, true})
            EXPECT_TRUE(Run(optimized, &walks[optimized])) << optimized;
        return walks;
    }
};

// Back to an ancestor: a loop depth first (that walker knows the path), else a second parent.
// A type byte of 0 takes the inode's mode; a link's damaged size high word is ignored.
TEST_F(CorruptImageTest, BadEntriesAndPointersRefusedOrSkippedLastInodeReadOddNamesEscaped) {
    BuildImage("ext3", 400);
    RowCollector before;
    ASSERT_TRUE(RunImgPod(&before));
    const std::string pristine = device_.bytes,
                      twoParents = "FS\tDirectory with more than one parent";
    const unsigned big = InodeOf(image_, "/big");
    for (unsigned target : {InodeOf(image_, "/d1"), InodeOf(image_, "/d1/d2"), 2u, big}) {
        device_.bytes = pristine;
        Redirect("loopme", target);
        EXPECT_EQ(Refusal(false), target == big ? twoParents : "FS\tDirectory loop detected");
        EXPECT_EQ(Refusal(true), twoParents) << target;
    }
    device_.bytes = pristine;
    device_.bytes[FindDirEntry(device_.bytes, "f.txt") + 7] = 2;  // file type: directory
    ExpectBothFail("FS\tThis Seems to be not a dir");
    device_.bytes = pristine;
    const unsigned last = device_.Get32(1024);
    CopyInode("/f.txt", last);
    Redirect("f.txt", last);
    device_.bytes[FindDirEntry(device_.bytes, "in-d1") + 8 + 2] = '/';
    device_.bytes[FindDirEntry(device_.bytes, "f.txt") + 8 + 1] = '\0';
    const auto odd = [&](const Row& r) { return r.inode == last && r.name == "f\\000txt"; };
    for (const RowCollector& rows : Walks()) {
        EXPECT_TRUE(rows.Names().count("in\\057d1"));
        EXPECT_EQ(std::count_if(rows.rows.begin(), rows.rows.end(), odd), 1);
    }
    device_.Put(1024 + 0, last - 1);  // still no more than the groups hold
    ExpectBothFail("FS\tInode number out of range.");
    Redirect(std::string("f\0txt", 5), last + 1);  // the first of the group after the last
    ExpectBothFail("FS\tInode Group out of range.");
    device_.bytes = pristine;  // a deleted entry, entries to freed inodes: left out
    device_.Put(InodeOffset(image_, "/link") + 108, 1);
    for (const char* name : {"d1", "link"})
        device_.bytes[FindDirEntry(device_.bytes, name) + 7] = 0;
    Redirect("in-d1", 0);
    Redirect("f.txt", 2000);
    Redirect("loopme", 2001);
    std::vector<Row> expected;
    std::copy_if(
        before.rows.begin(), before.rows.end(), std::back_inserter(expected),
        [](const Row& r) { return r.name != "in-d1" && r.name != "loopme" && r.name != "f.txt"; });
    for (const RowCollector& rows : Walks())
        EXPECT_EQ(Sorted(rows.rows), Sorted(expected));
    const std::string prefix = "entry-with-a-long-name-0";
    const size_t entry = FindDirEntry(pristine, prefix + "200");
    for (const auto& [recLen, nameLen] : std::vector<std::pair<uint16_t, char>>{
             {0, 27}, {4, 27}, {42, 27}, {2048, 27}, {36, 255}}) {
        device_.bytes = pristine;
        device_.Put(entry + 4, recLen, 2);
        device_.bytes[entry + 6] = nameLen;
        for (const RowCollector& rows : Walks()) {
            const auto names = rows.Names();
            EXPECT_TRUE(!names.count(prefix + "200") && names.count(prefix + "000") &&
                        names.count(prefix + "399") && rows.rows.size() < before.rows.size() &&
                        rows.rows.size() > before.rows.size() - 40);
        }
    }

    device_.bytes = pristine;
    const size_t d1 = InodeOffset(image_, "/d1") + 40, bigAt = InodeOffset(image_, "/big") + 40;
    const uint32_t blocks = device_.Get32(1024 + 4), dirBlock = device_.Get32(d1),
                   indirect = device_.Get32(bigAt + 48);
    ASSERT_EQ(device_.bytes.size(), size_t{blocks} * kBs);
    device_.bytes.replace((blocks - 1) * kBs, kBs, pristine.substr(dirBlock * kBs, kBs));
    device_.Put(d1, blocks - 1);
    for (const RowCollector& rows : Walks())
        EXPECT_EQ(Sorted(rows.rows), Sorted(before.rows));
    device_.log.clear();
    device_.Put(d1, blocks);
    ExpectBothFail("FS\tBlock number out of range.");
    device_.bytes = pristine;
    device_.Put(indirect * kBs + 8, 0x7FFFFFFFu);
    ExpectBothFail("FS\tBlock number out of range.");
    for (const auto& [offset, size] : device_.log)
        EXPECT_LT(offset, device_.bytes.size());

    device_.bytes = pristine;  // an indirect block repeating one block, under the double indirect
    for (size_t i = 0; i < kBs / 4; ++i)
        device_.Put(indirect * kBs + 4 * i, device_.Get32(bigAt));
    device_.Put(bigAt + 52, indirect);
    ExpectBothFail("FS\tBlock Count Exceeded");
}

// 2,100 levels on a 256 KiB stack: depth costs heap.
TEST_F(CorruptImageTest, DeepTreeIsWalkedWholeOnASmallStack) {
    image_ = tmp_.File("deep.img");
    ASSERT_EQ(RunCommandLine("printf 'mkdir d\\ncd d\\n%.0s' $(seq 2100) >" + image_ +
                             ".cmd && truncate -s 16M " + image_ +
                             " && mke2fs -q -F -t ext2 -b 1024 -N 4096 " + image_ +
                             " && debugfs -w -f " + image_ + ".cmd " + image_ + " >/dev/null 2>&1"),
              0);
    device_.bytes = ReadFile(image_);
    std::vector<RowCollector> walks;
    RunOnSmallStack([&] { walks = Walks(); });
    const std::vector<Row>& rows = walks[0].rows;
    ASSERT_EQ(rows.size(), 2u + 2100u);  // root, lost+found, the chain
    EXPECT_EQ(Sorted(walks[1].rows), Sorted(rows));
    for (size_t i = 3; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].parent, rows[i - 1].inode) << i;
}

// uninit_bg: past the used inodes, set in the bitmap counts (as e2fsck keeps it).
TEST_F(CorruptImageTest, InodesTheGroupDescriptorsMarkUnusedAreLeftOut) {
    BuildImage("ext3", 0, "-O uninit_bg");
    RowCollector pristine;
    ASSERT_TRUE(RunImgPod(&pristine));
    const unsigned unusedInGroup0 = device_.Get32(2048 + 28) & 0xFFFF,
                   perGroup = device_.Get32(1024 + 40);
    ASSERT_GT(unusedInGroup0, 0u);
    const unsigned pastUsed = perGroup - unusedInGroup0 + 1, uninit = perGroup + 5;
    CopyInode("/f.txt", pastUsed);
    CopyInode("/f.txt", uninit);
    Redirect("in-d1", pastUsed);
    Redirect("link", uninit);
    std::vector<RowCollector> walks = Walks();
    ASSERT_TRUE(RunImgPod(&walks.emplace_back(), "ext3", "linux", nullptr, true));
    for (const RowCollector& rows : walks) {
        EXPECT_FALSE(rows.Names().count("in-d1") || rows.Names().count("link"));
        EXPECT_EQ(rows.rows.size() + 2, pristine.rows.size());
    }

    const uint32_t bitmapBlock = device_.Get32(2048 + 4), blocks = device_.Get32(1024 + 4);
    device_.bytes[bitmapBlock * kBs + (pastUsed - 1) / 8] |=
        static_cast<char>(1 << ((pastUsed - 1) % 8));
    for (const RowCollector& rows : Walks())
        EXPECT_TRUE(rows.Names().count("in-d1") && !rows.Names().count("link"));
    // The same bitmap block moved to just past the file system is not read.
    device_.bytes.resize(size_t{blocks} * kBs);
    device_.bytes += device_.bytes.substr(bitmapBlock * kBs, kBs);
    device_.Put(2048 + 4, blocks);
    for (const RowCollector& rows : Walks())
        EXPECT_FALSE(rows.Names().count("in-d1"));
}

// 61 names of one file, its link count damaged to 1: depth first counts names, not inodes.
TEST_F(CorruptImageTest, InodeBudgetCountsInodesWalkedNotNames) {
    const std::string tree = tmp_.File("links");
    ASSERT_EQ(RunCommandLine("mkdir -p " + tree + "/a/b && cd " + tree +
                             "/a/b && echo x >file && for i in $(seq 60); do ln file link$i; done"),
              0);
    image_ = tmp_.File("links.img");
    MakeImage(tree, image_, "ext2", 1024, 1024, "-N 32");
    ASSERT_EQ(RunCommandLine("e2fsck -fn " + image_ + " >/dev/null 2>&1"), 0);
    device_.bytes = ReadFile(image_);
    ASSERT_EQ(device_.Get32(1024), 32u);
    const std::vector<Row> expected = DebugfsRows(image_, "/");
    for (const RowCollector& rows : Walks())
        EXPECT_EQ(Sorted(rows.rows), Sorted(expected));
    RowCollector names;
    ASSERT_TRUE(RunImgPod(&names, "ext3", "linux", nullptr, true));
    EXPECT_EQ(names.rows.size(), expected.size() + 61);

    device_.Put(InodeOffset(image_, "/a/b/file") + 26, 1, 2);
    RowCollector once;
    EXPECT_EQ(Refusal(false), "FS\tInode Count Exhausted");
    ASSERT_TRUE(RunVirtualPod(&once));
    EXPECT_EQ(once.rows.size(), expected.size() + 1);
}

}  // namespace
}  // namespace kzvol::testing
