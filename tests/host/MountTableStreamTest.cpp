// The mount-table text parser, fed from memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/MountTableStream.h"

namespace kzvol {
namespace {

std::vector<MountTableEntry> Parse(std::string text) {
    std::vector<MountTableEntry> entries;
    FILE* stream = ::fmemopen(text.data(), text.size(), "r");
    if (!stream)
        return entries;
    ReadMountEntries(stream, &entries);
    std::fclose(stream);
    return entries;
}

using Fields = std::vector<std::string>;

TEST(MountTableStream, ReadsFieldsSkipsCommentsAndDecodesEscapes) {
    auto entries = Parse(
        "# comment line\n"
        "\n"
        "/dev/sdb1 /mnt/a ext3 rw,relatime 0 0\n"
        "   \t\n"
        "/dev/loop3 /mnt/my\\040disk\\011x ext3 ro 1 2\n"
        "/dev/sdc1 /mnt/back\\134slash xfs rw\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].fields, (Fields{"/dev/sdb1", "/mnt/a", "ext3", "rw,relatime", "0", "0"}));
    EXPECT_EQ(entries[1].fields, (Fields{"/dev/loop3", "/mnt/my disk\tx", "ext3", "ro", "1", "2"}));
    // Missing frequency and pass number read as 0.
    EXPECT_EQ(entries[2].fields, (Fields{"/dev/sdc1", "/mnt/back\\slash", "xfs", "rw", "0", "0"}));
}

TEST(MountTableStream, EmptyAndShortInputs) {
    EXPECT_TRUE(Parse("").empty());
    EXPECT_TRUE(Parse("# only a comment").empty());
    auto entries = Parse("/dev/sdb1 /mnt/a");  // no newline, no type
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fields[0], "/dev/sdb1");
    EXPECT_EQ(entries[0].fields[1], "/mnt/a");
}

TEST(MountTableStream, OverlongLineDoesNotSpillIntoTheNextEntry) {
    std::string longOptions(20000, 'o');
    auto entries =
        Parse("overlay /merged overlay " + longOptions + " 0 0\n/dev/sdb1 /mnt/a ext3 rw 0 0\n");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].fields[1], "/merged");
    EXPECT_EQ(entries[1].fields, (Fields{"/dev/sdb1", "/mnt/a", "ext3", "rw", "0", "0"}));
}

}  // namespace
}  // namespace kzvol
