// The file-index table: what goes in comes out (in table order, by directory, by
// path) in a layout fixed byte for byte, sorted in memory or spilled; the writer's
// life cycle; and damage, always noticed and refused with a reason.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <map>
#include <memory>
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
using ::testing::Each;
using ::testing::HasSubstr;

uint32_t Crc(const std::string& bytes) {
    return Crc32c(0, bytes.data(), bytes.size());
}

unsigned char* Bytes(std::string& s) {
    return reinterpret_cast<unsigned char*>(s.data());
}

std::string Listing(const TempDir& dir) {
    return Sh(0, "ls -A " + dir.path());
}

// Opens `base` and adds `rows`; closes the table unless told not to.
void Fill(CCreateUNIXFSTree& table, const std::string& base, const std::vector<Row>& rows,
          bool close = true) {
    static long long handle = 0;
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open(base.c_str()), 0);
    for (const Row& r : rows)
        ASSERT_EQ(table.Add(r.parent, r.inode, r.size, r.mtime, r.type, r.name.c_str()), 0);
    ASSERT_EQ(close ? table.Close() : 0, 0);
}

// sortMemory 0 keeps the default.
void WriteTable(const std::string& base, const std::vector<Row>& rows, size_t sortMemory = 0) {
    CCreateUNIXFSTree table;
    if (sortMemory)
        table.SetSortMemory(sortMemory);
    Fill(table, base, rows);
}

std::string Open(UnixFsTreeReader& reader, const std::string& base) {
    std::string error;
    return reader.Open(base, &error) ? "" : error;
}

// The rows of table `base`, -1 when it does not open.
long RowsIn(const std::string& base) {
    UnixFsTreeReader reader;
    return Open(reader, base).empty() ? static_cast<long>(reader.RowCount()) : -1;
}

std::vector<Row> AllRows(UnixFsTreeReader& reader) {
    std::vector<Row> rows;
    std::string error;
    EXPECT_TRUE(reader.ForEachRow([&](const Row& r) { return rows.push_back(r), true; }, &error))
        << error;
    return rows;
}

std::optional<Row> Find(UnixFsTreeReader& reader, const std::string& path) {
    Row row;
    bool found = false;
    std::string error;
    EXPECT_TRUE(reader.Resolve(path, &row, &found, &error)) << error;
    return found ? std::optional<Row>(row) : std::nullopt;
}

std::vector<Row> Children(UnixFsTreeReader& reader, uint64_t dir) {
    std::vector<Row> rows;
    std::string error;
    EXPECT_TRUE(reader.Children(dir, &rows, &error)) << error;
    return rows;
}

