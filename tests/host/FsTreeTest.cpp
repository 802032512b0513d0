// The file-index table: what goes in comes out (in table order, by directory,
// by path), the writer's life cycle, the external sort, and damage detection.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <random>

#include "host/CCreateUNIXFSTree.h"
#include "host/Crc32c.h"
#include "host/FsTreeFormat.h"
#include "host/UnixFsTreeReader.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

using fstree::Row;

long long g_handle = 0;

// Writes `rows` as a complete table at `base`; sortMemory 0 keeps the default.
void WriteTable(const std::string& base, const std::vector<Row>& rows, size_t sortMemory = 0) {
    CCreateUNIXFSTree table;
    if (sortMemory)
        table.SetSortMemory(sortMemory);
    ASSERT_EQ(table.Init(&g_handle), 0);
    ASSERT_EQ(table.Open(base.c_str()), 0);
    for (const Row& r : rows)
        ASSERT_EQ(table.Add(r.parent, r.inode, r.size, r.mtime, r.type, r.name.c_str()), 0);
    ASSERT_EQ(table.Close(), 0);
}

std::vector<Row> AllRows(UnixFsTreeReader& reader) {
    std::vector<Row> rows;
    std::string error;
    EXPECT_TRUE(reader.ForEachRow(
        [&](const Row& r) {
            rows.push_back(r);
            return true;
        },
        &error))
        << error;
    return rows;
}

// A small tree: / (2) holding etc/ (11), a file with a 255-byte name, a big
// sparse file; etc/ holding passwd and a deeper dir.
std::vector<Row> SampleRows() {
    return {
        {0, 2, 4096, 1700000000, 1, "/"},
        {2, 11, 4096, 1700000001, 1, "etc"},
        {11, 12, 1234, 1700000002, 0, "passwd"},
        {11, 13, 1024, 1700000003, 1, "ssh"},
        {13, 14, 7, 1700000004, 0, "link-to-key"},
        {2, 15, 5ull << 32, 4294967295u, 0, "big.sparse"},
        {2, 16, 0, 0, 0, std::string(255, 'n')},
    };
}

std::vector<std::string> Names(const std::vector<Row>& rows) {
    std::vector<std::string> out;
    for (const Row& r : rows)
        out.push_back(r.name);
    return out;
}

TEST(Crc32c, KnownValueAndBothWaysAgree) {
    EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32cPortable(0, "123456789", 9), 0xE3069283u);
    std::mt19937 rng(3);
    std::string data(5000, '\0');
    for (char& c : data)
        c = static_cast<char>(rng());
    for (size_t start : {0, 1, 3, 7}) {
        for (size_t size : {0, 1, 7, 8, 9, 63, 4096, 4993 - 7}) {
            uint32_t whole = Crc32c(0, data.data() + start, size);
            EXPECT_EQ(whole, Crc32cPortable(0, data.data() + start, size)) << start << " " << size;
            // Continuing over two pieces gives the CRC of the whole.
            EXPECT_EQ(Crc32c(Crc32c(0, data.data() + start, size / 3),
                             data.data() + start + size / 3, size - size / 3),
                      whole);
        }
    }
}

TEST(FsTree, RowsComeBackInTableOrderAndByDirectoryAndPath) {
    TempDir dir;
    std::string base = dir.File("t");
    std::vector<Row> rows = SampleRows();
    WriteTable(base, rows);

    UnixFsTreeReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(base, &error)) << error;
    EXPECT_EQ(reader.RowCount(), rows.size());
    EXPECT_EQ(AllRows(reader), rows);

    std::vector<Row> children;
    ASSERT_TRUE(reader.Children(2, &children, &error)) << error;
    EXPECT_EQ(Names(children),
              (std::vector<std::string>{"etc", "big.sparse", std::string(255, 'n')}));
    ASSERT_TRUE(reader.Children(12, &children, &error));
    EXPECT_TRUE(children.empty());

    Row row;
    bool found = false;
    ASSERT_TRUE(reader.Resolve("/", &row, &found, &error));
    ASSERT_TRUE(found);
    EXPECT_EQ(row, rows[0]);
    ASSERT_TRUE(reader.Resolve("//etc/ssh//link-to-key", &row, &found, &error));
    ASSERT_TRUE(found);
    EXPECT_EQ(row, rows[4]);
    ASSERT_TRUE(reader.Resolve("big.sparse", &row, &found, &error));
    ASSERT_TRUE(found);
    EXPECT_EQ(row.size, 5ull << 32);
    ASSERT_TRUE(reader.Resolve("/" + std::string(255, 'n'), &row, &found, &error));
    EXPECT_TRUE(found);
    // Missing names, a path through a file, a name of another directory.
    for (std::string missing : {"/etc/shadow", "/etc/passwd/x", "/passwd", "/etc/ssh/link"}) {
        ASSERT_TRUE(reader.Resolve(missing, &row, &found, &error)) << error;
        EXPECT_FALSE(found) << missing;
    }
}

