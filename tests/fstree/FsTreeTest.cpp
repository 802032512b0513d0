// The file-index table: what goes in comes out (in table order, by directory, by
// path) in a layout fixed byte for byte, sorted in memory or spilled; the writer's
// life cycle; and damage, always noticed and refused with a reason.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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
using ::testing::HasSubstr;

uint32_t Crc(const std::string& bytes) {
    return Crc32c(0, bytes.data(), bytes.size());
}

unsigned char* Bytes(std::string& s) {
    return reinterpret_cast<unsigned char*>(s.data());
}

std::string Listing(const TempDir& dir) {
    std::string out;
    RunCommandLine("ls -A " + dir.path(), &out);
    return out;
}

void Begin(CCreateUNIXFSTree& table, const std::string& base) {
    static long long handle = 0;
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open(base.c_str()), 0);
}

void Fill(CCreateUNIXFSTree& table, const std::string& base, const std::vector<Row>& rows) {
    Begin(table, base);
    for (const Row& r : rows)
        ASSERT_EQ(table.Add(r.parent, r.inode, r.size, r.mtime, r.type, r.name.c_str()), 0);
    ASSERT_EQ(table.Close(), 0);
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
    EXPECT_EQ(Crc32cPortable(0, "123456789", 9), 0xE3069283u);
    std::mt19937 rng(3);
    std::string data(20000, '\0');
    for (char& c : data)
        c = static_cast<char>(rng());
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
    std::map<std::string, size_t> rowAt = {{"/", 0}};
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
        EXPECT_EQ(Find(reader, ""), rows[0]);
        EXPECT_EQ(Find(reader, "//etc/ssh//link-to-key"), rows[4]);
        EXPECT_EQ(Find(reader, "big.sparse"), rows[5]);
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
    std::vector<Row> rows = MixedOrderRows();
    ASSERT_EQ(rows.size(), 5302u);
    WriteTable(dir.File("memory"), rows);
    WriteTable(dir.File("spilled"), rows, 16000);
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

void Store(const TempDir& dir, const std::string& dat, const std::string& idx) {
    dir.Write("t.dat", dat);
    dir.Write("t.idx", idx);
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
    for (bool inIdx : {false, true}) {
        const std::string& original = inIdx ? idx : dat;
        for (size_t at = 0; at < original.size();
             at += (at < 64 || at + 256 >= original.size()) ? 1 : 101) {
            std::string bad = original;
            bad[at] ^= 0x20;
            Store(dir, inIdx ? dat : bad, inIdx ? bad : idx);
            EXPECT_NE(ReadEverything(dir), "") << inIdx << " byte " << at << " changed unnoticed";
        }
    }
    const size_t records = 502 * fstree::kRecordBytes;
    for (size_t at = fstree::kHeaderBytes; at < fstree::kHeaderBytes + records; at += 37) {
        std::string bad = idx;
        bad[at] ^= 0x20;
        Store(dir, dat, bad);
        EXPECT_THAT(ReadEverything(dir, kRows), HasSubstr("the table is damaged: index page"))
            << at;
    }
    std::string resealed = idx;  // the first record's inode changed
    unsigned char* p = Bytes(resealed) + fstree::kHeaderBytes;
    fstree::Put64(p + 16, fstree::Get64(p + 16) + 1);
    fstree::Put32(p + records, Crc32c(0, p, fstree::kPageBytes));
    Store(dir, dat, resealed);
    EXPECT_EQ(ReadEverything(dir, kRows),
              "the table is damaged: the index does not match the rows");

    const size_t nameLength = dat.size() - fstree::kRowFixedBytes - 4 + 29;  // of "f499"
    for (uint16_t length : {5, 60000, 0}) {
        std::string d = dat, i = idx;
        ASSERT_EQ(fstree::Get16(Bytes(d) + nameLength), 4);
        fstree::Put16(Bytes(d) + nameLength, length);
        // The last chunk's checksum is the last word of the .idx file.
        fstree::Put32(Bytes(i) + i.size() - 4,
                      Crc(d.substr(fstree::kHeaderBytes + fstree::kChunkBytes)));
        Store(dir, d, i);
        EXPECT_THAT(ReadEverything(dir), HasSubstr("the table is damaged")) << length;
        EXPECT_THAT(ReadEverything(dir, kLookups), ::testing::StartsWith("the table is damaged: "));
    }

    std::string v2 = dat;  // a later version, correctly sealed
    v2[8] = 2;
    fstree::Put32(Bytes(v2) + 60, Crc(v2.substr(0, 60)));
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
        {dat, ReadFile(other + ".dat"), "the .idx file is not a file-index table"},
        {v2, idx, "the .dat file has table version 2, this program reads version 1"}};
    for (const auto& c : cases) {
        Store(dir, c.dat, c.idx);
        EXPECT_EQ(ReadEverything(dir), c.reason);
    }
    Store(dir, dat, idx);
    EXPECT_EQ(ReadEverything(dir), "");
    ::unlink((base + ".idx").c_str());
    EXPECT_EQ(ReadEverything(dir), "cannot open " + base + ".idx: No such file or directory");
}

