// The file-index table: its checksumming writer; what goes in comes out (in
// table order, by directory, by path) and in a layout fixed byte for byte; the
// external sort; the writer's life cycle (calling order, reuse after Close,
// disposal of a table never closed, I/O failures); and damage: a table that is
// damaged, truncated, mismatched or of another version is refused with a
// reason, and no byte of either file can change what the reader reports without
// the reader noticing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fstream>
#include <map>
#include <optional>
#include <random>

#include "fstree/Crc32c.h"
#include "fstree/FsTreeFormat.h"
#include "fstree/FsTreeIo.h"
#include "fstree/UnixFsTreeReader.h"
#include "host/CCreateUNIXFSTree.h"
#include "host/Handles.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

using fstree::Row;

// Writes `rows` as a complete table at `base`; sortMemory 0 keeps the default.
void WriteTable(const std::string& base, const std::vector<Row>& rows, size_t sortMemory = 0) {
    long long handle = 0;
    CCreateUNIXFSTree table;
    if (sortMemory)
        table.SetSortMemory(sortMemory);
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open(base.c_str()), 0);
    for (const Row& r : rows)
        ASSERT_EQ(table.Add(r.parent, r.inode, r.size, r.mtime, r.type, r.name.c_str()), 0);
    ASSERT_EQ(table.Close(), 0);
}

std::vector<Row> AllRows(UnixFsTreeReader& reader) {
    std::vector<Row> rows;
    std::string error;
    EXPECT_TRUE(reader.ForEachRow([&](const Row& r) { return rows.push_back(r), true; }, &error))
        << error;
    return rows;
}

// The row at `path`, if any; a reader failure fails the test.
std::optional<Row> Find(UnixFsTreeReader& reader, const std::string& path) {
    Row row;
    bool found = false;
    std::string error;
    EXPECT_TRUE(reader.Resolve(path, &row, &found, &error)) << error;
    return found ? std::optional<Row>(row) : std::nullopt;
}

std::vector<std::string> ChildNames(UnixFsTreeReader& reader, uint64_t dir) {
    std::vector<Row> rows;
    std::string error;
    EXPECT_TRUE(reader.Children(dir, &rows, &error)) << error;
    std::vector<std::string> names;
    for (const Row& r : rows)
        names.push_back(r.name);
    return names;
}

TEST(Crc32c, KnownValueAndBothWaysAgree) {
    EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32cPortable(0, "123456789", 9), 0xE3069283u);
    std::mt19937 rng(3);
    std::string data(20000, '\0');
    for (char& c : data)
        c = static_cast<char>(rng());
    for (size_t start : {0, 1, 3, 7}) {
        for (size_t size : {0, 1, 2, 3, 5, 6, 7, 8, 9, 63, 3071, 3072, 4096, 16384, 19993}) {
            uint32_t whole = Crc32c(0, data.data() + start, size);
            EXPECT_EQ(whole, Crc32cPortable(0, data.data() + start, size)) << start << " " << size;
            // Continuing over two pieces gives the CRC of the whole.
            EXPECT_EQ(Crc32c(Crc32c(0, data.data() + start, size / 3),
                             data.data() + start + size / 3, size - size / 3),
                      whole);
        }
    }
}

// Pieces written through the buffer, filled in place, and larger than the whole
// buffer all land in the file in order, each unit of it checksummed once.
TEST(FsTreeIo, EveryWayInGivesTheSameBytesAndUnitChecksums) {
    TempDir dir;
    UniqueFd fd(::open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::write(fd.get(), "head", 4), 4);
    fstree::ChecksummedWriter out(fd.get(), 64, 100);
    out.StartWriteback();
    std::mt19937 rng(5);
    std::string expected;
    for (size_t size : {0, 10, 90, 1, 100, 99, 250, 7, 64, 500, 3}) {
        std::string piece(size, '\0');
        for (char& c : piece)
            c = static_cast<char>(rng());
        if (size % 2 && size <= 100) {
            unsigned char* p = out.Reserve(size);
            ASSERT_NE(p, nullptr);
            std::memcpy(p, piece.data(), size);
            out.Commit(size);
        } else {
            ASSERT_TRUE(out.Write(piece.data(), size));
        }
        expected += piece;
    }
    ASSERT_TRUE(out.Finish());
    EXPECT_EQ(out.bytes(), expected.size());
    EXPECT_EQ(ReadFile(dir.File("out")), "head" + expected);
    std::vector<uint32_t> units;
    for (size_t at = 0; at < expected.size(); at += 64)
        units.push_back(
            Crc32c(0, expected.data() + at, std::min<size_t>(64, expected.size() - at)));
    EXPECT_EQ(out.crcs(), units);
}

