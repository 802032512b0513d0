// kzvol rows, ls and find over a table written through the library: the exact
// text other tools parse, browsing, and refusals of unusable tables.
#include "host/CCreateUNIXFSTree.h"
#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

// / (2) holds docs/ (11) and a.txt; docs/ holds a name with every escaped
// character in it: a tab, a backslash, a newline and a carriage return.
std::string WriteSample(const std::string& base) {
    long long handle = 0;
    CCreateUNIXFSTree table;
    EXPECT_TRUE(table.Init(&handle) == 0 && table.Open(base.c_str()) == 0);
    EXPECT_EQ(table.Add(0, 2, 4096, 1700000000, 1, "/"), 0);
    EXPECT_EQ(table.Add(2, 11, 1024, 1700000001, 1, "docs"), 0);
    EXPECT_EQ(table.Add(11, 12, 5ull << 32, 86400, 0, "tab\tand\\slash\nline\r"), 0);
    EXPECT_TRUE(table.Add(2, 13, 3, 0, 0, "a.txt") == 0 && table.Close() == 0);
    return base;
}

TEST(CliTable, RowsLsFindAndRefusalsPrintExactly) {
    TempDir dir;
    const std::string base = WriteSample(dir.File("t")), damaged = WriteSample(dir.File("d")),
                      none = dir.File("none"), root = "0\t2\t4096\t1700000000\t1\t/\n",
                      tab = "11\t12\t21474836480\t86400\t0\ttab\\tand\\\\slash\\nline\\r\n",
                      aTxt = "-         13              3 1970-01-01 00:00:00 a.txt\n",
                      noEntry = ": no such entry in the table\n",
                      rows = root + "2\t11\t1024\t1700000001\t1\tdocs\n" + tab +
                             "2\t13\t3\t0\t0\ta.txt\n";
    std::string idx = ReadFile(damaged + ".idx");
    idx.back() ^= 1;  // a row chunk's checksum
    dir.Write("d.idx", idx);
    const struct {
        std::string args;
        int status;
        std::string out;
    } cases[] = {
        // Every row in table order, naming the table or one of its files.
        {"rows " + base, 0, rows},
        {"rows " + base + ".dat", 0, rows},
        // A directory sorted by name; a file lists itself.
        {"ls " + base, 0, aTxt + "d         11           1024 2023-11-14 22:13:21 docs/\n"},
        {"ls " + base + " /docs", 0,
         "-         12    21474836480 1970-01-02 00:00:00 tab\\tand\\\\slash\\nline\\r\n"},
        {"ls " + base + " a.txt", 0, aTxt},
        {"ls " + base + " /nope", 1, "kzvol: /nope" + noEntry},
        {"find " + base + " '/docs/tab\tand\\slash\nline\r'", 0, tab},
        {"find " + base + " /", 0, root},
        {"find " + base + " /a.txt/x", 1, "kzvol: /a.txt/x" + noEntry},
        {"find " + base, 2,
         "kzvol find: wants a table PATH (or a repository DIR) and a FILEPATH (see kzvol find "
         "--help)\n"},
        {"rows " + damaged, 1,
         "kzvol: " + damaged + ": the table is damaged: row chunk 0 fails its checksum\n"},
        {"ls " + none, 1,
         "kzvol: " + none + ": cannot open " + none + ".dat: No such file or directory\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Kz(c.status, c.args), c.out) << c.args;
}

}  // namespace
}  // namespace kzvol::testing