class FsTreeWriter : public ::testing::Test {
  protected:
    TempDir dir_;
    long long handle_ = 0;
    CCreateUNIXFSTree table_;
};

// Calls out of order are refused; a failed Open removes only what it created; refused
// rows do not poison the table; after Close the writer serves again, even in place.
TEST_F(FsTreeWriter, RefusesCallsOutOfOrderAndServesAgainAfterClose) {
    const std::string first = dir_.File("first"), second = dir_.File("second");
    EXPECT_EQ(table_.Add(0, 2, 0, 0, 1, "/"), EBADF);
    EXPECT_EQ(table_.Close(), EBADF);
    EXPECT_EQ(table_.Open(first.c_str()), EINVAL);  // no Init yet
    EXPECT_EQ(table_.Init(nullptr), EINVAL);
    ASSERT_EQ(table_.Init(&handle_), 0);
    EXPECT_EQ(table_.Open(nullptr), EINVAL);
    EXPECT_EQ(table_.Open(""), EINVAL);
    EXPECT_EQ(table_.Open(dir_.File("missing/t").c_str()), ENOENT);
    ASSERT_EQ(::mkdir(dir_.File("x.idx").c_str(), 0755), 0);  // the .dat can be created
    EXPECT_EQ(table_.Open(dir_.File("x").c_str()), EISDIR);
    ASSERT_EQ(::mkdir(dir_.File("z.dat").c_str(), 0755), 0);
    dir_.Write("z.idx", "someone else's");
    EXPECT_EQ(table_.Open(dir_.File("z").c_str()), EISDIR);
    EXPECT_EQ(ReadFile(dir_.File("z.idx")), "someone else's");
    EXPECT_EQ(Listing(dir_), "x.idx\nz.dat\nz.idx\n");
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
        Fill(table_, base, {{0, 2, 2, 2, 1, "two"}, {2, 3, 2, 2, 0, "three"}});
        ASSERT_EQ(Open(reader, base), "");
        EXPECT_EQ(reader.RowCount(), 2u) << base;
    }
}

// A write error is reported by every later Add and Close, which removes the table; a
// table being written reads as never closed; the writer's end removes it.
TEST_F(FsTreeWriter, UnfinishedTablesAreRemoved) {
    const int fds = OpenDescriptorCount();
    Begin(table_, dir_.File("t"));
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const struct rlimit small = {256 * 1024, old.rlim_max};
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
    EXPECT_EQ(Listing(dir_), "");

    auto local = std::make_unique<CCreateUNIXFSTree>();
    Begin(*local, dir_.File("t"));
    for (int i = 0; i < 50000; ++i)
        ASSERT_EQ(local->Add(2, 10 + i, 1, 1, 0, "file"), 0);
    EXPECT_EQ(Listing(dir_), "t.dat\nt.idx\n");
    UnixFsTreeReader reader;
    EXPECT_EQ(Open(reader, dir_.File("t")),
              "the table was never closed (its writer did not finish)");
    local.reset();
    EXPECT_EQ(Listing(dir_), "");
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

}  // namespace
}  // namespace kzvol::testing
