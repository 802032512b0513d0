// The parser of one directory block on hand-made blocks.
#include "rdfd/DirBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kzvol::ext3 {
namespace {

struct Block {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(1024, 0);
    size_t pos = 0;
    // Appends a record; a negative `length` means just large enough.
    size_t Add(uint32_t inode, const std::string& name, uint8_t type, int length = -1) {
        const size_t at = pos;
        const auto recLen =
            static_cast<uint16_t>(length >= 0 ? length : (8 + name.size() + 3) / 4 * 4);
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<unsigned char>(inode >> (8 * i));
        bytes[at + 4] = recLen & 0xFF;
        bytes[at + 5] = recLen >> 8;
        bytes[at + 6] = static_cast<unsigned char>(name.size());
        bytes[at + 7] = type;
        std::copy(name.begin(), name.end(), bytes.begin() + at + 8);
        pos += recLen;
        return at;
    }
};

std::vector<std::string> Names(const Block& b, DirEntryStatus* last) {
    DirBlockParser parser(b.bytes.data(), static_cast<uint32_t>(b.bytes.size()));
    std::vector<std::string> names;
    DirEntry e;
    while ((*last = parser.Next(&e)) == DirEntryStatus::kEntry)
        names.push_back(e.name);
    return names;
}

TEST(DirBlockTest, EntriesInOrderUpToTheEnd) {
    Block b;
    b.Add(2, ".", 2);
    b.Add(2, "..", 2);
    b.Add(12, "file", 1);
    b.Add(13, std::string(255, 'n'), 7, static_cast<int>(1024 - b.pos));
    DirEntryStatus last;
    EXPECT_EQ(Names(b, &last),
              (std::vector<std::string>{".", "..", "file", std::string(255, 'n')}));
    EXPECT_EQ(last, DirEntryStatus::kEnd);

    DirBlockParser parser(b.bytes.data(), 1024);
    DirEntry e;
    ASSERT_EQ(parser.Next(&e), DirEntryStatus::kEntry);
    ASSERT_EQ(parser.Next(&e), DirEntryStatus::kEntry);
    ASSERT_EQ(parser.Next(&e), DirEntryStatus::kEntry);
    EXPECT_EQ(e.inode, 12u);
    EXPECT_EQ(e.fileType, 1);
    EXPECT_EQ(e.nameLen, 4);
}

TEST(DirBlockTest, BadRecordsStopTheBlock) {
    const std::vector<std::pair<uint16_t, int>> bad = {
        {0, 4}, {4, 4}, {10, 1}, {12, 5}, {2048, 4}, {1020, 4} /* past the end from 12 */};
    for (const auto& [recLen, nameLen] : bad) {
        Block b;
        b.Add(12, "keep", 1);
        b.Add(13, std::string(static_cast<size_t>(nameLen), 'x'), 1, recLen);
        DirEntryStatus last;
        EXPECT_EQ(Names(b, &last), (std::vector<std::string>{"keep"})) << recLen;
        EXPECT_EQ(last, DirEntryStatus::kBadRecord) << recLen;
    }
    // A header that does not fit in the bytes left.
    Block b;
    b.Add(12, "keep", 1, 1020);
    DirBlockParser parser(b.bytes.data(), 1024);
    DirEntry e;
    EXPECT_EQ(parser.Next(&e), DirEntryStatus::kEntry);
    EXPECT_EQ(parser.Next(&e), DirEntryStatus::kBadRecord);
}

}  // namespace
}  // namespace kzvol::ext3
