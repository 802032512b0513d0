// The parser of one directory block on hand-made blocks.
#include "rdfd/DirBlock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kzvol::ext3 {
namespace {

struct Block {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(1024, 0);
    size_t pos = 0;
    // Appends a record; a negative `length` means just large enough.
    void Add(uint32_t inode, const std::string& name, uint8_t type, int length = -1) {
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
    }
};

// "name/inode/type" of each entry, then "end" or "bad": the status that ended the block.
std::vector<std::string> Parse(const Block& b) {
    DirBlockParser parser(b.bytes.data(), static_cast<uint32_t>(b.bytes.size()));
    std::vector<std::string> out;
    DirEntry e;
    DirEntryStatus status;
    while ((status = parser.Next(&e)) == DirEntryStatus::kEntry) {
        EXPECT_EQ(e.nameLen, std::strlen(e.name));
        out.push_back(std::string(e.name) + "/" + std::to_string(e.inode) + "/" +
                      std::to_string(e.fileType));
    }
    out.push_back(status == DirEntryStatus::kEnd ? "end" : "bad");
    return out;
}

TEST(DirBlockTest, BadRecordsStopTheBlock) {
    const std::vector<std::pair<uint16_t, int>> bad = {
        {0, 4}, {4, 4}, {10, 1}, {12, 5}, {2048, 4}, {1020, 4} /* past the end from 12 */};
    for (const auto& [recLen, nameLen] : bad) {
        Block b;
        b.Add(12, "keep", 1);
        b.Add(13, std::string(static_cast<size_t>(nameLen), 'x'), 1, recLen);
        EXPECT_EQ(Parse(b), (std::vector<std::string>{"keep/12/1", "bad"})) << recLen;
    }
    Block b;  // a header that does not fit in the 4 bytes left
    b.Add(12, "keep", 1, 1020);
    EXPECT_EQ(Parse(b), (std::vector<std::string>{"keep/12/1", "bad"}));
}

}  // namespace
}  // namespace kzvol::ext3
