// kzvol rows, ls and find over a table written through the library: the exact
// text other tools parse, browsing, and refusals of unusable tables.
#include <gtest/gtest.h>

#include "host/CCreateUNIXFSTree.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

std::string Cli() {
    return KZVOL_CLI;
}

// / (2) holds docs/ (11) and a.txt; docs/ holds a name with a tab in it.
std::string WriteSample(const TempDir& dir) {
    std::string base = dir.File("t");
    long long handle = 0;
    CCreateUNIXFSTree table;
    EXPECT_EQ(table.Init(&handle), 0);
    EXPECT_EQ(table.Open(base.c_str()), 0);
    EXPECT_EQ(table.Add(0, 2, 4096, 1700000000, 1, "/"), 0);
    EXPECT_EQ(table.Add(2, 11, 1024, 1700000001, 1, "docs"), 0);
    EXPECT_EQ(table.Add(11, 12, 5ull << 32, 86400, 0, "tab\tand\\slash"), 0);
    EXPECT_EQ(table.Add(2, 13, 3, 0, 0, "a.txt"), 0);
    EXPECT_EQ(table.Close(), 0);
    return base;
}

int Kzvol(const std::string& args, std::string* out) {
    out->clear();
    return RunCommandLine(Cli() + " " + args + " 2>&1", out);
}

TEST(CliTable, RowsPrintsEveryRowInTableOrder) {
    TempDir dir;
    std::string base = WriteSample(dir), out;
    ASSERT_EQ(Kzvol("rows " + base, &out), 0);
    EXPECT_EQ(out,
              "0\t2\t4096\t1700000000\t1\t/\n"
              "2\t11\t1024\t1700000001\t1\tdocs\n"
              "11\t12\t21474836480\t86400\t0\ttab\\tand\\\\slash\n"
              "2\t13\t3\t0\t0\ta.txt\n");
    std::string viaFile;
    ASSERT_EQ(Kzvol("rows " + base + ".dat", &viaFile), 0);  // naming one of the files works too
    EXPECT_EQ(viaFile, out);
}

TEST(CliTable, LsListsADirectorySortedByName) {
    TempDir dir;
    std::string base = WriteSample(dir), out;
    ASSERT_EQ(Kzvol("ls " + base, &out), 0);
    EXPECT_EQ(out,
              "-         13              3 1970-01-01 00:00:00 a.txt\n"
              "d         11           1024 2023-11-14 22:13:21 docs/\n");
    ASSERT_EQ(Kzvol("ls " + base + " /docs", &out), 0);
    EXPECT_EQ(out, "-         12    21474836480 1970-01-02 00:00:00 tab\\tand\\\\slash\n");
    ASSERT_EQ(Kzvol("ls " + base + " a.txt", &out), 0);  // a file lists itself
    EXPECT_EQ(out, "-         13              3 1970-01-01 00:00:00 a.txt\n");
    EXPECT_EQ(Kzvol("ls " + base + " /nope", &out), 1);
    EXPECT_EQ(out, "kzvol: /nope: no such entry in the table\n");
}

TEST(CliTable, FindPrintsTheRowOfAPath) {
    TempDir dir;
    std::string base = WriteSample(dir), out;
    ASSERT_EQ(Kzvol("find " + base + " '/docs/tab\tand\\slash'", &out), 0);
    EXPECT_EQ(out, "11\t12\t21474836480\t86400\t0\ttab\\tand\\\\slash\n");
    ASSERT_EQ(Kzvol("find " + base + " /", &out), 0);
    EXPECT_EQ(out, "0\t2\t4096\t1700000000\t1\t/\n");
    EXPECT_EQ(Kzvol("find " + base + " /a.txt/x", &out), 1);
    EXPECT_EQ(out, "kzvol: /a.txt/x: no such entry in the table\n");
    EXPECT_EQ(Kzvol("find " + base, &out), 1);
    EXPECT_EQ(out, "kzvol: usage: kzvol find PATH FILEPATH\n");
}

TEST(CliTable, UnusableTablesFailWithTheReason) {
    TempDir dir;
    std::string base = WriteSample(dir), out;
    std::string idx = ReadFile(base + ".idx");
    idx[idx.size() - 1] ^= 1;  // a row chunk's checksum
    dir.Write("t.idx", idx);
    EXPECT_EQ(Kzvol("rows " + base, &out), 1);
    EXPECT_EQ(out, "kzvol: " + base + ": the table is damaged: row chunk 0 fails its checksum\n");
    EXPECT_EQ(Kzvol("ls " + dir.File("none"), &out), 1);
    EXPECT_EQ(out, "kzvol: " + dir.File("none") + ": cannot open " + dir.File("none") +
                       ".dat: No such file or directory\n");
}

}  // namespace
}  // namespace kzvol::testing