// Opens `base` with `reader`; the error, empty on success.
std::string Open(UnixFsTreeReader& reader, const std::string& base) {
    std::string error;
    return reader.Open(base, &error) ? "" : error;
}

// An empty table; then / (2) holding etc/ (11) with passwd and a deeper dir, a big
// sparse file, the longest name and an empty one, bytes that matter to text
// formats, repeated names (inode numbers can repeat when a walk crosses into
// another file system; the first added wins), a second root, and names whose
// hashes share their top bits, so that the index sort cannot spread them apart by
// those bits alone.
TEST(FsTree, RowsComeBackInTableOrderAndByDirectoryAndPath) {
    TempDir dir;
    UnixFsTreeReader reader;
    WriteTable(dir.File("empty"), {});
    ASSERT_EQ(Open(reader, dir.File("empty")), "");
    EXPECT_TRUE(AllRows(reader).empty());
    EXPECT_FALSE(Find(reader, "/"));

    std::vector<Row> rows = {{0, 2, 4096, 1700000000, 1, "/"},
                             {2, 11, 4096, 1700000001, 1, "etc"},
                             {11, 12, 1234, 1700000002, 0, "passwd"},
                             {11, 13, 1024, 1700000003, 1, "ssh"},
                             {13, 14, 7, 1700000004, 0, "link-to-key"},
                             {2, 15, 5ull << 32, 4294967295u, 0, "big.sparse"},
                             {2, 16, 0, 0, 0, std::string(4096, 'n')},
                             {2, 17, 0, 0, 7, "tab\there\nnew\\line \xff"},
                             {2, 18, 1, 0, 0, "a"},
                             {2, 19, 2, 0, 0, "a"},
                             {2, 20, 0, 0, 0, ""},
                             {0, 9, 0, 0, 1, "other-root"}};
    for (uint64_t i = 0; rows.size() < 50; ++i) {
        std::string name = "n" + std::to_string(i);
        if (fstree::NameHash(name.data(), name.size()) >> 27 == 0)
            rows.push_back({11, 100 + i, i, 0, 0, name});
    }
    WriteTable(dir.File("t"), rows);
    ASSERT_EQ(Open(reader, dir.File("t")), "");
    EXPECT_EQ(reader.RowCount(), rows.size());
    EXPECT_EQ(AllRows(reader), rows);  // reading every row checks the index's order
    EXPECT_EQ(ChildNames(reader, 13), (std::vector<std::string>{"link-to-key"}));
    EXPECT_EQ(ChildNames(reader, 2), (std::vector<std::string>{"etc", "big.sparse", rows[6].name,
                                                               rows[7].name, "a", "a", ""}));
    EXPECT_TRUE(ChildNames(reader, 12).empty());
    EXPECT_EQ(Find(reader, "/"), rows[0]);
    EXPECT_EQ(Find(reader, ""), rows[0]);
    EXPECT_EQ(Find(reader, "//etc/ssh//link-to-key"), rows[4]);
    EXPECT_EQ(Find(reader, "big.sparse"), rows[5]);
    EXPECT_EQ(Find(reader, "/" + std::string(4096, 'n')), rows[6]);
    EXPECT_EQ(Find(reader, "tab\there\nnew\\line \xff"), rows[7]);
    EXPECT_EQ(Find(reader, "/a"), rows[8]);
    EXPECT_EQ(Find(reader, "/etc/" + rows[30].name), rows[30]);
    // Missing names, a path through a file, a name of another directory.
    for (std::string missing : {"/etc/shadow", "/etc/passwd/x", "/passwd", "/etc/ssh/link"})
        EXPECT_FALSE(Find(reader, missing)) << missing;
}