// Both ways of CRC-32C agree at any start, size and split. Pieces written, filled in
// place or larger than the writer's buffer land in order, each unit checksummed once.
TEST(FsTreeIo, ChecksumsAgreeAndEveryWayInGivesTheSameBytes) {
    EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
    std::mt19937 rng(3);
    std::string data(20000, '\0');
    std::generate(data.begin(), data.end(), [&] { return static_cast<char>(rng()); });
    for (size_t start : {0, 1, 3, 7})
        for (size_t size : {0, 1, 2, 3, 5, 6, 7, 8, 9, 63, 3071, 3072, 4096, 16384, 19993}) {
            const char* p = data.data() + start;
            const uint32_t whole = Crc32c(0, p, size);
            EXPECT_EQ(whole, Crc32cPortable(0, p, size)) << start << " " << size;
            EXPECT_EQ(Crc32c(Crc32c(0, p, size / 3), p + size / 3, size - size / 3), whole);
        }
    TempDir dir;
    UniqueFd fd(::open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    fstree::ChecksummedWriter out(fd.get(), 64, 100);
    out.StartWriteback();
    std::string expected;
    for (size_t size : {0, 10, 90, 1, 100, 99, 250, 7, 64, 500, 3}) {
        const std::string piece = data.substr(expected.size(), size);
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
    EXPECT_EQ(ReadFile(dir.File("out")), expected);
    std::vector<uint32_t> units;
    for (size_t at = 0; at < expected.size(); at += 64)
        units.push_back(Crc(expected.substr(at, 64)));
    EXPECT_EQ(out.crcs(), units);
}

// Empty and longest names, bytes that matter to text formats, repeated names (the
// first added wins), a second root, names whose hashes share their top bits, and
// random rows; the index built in memory and through spilled runs that leave nothing.
TEST(FsTree, RowsComeBackInTableOrderAndByDirectoryAndPath) {
    TempDir dir;
    UnixFsTreeReader reader;
    WriteTable(dir.File("empty"), {});
    ASSERT_EQ(Open(reader, dir.File("empty")), "");
    EXPECT_TRUE(AllRows(reader).empty() && !Find(reader, "/"));

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
    std::mt19937 rng(7);
    std::vector<uint64_t> dirs = {2, 11};
    for (uint64_t ino = 10000; ino < 16000; ++ino) {
        const uint8_t isDir = rng() % 4 == 0;
        rows.push_back({dirs[rng() % dirs.size()], ino, ino * 3, static_cast<uint32_t>(ino), isDir,
                        "r" + std::to_string(isDir ? ino : rng() % 50)});
        if (isDir)
            dirs.push_back(ino);
    }
    // Children in table order; the row each path leads to.
    std::map<uint64_t, std::vector<Row>> children;
    std::map<uint64_t, std::string> pathOf = {{2, ""}};
    std::map<std::string, size_t> rowAt = {
        {"/", 0}, {"", 0}, {"//etc/ssh//link-to-key", 4}, {"big.sparse", 5}};
    for (size_t i = 1; i < rows.size(); ++i) {
        const Row& r = rows[i];
        children[r.parent].push_back(r);
        const std::string path = pathOf.count(r.parent) ? pathOf[r.parent] + "/" + r.name : "";
        if (!path.empty() && rowAt.emplace(path, i).second && r.type == 1)
            pathOf[r.inode] = path;
    }
    for (size_t sortMemory : {size_t{0}, 100 * sizeof(fstree::IndexRecord)}) {
        const std::string base = dir.File(sortMemory ? "spilled" : "memory");
        const int fds = OpenDescriptorCount();
        WriteTable(base, rows, sortMemory);
        EXPECT_EQ(OpenDescriptorCount(), fds);
        ASSERT_EQ(Open(reader, base), "");
        EXPECT_EQ(reader.RowCount(), rows.size());
        EXPECT_EQ(AllRows(reader), rows);  // reading every row checks the index's order
        for (const Row& r : rows)
            EXPECT_EQ(Children(reader, r.inode), children[r.inode]) << r.inode;
        for (const auto& [path, i] : rowAt)
            EXPECT_EQ(Find(reader, path), rows[i]) << path;
        // Missing names, a path through a file, a name of another directory or root.
        for (std::string missing :
             {"/etc/shadow", "/etc/passwd/x", "/passwd", "/etc/ssh/link", "/other-root"})
            EXPECT_FALSE(Find(reader, missing)) << missing;
    }
    EXPECT_EQ(Listing(dir),
              "empty.dat\nempty.idx\nmemory.dat\nmemory.idx\nspilled.dat\nspilled.idx\n");
}

// Rows in the walkers' orders and worse: depth-first runs, revisited parents, one
// directory (5) in many pieces, names crossing row chunks, parents far out of order.
std::vector<Row> MixedOrderRows() {
    std::mt19937 rng(12);
    std::vector<Row> rows = {{0, 2, 4096, 1, 1, "/"}};
    uint64_t inode = 3;
    for (int dir = 0; dir < 40; ++dir) {
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

// These rows always give these files, but for the table id and header checksum.
TEST(FsTree, LayoutOfKnownRowsNeverChanges) {
    TempDir dir;
    WriteTable(dir.File("memory"), MixedOrderRows());
    WriteTable(dir.File("spilled"), MixedOrderRows(), 16000);
    for (const char* base : {"memory", "spilled"})
        for (const auto& [suffix, digest] :
             {std::pair{".dat", 1328738843u}, std::pair{".idx", 3626552610u}}) {
            std::string bytes = ReadFile(dir.File(base) + suffix);
            EXPECT_EQ(Crc(bytes.replace(24, 8, 8, '\0').replace(60, 4, 4, '\0')), digest)
                << base << suffix;
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

enum Reads { kAll, kRows, kLookups };

// Reads table "t" in `dir`: the first error, empty when there is none.
std::string ReadEverything(const TempDir& dir, Reads reads = kAll) {
    UnixFsTreeReader reader;
    Row row;
    bool found = false;
    std::vector<Row> children;
    std::string error = Open(reader, dir.File("t"));
    bool ok = error.empty() &&
              (reads == kLookups || reader.ForEachRow([](const Row&) { return true; }, &error));
    for (const char* path : {"/", "/dir", "/dir/f0", "/f1", "/dir/f40"})
        ok = ok && (reads == kRows || reader.Resolve(path, &row, &found, &error));
    for (uint64_t d : {2, 11})
        ok = ok && (reads == kRows || reader.Children(d, &children, &error));
    return ok ? "" : error.empty() ? "refused without a reason" : error;
}

// Stores `dat` and `idx` as table "t" and reads it.
std::string ReadStored(const TempDir& dir, const std::string& dat, const std::string& idx,
                       Reads reads = kAll) {
    dir.Write("t.dat", dat);
    dir.Write("t.idx", idx);
    return ReadEverything(dir, reads);
}

// Flipped bytes (all in the headers and checksum tables, a sample elsewhere) are
// noticed, by reading the rows alone too, and so are bad records or lengths under
// recomputed checksums. Refusals say why.
TEST(FsTreeDamage, EveryDamageIsNoticedAndRefusalsSayWhy) {
    TempDir dir;
    const std::string base = dir.File("t"), other = dir.File("o");
    WriteTable(base, Files(500));  // four index pages, two row chunks
    WriteTable(other, Files(500));
    const std::string dat = ReadFile(base + ".dat"), idx = ReadFile(base + ".idx");
    ASSERT_EQ(ReadEverything(dir), "");
    const auto flip = [](std::string s, size_t at) { return s[at] ^= 0x20, s; };
    for (bool inIdx : {false, true}) {
        const std::string& original = inIdx ? idx : dat;
        for (size_t at = 0; at < original.size();
             at += (at < 64 || at + 256 >= original.size()) ? 1 : 101) {
            const std::string bad = flip(original, at);
            EXPECT_NE(ReadStored(dir, inIdx ? dat : bad, inIdx ? bad : idx), "") << inIdx << at;
        }
    }
    const size_t records = 502 * fstree::kRecordBytes;
    for (size_t at = fstree::kHeaderBytes; at < fstree::kHeaderBytes + records; at += 37) {
        EXPECT_THAT(ReadStored(dir, dat, flip(idx, at), kRows),
                    HasSubstr("the table is damaged: index page"))
            << at;
    }
    std::string resealed = idx;  // the first record's inode changed
    unsigned char* p = Bytes(resealed) + fstree::kHeaderBytes;
    fstree::Put64(p + 16, fstree::Get64(p + 16) + 1);
    fstree::Put32(p + records, Crc32c(0, p, fstree::kPageBytes));
    EXPECT_EQ(ReadStored(dir, dat, resealed, kRows),
              "the table is damaged: the index does not match the rows");

    const size_t nameLength = dat.size() - fstree::kRowFixedBytes - 4 + 29;  // of "f499"
    for (uint16_t length : {5, 60000, 0}) {
        std::string d = dat, i = idx;
        ASSERT_EQ(fstree::Get16(Bytes(d) + nameLength), 4);
        fstree::Put16(Bytes(d) + nameLength, length);
        // The last chunk's checksum is the last word of the .idx file.
        fstree::Put32(Bytes(i) + i.size() - 4,
                      Crc(d.substr(fstree::kHeaderBytes + fstree::kChunkBytes)));
        EXPECT_THAT(ReadStored(dir, d, i), HasSubstr("the table is damaged")) << length;
        EXPECT_THAT(ReadEverything(dir, kLookups), ::testing::StartsWith("the table is damaged: "));
    }

    std::string v2 = dat.substr(0, 8) + '\2' + dat.substr(9);  // a later version, sealed
    fstree::Put32(Bytes(v2) + 60, Crc(v2.substr(0, 60)));
    const std::string sizes =
        "the table is damaged: its files do not have the sizes their headers give";
    for (const auto& [d, i, reason] : std::vector<std::array<std::string, 3>>{
             {dat.substr(0, dat.size() - 1), idx, sizes},
             {dat, idx + "x", sizes},
             {dat, ReadFile(other + ".idx"), "the .dat and .idx files belong to different tables"},
             {dat.substr(0, 10), idx, "the .dat file is too short to be a file-index table"},
             {std::string(dat.size(), '\0'), idx, "the .dat file is not a file-index table"},
             {dat, ReadFile(other + ".dat"), "the .idx file is not a file-index table"},
             {v2, idx, "the .dat file has table version 2, this program reads version 1"}})
        EXPECT_EQ(ReadStored(dir, d, i), reason);
    EXPECT_EQ(ReadStored(dir, dat, idx), "");
    ::unlink((base + ".idx").c_str());
    EXPECT_EQ(ReadEverything(dir), "cannot open " + base + ".idx: No such file or directory");
}

// Calls out of order are refused; a failed Open removes only what it created; refused
// rows do not poison the table; after Close the writer serves again, even in place.
TEST(FsTreeWriter, RefusesCallsOutOfOrderAndServesAgainAfterClose) {
    TempDir dir;
    long long handle = 0;
    CCreateUNIXFSTree table;
    const std::string first = dir.File("first"), second = dir.File("second");
    EXPECT_THAT((std::vector<int>{table.Add(0, 2, 0, 0, 1, "/"), table.Close()}), Each(EBADF));
    EXPECT_THAT((std::vector<int>{table.Open(first.c_str()), table.Init(nullptr)}), Each(EINVAL));
    ASSERT_EQ(table.Init(&handle), 0);
    EXPECT_THAT((std::vector<int>{table.Open(nullptr), table.Open("")}), Each(EINVAL));
    EXPECT_EQ(table.Open(dir.File("missing/t").c_str()), ENOENT);
    ASSERT_EQ(::mkdir(dir.File("x.idx").c_str(), 0755), 0);  // the .dat can be created
    EXPECT_EQ(table.Open(dir.File("x").c_str()), EISDIR);
    ASSERT_EQ(::mkdir(dir.File("z.dat").c_str(), 0755), 0);
    dir.Write("z.idx", "someone else's");
    EXPECT_EQ(table.Open(dir.File("z").c_str()), EISDIR);
    EXPECT_EQ(ReadFile(dir.File("z.idx")), "someone else's");
    EXPECT_EQ(Listing(dir), "x.idx\nz.dat\nz.idx\n");
    ASSERT_EQ(table.Open(first.c_str()), 0);
    EXPECT_THAT((std::vector<int>{table.Open(first.c_str()), table.Init(&handle)}), Each(EBUSY));
    EXPECT_EQ(table.Add(0, 2, 0, 0, 1, nullptr), EINVAL);
    EXPECT_EQ(table.Add(0, 2, 0, 0, 1, std::string(4097, 'a').c_str()), ENAMETOOLONG);
    EXPECT_EQ(table.Add(0, 2, 0, 0, 1, "/"), 0);
    EXPECT_EQ(table.Close(), 0);
    EXPECT_EQ(table.Close(), EBADF);
    EXPECT_EQ(handle, 0);  // the caller's handle is only passed, never needed
    EXPECT_EQ(RowsIn(first), 1);
    for (const std::string& base : {second, first}) {
        Fill(table, base, {{0, 2, 2, 2, 1, "two"}, {2, 3, 2, 2, 0, "three"}});
        EXPECT_EQ(RowsIn(base), 2) << base;
    }
}

// A write error is reported by every later Add and Close, which removes the table; a
// table being written reads as never closed; the writer's end removes it.
TEST(FsTreeWriter, UnfinishedTablesAreRemoved) {
    TempDir dir;
    CCreateUNIXFSTree table;
    const int fds = OpenDescriptorCount();
    Fill(table, dir.File("t"), {}, false);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const struct rlimit small = {256 * 1024, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = 0;
    for (int i = 0; i < 100000 && rc == 0; ++i)
        rc = table.Add(2, 10 + i, 1, 1, 0, "some-file-name");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_THAT((std::vector<int>{rc, table.Add(2, 1, 1, 1, 0, "more"), table.Close()}),
                Each(EFBIG));
    EXPECT_EQ(Listing(dir), "");

    auto local = std::make_unique<CCreateUNIXFSTree>();
    Fill(*local, dir.File("t"), std::vector<Row>(50000, {2, 10, 1, 1, 0, "file"}), false);
    EXPECT_EQ(Listing(dir), "t.dat\nt.idx\n");
    EXPECT_EQ(ReadEverything(dir), "the table was never closed (its writer did not finish)");
    local.reset();
    EXPECT_EQ(Listing(dir), "");
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

}  // namespace
}  // namespace kzvol::testing
