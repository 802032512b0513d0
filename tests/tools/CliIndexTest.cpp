// kzvol index on mke2fs -d images against debugfs, and its refusals; rows, ls and
// find over a table written through the library, in the exact text tools parse.
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "host/CCreateUNIXFSTree.h"
#include "tests/support/ReaderTestSupport.h"
#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

// debugfs's rows of the image as sorted text; `namesOnly` zeroes non-directory sizes and times.
std::vector<std::string> OracleRows(const std::string& image, const std::string& rootName,
                                    bool namesOnly = false) {
    std::vector<std::string> rows;
    for (const Row& r : DebugfsRows(image, rootName)) {
        const bool bare = namesOnly && !r.isDir;
        rows.push_back(std::to_string(r.parent) + "\t" + std::to_string(r.inode) + "\t" +
                       (bare ? "0\t0" : std::to_string(r.size) + "\t" + std::to_string(r.mtime)) +
                       (r.isDir ? "\t1\t" : "\t0\t") + r.name);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Only a terminal gets a progress line. (Both walkers on every kind of image: WalkerOracleTest.)
TEST(CliIndex, RowsEqualWhatDebugfsSeesAndOptionsReachTheReader) {
    TempDir dir;
    const std::string image = dir.File("fs.img"), table = dir.File("t"),
                      index = "index " + image + " --table " + table,
                      rows = Cli() + " rows " + table + " | LC_ALL=C sort";
    BuildTree(dir.File("src"), 1400);
    MakeImage(dir.File("src"), image, "ext3", 1024, 24 << 10, "-N 4096");
    const std::vector<std::string> expected = OracleRows(image, "/");
    ASSERT_GT(expected.size(), 1400u);
    const size_t dirs = std::count_if(expected.begin(), expected.end(), [](const std::string& r) {
        return Split(r, '\t').at(4) == "1";
    });
    for (const char* walker : {"", " --optimized"}) {
        std::string err;
        EXPECT_THAT(KzErr(0, index + walker, &err),
                    HasSubstr("type: ext3\nentries: " + std::to_string(expected.size()) +
                              "\ndirectories: " + std::to_string(dirs) +
                              "\nfiles: " + std::to_string(expected.size() - dirs) + "\n"));
        EXPECT_EQ(err, "");  // no terminal, no progress line
        EXPECT_TRUE(Split(Sh(0, rows)) == expected) << walker;
    }
    EXPECT_THAT(Sh(0, "script -qec '" + Cli() + " " + index + " >/dev/null' /dev/null"),
                HasSubstr("\rindexing: 1024 entries, "));

    // Names only: the hard-linked file is listed under both names, its link count unread.
    Kz(0, index + " --names-only --root-name /srv --volinfo " + dir.File("vi") +
              " --extent-size 65536 --acl 1");
    std::vector<std::string> names = OracleRows(image, "/srv", true);
    for (const std::string name : {"h1", "h2"})
        names.push_back(std::to_string(InodeOf(image, "/")) + "\t" +
                        std::to_string(InodeOf(image, "/" + name)) + "\t0\t0\t0\t" + name);
    std::sort(names.begin(), names.end());
    EXPECT_TRUE(Split(Sh(0, rows)) == names);
    EXPECT_THAT(ReadFile(dir.File("vi")),
                AllOf(StartsWith("extentsize=65536 \n"), HasSubstr("\nblocksize=1024 \n"),
                      HasSubstr("\naclenabled=1 \nselinuxlabels=0 \nfstype=ext3\n")));
    EXPECT_THAT(Kz(0, "find " + table + " /a.txt"), ::testing::EndsWith("\t0\t0\ta.txt\n"));
    EXPECT_EQ(Split(Kz(0, "ls " + table + " /level0/level1")).size(), 1u);
    // A volume-information file that cannot be written fails the run, the device stays.
    EXPECT_THAT(Kz(1, "index " + image + " --table " + dir.File("u") + " --volinfo /dev/full"),
                HasSubstr("; the reader says: SYSTEM\tDump File Write failed\n"));
    Sh(0, "test -c /dev/full && ! test -e " + dir.File("u.dat"));
}

// Failures say what went wrong, then the reader's text, and leave the outputs alone.
TEST(CliIndex, RefusalsLeaveTheOutputsAsTheyWere) {
    TempDir dir;
    const std::string src = dir.File("src"), ext4 = dir.File("ext4.img"),
                      absent = dir.File("absent"), zero = dir.File("zero.img"),
                      t = " --table " + dir.File("t") + " --volinfo " + dir.File("vi");
    Sh(0, "mkdir -p " + src + "/x && mke2fs -q -F -t ext4 -d " + src + " " + ext4 +
              " 8M 2>&1 && truncate -s 8M " + zero + " && cd " + dir.path() +
              " && for f in t.dat t.idx vi; do echo old $f >$f; done");
    auto refusal = [](const std::string& image, const std::string& reader) {
        return "kzvol: cannot index " + image + ": " + image +
               " holds no ext2/ext3 file system the directory reader can walk (it is another "
               "type, empty or damaged; e2fsck -fn " +
               image + " tells more); the reader says: " + reader + "\n";
    };
    const std::tuple<std::string, std::string, int> cases[] = {
        {ext4 + t, refusal(ext4, "FS\t Fs is ext4"), 1},
        {ext4 + t + " --optimized", refusal(ext4, "FS\t Fs is ext4"), 1},
        {zero + t, refusal(zero, "FS\tFs is not ext3 / empty or swap partition"), 1},
        {absent + t, "kzvol: cannot open " + absent + ": No such file or directory\n", 1},
        {zero + " --table " + absent + "/t",
         "kzvol: cannot create the table " + absent + "/t: No such file or directory\n", 1},
        {zero + t + " --acl 2",
         "kzvol index: --acl and --selinux take 0 or 1, --extent-size at most "
         "4294967295 (see kzvol index --help)\n",
         2},
    };
    for (const auto& [args, message, status] : cases) {
        std::string err;
        EXPECT_EQ(KzErr(status, "index " + args, &err), "");
        EXPECT_EQ(err, message);
        EXPECT_EQ(Sh(0, "cd " + dir.path() + " && ls -A && cat t.dat t.idx vi"),
                  "ext4.img\nsrc\nt.dat\nt.idx\nvi\nzero.img\nold t.dat\nold t.idx\nold vi\n")
            << args;
    }
}

// / (2) holds docs/ (11) and a.txt; docs/ a name with every escaped character.
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
    const std::tuple<std::string, int, std::string> cases[] = {
        {"rows " + base, 0, rows},
        {"rows " + base + ".dat", 0, rows},
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
    for (const auto& [args, status, out] : cases)
        EXPECT_EQ(Kz(status, args), out) << args;
}

}  // namespace
}  // namespace kzvol::testing