// Many rows through a sort budget of a few records: the runs spill to disk and
// merge, and every lookup agrees with a plain map of the same rows. (That the
// index equals the one built in memory, the fixed layout below shows.)
TEST(FsTree, ExternalSortAgreesWithAMapOfTheRows) {
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
    std::string listing;  // the spilled runs leave nothing behind
    RunCommandLine("ls -A " + dir.path(), &listing);
    EXPECT_EQ(listing, "spilled.dat\nspilled.idx\n");

    UnixFsTreeReader reader;
    ASSERT_EQ(Open(reader, dir.File("spilled")), "");
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
    for (uint64_t d : dirs)
        EXPECT_EQ(ChildNames(reader, d), children[d]) << d;
    int resolved = 0;
    for (const auto& [key, inode] : first) {
        auto parentPath = pathOf.find(key.first);
        if (parentPath == pathOf.end())
            continue;
        auto row = Find(reader, parentPath->second + "/" + key.second);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->inode, inode);
        ++resolved;
    }
    EXPECT_GT(resolved, 1000);
}

// Rows in the orders the walkers produce them and worse: depth-first runs,
// batches that revisit earlier parents, one directory reported in many pieces
// and under few names, names long enough to cross row chunks, parents far out of
// order.
std::vector<Row> MixedOrderRows() {
    std::mt19937 rng(12);
    std::vector<Row> rows = {{0, 2, 4096, 1, 1, "/"}};
    uint64_t inode = 3;
    for (int dir = 0; dir < 40; ++dir) {
        // Every fifth stretch goes to directory 5, under a handful of names.
        uint64_t parent = dir % 7 == 3 ? 2 + rng() % 5000 : dir % 5 == 1 ? 5 : 2 + dir;
        for (int i = 0, n = static_cast<int>(rng() % 300); i < n; ++i) {
            std::string name = parent == 5 ? "same" + std::to_string(rng() % 3)
                                           : "e" + std::to_string(rng() % 200);
            name.append(parent == 5 ? 0 : rng() % 40, 'x');
            rows.push_back({parent, inode++, rng() % 100000, static_cast<uint32_t>(rng()),
                            static_cast<uint8_t>(rng() % 3 == 0), name});
        }
    }
    return rows;
}

// CRC-32C of a table file with its header's table id and header checksum left
// out: the only bytes that differ between two tables of the same rows.
uint32_t TableDigest(const std::string& path) {
    std::string bytes = ReadFile(path);
    EXPECT_GE(bytes.size(), fstree::kHeaderBytes);
    bytes.replace(24, 8, 8, '\0');
    bytes.replace(60, 4, 4, '\0');
    return Crc32c(0, bytes.data(), bytes.size());
}

// The layout is fixed: these rows have always given exactly these files, with
// the index built in memory or through spilled runs.
TEST(FsTree, LayoutOfKnownRowsNeverChanges) {
    TempDir dir;
    std::vector<Row> rows = MixedOrderRows();
    ASSERT_EQ(rows.size(), 5302u);
    WriteTable(dir.File("memory"), rows);
    WriteTable(dir.File("spilled"), rows, 16000);
    for (const char* base : {"memory", "spilled"}) {
        EXPECT_EQ(TableDigest(dir.File(base) + ".dat"), 1328738843u) << base;
        EXPECT_EQ(TableDigest(dir.File(base) + ".idx"), 3626552610u) << base;
    }
}

// A root, a directory (11) and `files` files spread over the two.
std::vector<Row> Files(int files) {
    std::vector<Row> rows = {{0, 2, 4096, 100, 1, "/"}, {2, 11, 4096, 101, 1, "dir"}};
    for (int i = 0; i < files; ++i)
        rows.push_back({i % 2 ? 2u : 11u, 100u + i, static_cast<uint64_t>(i), 102, 0,
                        "f" + std::to_string(i)});
    return rows;
}

