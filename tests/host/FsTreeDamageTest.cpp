// A file-index table that is damaged, truncated, mismatched or of another
// version is refused with a reason; no byte of either file can change what the
// reader reports without the reader noticing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "host/CCreateUNIXFSTree.h"
#include "host/Crc32c.h"
#include "host/FsTreeFormat.h"
#include "host/UnixFsTreeReader.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

using fstree::Row;

void WriteTable(const std::string& base, int files) {
    long long handle = 0;
    CCreateUNIXFSTree table;
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open(base.c_str()), 0);
    ASSERT_EQ(table.Add(0, 2, 4096, 100, 1, "/"), 0);
    ASSERT_EQ(table.Add(2, 11, 4096, 101, 1, "dir"), 0);
    for (int i = 0; i < files; ++i)
        ASSERT_EQ(table.Add(i % 2 ? 2 : 11, 100 + i, i, 102, 0, ("f" + std::to_string(i)).c_str()),
                  0);
    ASSERT_EQ(table.Close(), 0);
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
    auto fail = [&](bool good) {
        if (!good)
            out.ok = false;
        return good;
    };
    if (!fail(reader.Open(base, &out.error)))
        return out;
    if (!fail(
            reader.ForEachRow([&](const Row& r) { return out.text += Text(r), true; }, &out.error)))
        return out;
    Row row;
    bool found = false;
    for (const char* path : {"/", "/dir", "/dir/f0", "/f1", "/dir/f40"}) {
        if (!fail(reader.Resolve(path, &row, &found, &out.error)))
            return out;
        out.text += std::string(path) + (found ? " -> " + Text(row) : " missing\n");
    }
    for (uint64_t d : {2, 11}) {
        std::vector<Row> children;
        if (!fail(reader.Children(d, &children, &out.error)))
            return out;
        for (const Row& c : children)
            out.text += "child " + Text(c);
    }
    return out;
}

TEST(FsTreeDamage, FlippedBytesAnywhereAreNoticed) {
    TempDir dir;
    std::string base = dir.File("t");
    WriteTable(base, 500);  // four index pages, two row chunks
    Outcome good = ReadEverything(base);
    ASSERT_TRUE(good.ok) << good.error;
    for (const char* suffix : {".dat", ".idx"}) {
        std::string path = base + suffix;
        const std::string original = ReadFile(path);
        // Every byte of the headers and of the checksum tables at the end of the
        // .idx file, and a sample of the rest (the same checksums guard it all).
        for (size_t at = 0; at < original.size();
             at += (at < 64 || at + 256 >= original.size()) ? 1 : 29) {
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

TEST(FsTreeDamage, RefusalsSayWhy) {
    TempDir dir;
    std::string base = dir.File("t"), other = dir.File("o");
    WriteTable(base, 10);
    WriteTable(other, 10);
    const std::string dat = ReadFile(base + ".dat"), idx = ReadFile(base + ".idx");
    auto refusal = [&](const std::string& d, const std::string& i) {
        Store(base + ".dat", d);
        Store(base + ".idx", i);
        Outcome o = ReadEverything(base);
        EXPECT_FALSE(o.ok);
        return o.error;
    };
    EXPECT_EQ(refusal(dat.substr(0, dat.size() - 1), idx),
              "the table is damaged: its files do not have the sizes their headers give");
    EXPECT_EQ(refusal(dat, idx + "x"),
              "the table is damaged: its files do not have the sizes their headers give");
    EXPECT_EQ(refusal(dat, ReadFile(other + ".idx")),
              "the .dat and .idx files belong to different tables");
    EXPECT_EQ(refusal(dat.substr(0, 10), idx),
              "the .dat file is too short to be a file-index table");
    EXPECT_EQ(refusal(std::string(dat.size(), '\0'), idx),
              "the .dat file is not a file-index table");
    EXPECT_EQ(refusal(dat, ReadFile(other + ".dat")), "the .idx file is not a file-index table");
    // A later version, correctly sealed.
    std::string v2 = dat;
    v2[8] = 2;
    uint32_t crc = Crc32c(0, v2.data(), 60);
    fstree::Put32(reinterpret_cast<unsigned char*>(v2.data()) + 60, crc);
    EXPECT_EQ(refusal(v2, idx), "the .dat file has table version 2, this program reads version 1");
    ::unlink((base + ".idx").c_str());
    UnixFsTreeReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(base, &error));
    EXPECT_EQ(error, "cannot open " + base + ".idx: No such file or directory");
}

// Lengths inside rows are checked even when the checksums were recomputed to
// match: a name length reaching past the rows is refused, not followed.
TEST(FsTreeDamage, ResealedBadLengthsAreRefused) {
    TempDir dir;
    std::string base = dir.File("t");
    WriteTable(base, 3);
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

}  // namespace
}  // namespace kzvol::testing