TEST(FsTree, EmptyTableAndOddNames) {
    TempDir dir;
    WriteTable(dir.File("empty"), {});
    UnixFsTreeReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(dir.File("empty"), &error)) << error;
    EXPECT_TRUE(AllRows(reader).empty());
    Row row;
    bool found = true;
    ASSERT_TRUE(reader.Resolve("/", &row, &found, &error));
    EXPECT_FALSE(found);

    // Empty names, the longest name taken, bytes that matter to text formats.
    std::vector<Row> rows = {{0, 2, 0, 0, 1, ""},
                             {2, 3, 0, 0, 0, std::string(4096, 'x')},
                             {2, 4, 0, 0, 7, "tab\there\nnew\\line \xff"}};
    WriteTable(dir.File("odd"), rows);
    ASSERT_TRUE(reader.Open(dir.File("odd"), &error)) << error;
    EXPECT_EQ(AllRows(reader), rows);
    ASSERT_TRUE(reader.Resolve("tab\there\nnew\\line \xff", &row, &found, &error));
    EXPECT_TRUE(found);
}

TEST(FsTree, DuplicateNamesResolveToTheFirstAdded) {
    TempDir dir;
    // Inode numbers can repeat when a walk crosses into another file system.
    std::vector<Row> rows = {{0, 2, 0, 0, 1, "/"},
                             {2, 5, 1, 0, 0, "a"},
                             {2, 6, 2, 0, 0, "a"},
                             {0, 9, 0, 0, 1, "other-root"}};
    WriteTable(dir.File("t"), rows);
    UnixFsTreeReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(dir.File("t"), &error));
    Row row;
    bool found = false;
    ASSERT_TRUE(reader.Resolve("/a", &row, &found, &error));
    EXPECT_EQ(row.inode, 5u);
    ASSERT_TRUE(reader.Resolve("", &row, &found, &error));
    EXPECT_EQ(row.name, "/");
}

// Many rows through a sort budget of a few records: the runs spill to disk and
// merge, and every lookup agrees with a plain map of the same rows.
TEST(FsTree, ExternalSortGivesTheSameIndexAsInMemory) {
    TempDir dir;
    std::mt19937 rng(7);
    std::vector<Row> rows = {{0, 2, 0, 0, 1, "/"}};
    std::vector<uint64_t> dirs = {2};
    std::map<std::pair<uint64_t, std::string>, uint64_t> first;  // (parent, name) -> inode
    for (uint64_t ino = 3; ino < 6000; ++ino) {
        uint64_t parent = dirs[rng() % dirs.size()];
        std::string name = "n" + std::to_string(rng() % 500);
        uint8_t type = rng() % 4 == 0;
        rows.push_back({parent, ino, ino * 3, static_cast<uint32_t>(ino), type, name});
        first.emplace(std::make_pair(parent, name), ino);
        if (type)
            dirs.push_back(ino);
    }
    int fds = OpenDescriptorCount();
    WriteTable(dir.File("spilled"), rows, 100 * sizeof(fstree::IndexRecord));
    EXPECT_EQ(OpenDescriptorCount(), fds);
    WriteTable(dir.File("memory"), rows);
    // The spilled runs leave nothing behind, and both indexes are byte for byte
    // the same apart from the table id in the headers.
    std::string listing;
    RunCommandLine("ls -A " + dir.path(), &listing);
    EXPECT_EQ(listing, "memory.dat\nmemory.idx\nspilled.dat\nspilled.idx\n");
    EXPECT_EQ(ReadFile(dir.File("spilled.idx")).substr(fstree::kHeaderBytes),
              ReadFile(dir.File("memory.idx")).substr(fstree::kHeaderBytes));

    UnixFsTreeReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(dir.File("spilled"), &error)) << error;
    EXPECT_EQ(AllRows(reader), rows);
    // Expected children (table order) and paths of the directories a path reaches.
    std::map<uint64_t, std::vector<std::string>> children;
    std::map<uint64_t, std::string> pathOf = {{2, ""}};
    for (size_t i = 1; i < rows.size(); ++i) {
        const Row& r = rows[i];
        children[r.parent].push_back(r.name);
        auto parentPath = pathOf.find(r.parent);
        if (r.type && parentPath != pathOf.end() && first[{r.parent, r.name}] == r.inode)
            pathOf[r.inode] = parentPath->second + "/" + r.name;
    }
    for (uint64_t d : dirs) {
        std::vector<Row> got;
        ASSERT_TRUE(reader.Children(d, &got, &error)) << error;
        EXPECT_EQ(Names(got), children[d]) << d;
    }
    int resolved = 0;
    for (const auto& [key, inode] : first) {
        auto parentPath = pathOf.find(key.first);
        if (parentPath == pathOf.end())
            continue;
        Row row;
        bool found = false;
        ASSERT_TRUE(reader.Resolve(parentPath->second + "/" + key.second, &row, &found, &error));
        ASSERT_TRUE(found);
        EXPECT_EQ(row.inode, inode);
        ++resolved;
    }
    EXPECT_GT(resolved, 1000);
}

}  // namespace
}  // namespace kzvol::testing