void Store(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Text(const Row& r) {
    return std::to_string(r.parent) + " " + std::to_string(r.inode) + " " + std::to_string(r.size) +
           " " + std::to_string(r.mtime) + " " + std::to_string(r.type) + " " + r.name + "\n";
}

// Everything the reader can report about the table, or the first error.
struct Outcome {
    bool ok = true;
    std::string error, text;
};

Outcome ReadEverything(const std::string& base) {
    Outcome out;
    UnixFsTreeReader reader;
    Row row;
    bool found = false;
    std::vector<Row> children;
    out.ok = reader.Open(base, &out.error) &&
             reader.ForEachRow([&](const Row& r) { return out.text += Text(r), true; }, &out.error);
    for (const char* path : {"/", "/dir", "/dir/f0", "/f1", "/dir/f40"}) {
        if ((out.ok = out.ok && reader.Resolve(path, &row, &found, &out.error)))
            out.text += std::string(path) + (found ? " -> " + Text(row) : " missing\n");
    }
    for (uint64_t d : {2, 11}) {
        if ((out.ok = out.ok && reader.Children(d, &children, &out.error))) {
            for (const Row& c : children)
                out.text += "child " + Text(c);
        }
    }
    return out;
}

TEST(FsTreeDamage, FlippedBytesAnywhereAreNoticed) {
    TempDir dir;
    std::string base = dir.File("t");
    WriteTable(base, Files(500));  // four index pages, two row chunks
    Outcome good = ReadEverything(base);
    ASSERT_TRUE(good.ok) << good.error;
    for (const char* suffix : {".dat", ".idx"}) {
        std::string path = base + suffix;
        const std::string original = ReadFile(path);
        // Every byte of the headers and of the checksum tables at the end of the
        // .idx file, and a sample of the rest (the same checksums guard it all).
        for (size_t at = 0; at < original.size();
             at += (at < 64 || at + 256 >= original.size()) ? 1 : 101) {
            std::string bad = original;
            bad[at] = static_cast<char>(bad[at] ^ 0x20);
            Store(path, bad);
            Outcome o = ReadEverything(base);
            EXPECT_FALSE(o.ok) << suffix << " byte " << at << " changed unnoticed";
            if (o.ok) {
                EXPECT_EQ(o.text, good.text);
            }
        }
        Store(path, original);
    }
    EXPECT_TRUE(ReadEverything(base).ok);
}

// Reading every row reads the index too: a flipped byte in any index page, or an
// index resealed with a record that matches no row, fails the read of the rows.
TEST(FsTreeDamage, ReadingTheRowsChecksTheIndex) {
    TempDir dir;
    std::string base = dir.File("t");
    WriteTable(base, Files(500));
    const std::string idx = ReadFile(base + ".idx");
    auto rowsAlone = [&](const std::string& i) {
        Store(base + ".idx", i);
        UnixFsTreeReader reader;
        std::string error;
        if (!reader.Open(base, &error))
            return error;
        return reader.ForEachRow([](const Row&) { return true; }, &error) ? "" : error;
    };
    ASSERT_EQ(rowsAlone(idx), "");
    const size_t records = 502 * fstree::kRecordBytes;
    for (size_t at = fstree::kHeaderBytes; at < fstree::kHeaderBytes + records; at += 37) {
        std::string bad = idx;
        bad[at] = static_cast<char>(bad[at] ^ 0x20);
        EXPECT_NE(rowsAlone(bad).find("the table is damaged: index page"), std::string::npos) << at;
    }
    // The inode of the first record changed, its page's checksum recomputed.
    std::string resealed = idx;
    auto* p = reinterpret_cast<unsigned char*>(resealed.data());
    const size_t inodeAt = fstree::kHeaderBytes + 16;
    fstree::Put64(p + inodeAt, fstree::Get64(p + inodeAt) + 1);
    fstree::Put32(p + fstree::kHeaderBytes + records,
                  Crc32c(0, p + fstree::kHeaderBytes, fstree::kPageBytes));
    EXPECT_EQ(rowsAlone(resealed), "the table is damaged: the index does not match the rows");
}

TEST(FsTreeDamage, RefusalsSayWhy) {
    TempDir dir;
    std::string base = dir.File("t"), other = dir.File("o");
    WriteTable(base, Files(10));
    WriteTable(other, Files(10));
    const std::string dat = ReadFile(base + ".dat"), idx = ReadFile(base + ".idx");
    auto refusal = [&](const std::string& d, const std::string& i) {
        Store(base + ".dat", d);
        Store(base + ".idx", i);
        Outcome o = ReadEverything(base);
        EXPECT_FALSE(o.ok);
        return o.error;
    };
    const std::string sizes =
        "the table is damaged: its files do not have the sizes their headers give";
    const struct {
        std::string dat, idx, reason;
    } cases[] = {
        {dat.substr(0, dat.size() - 1), idx, sizes},
        {dat, idx + "x", sizes},
        {dat, ReadFile(other + ".idx"), "the .dat and .idx files belong to different tables"},
        {dat.substr(0, 10), idx, "the .dat file is too short to be a file-index table"},
        {std::string(dat.size(), '\0'), idx, "the .dat file is not a file-index table"},
        {dat, ReadFile(other + ".dat"), "the .idx file is not a file-index table"}};
    for (const auto& c : cases)
        EXPECT_EQ(refusal(c.dat, c.idx), c.reason);
    // A later version, correctly sealed.
    std::string v2 = dat;
    v2[8] = 2;
    uint32_t crc = Crc32c(0, v2.data(), 60);
    fstree::Put32(reinterpret_cast<unsigned char*>(v2.data()) + 60, crc);
    EXPECT_EQ(refusal(v2, idx), "the .dat file has table version 2, this program reads version 1");
    ::unlink((base + ".idx").c_str());
    UnixFsTreeReader reader;
    EXPECT_EQ(Open(reader, base), "cannot open " + base + ".idx: No such file or directory");
}

// Lengths inside rows are checked even when the checksums were recomputed to
// match: a name length reaching past the rows is refused, not followed.
TEST(FsTreeDamage, ResealedBadLengthsAreRefused) {
    TempDir dir;
    std::string base = dir.File("t");
    WriteTable(base, Files(3));
    std::string dat = ReadFile(base + ".dat"), idx = ReadFile(base + ".idx");
    size_t lastRow = dat.size() - fstree::kRowFixedBytes - 2;  // the row named "f2"
    for (uint16_t length : {uint16_t{3}, uint16_t{60000}, uint16_t{0}}) {
        std::string d = dat;
        auto* p = reinterpret_cast<unsigned char*>(d.data());
        ASSERT_EQ(fstree::Get16(p + lastRow + 29), 2);
        fstree::Put16(p + lastRow + 29, length);
        // One chunk: its checksum is the last word of the .idx file.
        std::string i = idx;
        fstree::Put32(reinterpret_cast<unsigned char*>(i.data()) + i.size() - 4,
                      Crc32c(0, p + fstree::kHeaderBytes, d.size() - fstree::kHeaderBytes));
        Store(base + ".dat", d);
        Store(base + ".idx", i);
        Outcome o = ReadEverything(base);
        EXPECT_FALSE(o.ok) << length;
        EXPECT_NE(o.error.find("the table is damaged"), std::string::npos) << o.error;
        // The same row reached through the index rather than in table order.
        UnixFsTreeReader reader;
        std::string error;
        std::vector<Row> children;
        ASSERT_TRUE(reader.Open(base, &error)) << error;
        EXPECT_FALSE(reader.Children(11, &children, &error));
        EXPECT_EQ(error.rfind("the table is damaged: ", 0), 0u) << length << " " << error;
    }
}

class FsTreeWriter : public ::testing::Test {
  protected:
    // Init, then Open at File(name).
    void Start(const std::string& name) {
        ASSERT_EQ(table_.Init(&handle_), 0);
        ASSERT_EQ(table_.Open(dir_.File(name).c_str()), 0);
    }
    std::string Listing() const {
        std::string out;
        RunCommandLine("ls -A " + dir_.path(), &out);
        return out;
    }
    TempDir dir_;
    long long handle_ = 0;
    CCreateUNIXFSTree table_;
};

// Calls out of order are refused; refused rows do not poison the table; after
// Close the writer serves again, over a fresh path and over the first table's.
TEST_F(FsTreeWriter, RefusesCallsOutOfOrderAndServesAgainAfterClose) {
    std::string first = dir_.File("first"), second = dir_.File("second");
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, "/"), EBADF);
    EXPECT_EQ(table_.Close(), EBADF);
    EXPECT_EQ(table_.Open(first.c_str()), EINVAL);  // no Init yet
    EXPECT_EQ(table_.Init(nullptr), EINVAL);
    ASSERT_EQ(table_.Init(&handle_), 0);
    EXPECT_EQ(table_.Open(nullptr), EINVAL);
    EXPECT_EQ(table_.Open(""), EINVAL);
    EXPECT_EQ(Listing(), "");
    ASSERT_EQ(table_.Open(first.c_str()), 0);
    EXPECT_EQ(table_.Open(first.c_str()), EBUSY);
    EXPECT_EQ(table_.Init(&handle_), EBUSY);
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, nullptr), EINVAL);
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, std::string(4097, 'a').c_str()), ENAMETOOLONG);
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, "/"), 0);
    EXPECT_EQ(table_.Close(), 0);
    EXPECT_EQ(table_.Close(), EBADF);
    EXPECT_EQ(handle_, 0);  // the caller's handle is only passed, never needed
    UnixFsTreeReader reader;
    ASSERT_EQ(Open(reader, first), "");
    EXPECT_EQ(reader.RowCount(), 1u);
    for (const std::string& base : {second, first}) {
        ASSERT_EQ(table_.Init(&handle_), 0);
        ASSERT_EQ(table_.Open(base.c_str()), 0);
        ASSERT_EQ(table_.Add(0, 2, 2, 2, 1, "two"), 0);
        ASSERT_EQ(table_.Add(2, 3, 2, 2, 0, "three"), 0);
        ASSERT_EQ(table_.Close(), 0);
    }
    for (const std::string& base : {first, second}) {
        ASSERT_EQ(Open(reader, base), "");
        EXPECT_EQ(reader.RowCount(), 2u) << base;
    }
}

