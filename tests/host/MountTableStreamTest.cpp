// The mount-table text parser, fed from memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/MountTableStream.h"

namespace kzvol {
namespace {

using Fields = std::vector<std::string>;

TEST(MountTableStream, DecodesEscapesSkipsCommentsAndSurvivesOverlongLines) {
    std::string text =
        "# comment\n\n/dev/sdb1 /mnt/my\\040disk\\011x ext3 ro 1 2\n"
        "overlay /merged overlay " +
        std::string(20000, 'o') +
        " 0 0\n"
        "/dev/sdc1 /mnt/back\\134slash xfs rw\n";
    std::vector<MountTableEntry> entries;
    FILE* stream = ::fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(stream, nullptr);
    ReadMountEntries(stream, &entries);
    std::fclose(stream);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].fields, (Fields{"/dev/sdb1", "/mnt/my disk\tx", "ext3", "ro", "1", "2"}));
    EXPECT_EQ(entries[1].fields[1], "/merged");
    // The rest of the overlong line does not become an entry; missing numbers read as 0.
    EXPECT_EQ(entries[2].fields, (Fields{"/dev/sdc1", "/mnt/back\\slash", "xfs", "rw", "0", "0"}));
}

}  // namespace
}  // namespace kzvol