// A table being written reads as never closed; destroyed while open, the writer
// removes both files and keeps no descriptor.
TEST_F(FsTreeWriter, DestroyedWhileOpenRemovesBothFiles) {
    int fds = OpenDescriptorCount();
    {
        CCreateUNIXFSTree local;
        ASSERT_EQ(local.Init(&handle_), 0);
        ASSERT_EQ(local.Open(dir_.File("t").c_str()), 0);
        for (int i = 0; i < 50000; ++i)
            ASSERT_EQ(local.Add(2, 10 + i, 1, 1, 0, "file"), 0);
        EXPECT_EQ(Listing(), "t.dat\nt.idx\n");
        UnixFsTreeReader reader;
        EXPECT_EQ(Open(reader, dir_.File("t")),
                  "the table was never closed (its writer did not finish)");
    }
    EXPECT_EQ(Listing(), "");
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

TEST_F(FsTreeWriter, OpenFailureLeavesNoFile) {
    ASSERT_EQ(table_.Init(&handle_), 0);
    EXPECT_EQ(table_.Open(dir_.File("missing/t").c_str()), ENOENT);
    // The .dat file can be created but the .idx cannot: a directory is in the way.
    ASSERT_EQ(::mkdir(dir_.File("x.idx").c_str(), 0755), 0);
    EXPECT_EQ(table_.Open(dir_.File("x").c_str()), EISDIR);
    EXPECT_EQ(Listing(), "x.idx\n");
    // A file that is not ours is never removed: here the .dat cannot be created,
    // and the .idx of the same name belongs to someone else.
    ASSERT_EQ(::mkdir(dir_.File("z.dat").c_str(), 0755), 0);
    dir_.Write("z.idx", "someone else's");
    EXPECT_EQ(table_.Open(dir_.File("z").c_str()), EISDIR);
    EXPECT_EQ(ReadFile(dir_.File("z.idx")), "someone else's");
    ASSERT_EQ(::rmdir(dir_.File("z.dat").c_str()), 0);
    ::unlink(dir_.File("z.idx").c_str());
    // The object is still usable.
    EXPECT_EQ(table_.Open(dir_.File("y").c_str()), 0);
    EXPECT_EQ(table_.Close(), 0);
}

// A write error while rows are added is kept: every later Add and Close report
// it, and Close removes the unfinished table_.
TEST_F(FsTreeWriter, WriteFailureIsStickyAndCloseDisposes) {
    Start("t");
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 256 * 1024;
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = 0;
    for (int i = 0; i < 100000 && rc == 0; ++i)
        rc = table_.Add(2, 10 + i, 1, 1, 0, "some-file-name");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(rc, EFBIG);
    EXPECT_EQ(table_.Add(2, 1, 1, 1, 0, "more"), EFBIG);
    EXPECT_EQ(table_.Close(), EFBIG);
    EXPECT_EQ(Listing(), "");
}

}  // namespace
}  // namespace kzvol::testing
