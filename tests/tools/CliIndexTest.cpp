// kzvol index on small real images made with mke2fs -d, checked against what
// debugfs says about the same image; and the refusals, which leave no file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/Kzvol.h"
#include "tests/support/ReaderTestSupport.h"

namespace kzvol::testing {
namespace {

// An image of the reader's test tree (every kind of object it reports or skips,
// and a directory big enough to use its indirect block) by mke2fs -t TYPE.
std::string TreeImage(const TempDir& dir, const std::string& type, int blockSize) {
    const std::string image = dir.File(type + "-" + std::to_string(blockSize) + ".img");
    if (::access(dir.File("src").c_str(), F_OK) != 0)
        BuildTree(dir.File("src"), 1400);
    MakeImage(dir.File("src"), image, type, blockSize, 24 << 10, "-N 4096");
    return image;
}

// The rows the index must hold, as debugfs sees the image, as sorted text lines;
// with `namesOnly`, sizes and times of all but directories are 0.
std::vector<std::string> OracleRows(const std::string& image, const std::string& rootName,
                                    bool namesOnly = false) {
    std::vector<std::string> rows;
    for (const Row& r : DebugfsRows(image, rootName)) {
        const bool bare = namesOnly && !r.isDir;
        rows.push_back(std::to_string(r.parent) + "\t" + std::to_string(r.inode) + "\t" +
                       std::to_string(bare ? 0 : r.size) + "\t" +
                       std::to_string(bare ? 0 : r.mtime) + "\t" + (r.isDir ? "1" : "0") + "\t" +
                       r.name);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Runs kzvol; returns the exit status with standard output in *out and
// standard error in *err.
int Kzvol(const TempDir& dir, const std::string& args, std::string* out, std::string* err) {
    out->clear();
    int rc = RunCommandLine(Cli() + " " + args + " 2>" + dir.File("stderr"), out);
    *err = ReadFile(dir.File("stderr"));
    return rc;
}

// The rows of the table, sorted.
std::vector<std::string> TableRows(const TempDir& dir, const std::string& table) {
    std::string out, err;
    EXPECT_EQ(Kzvol(dir, "rows " + table, &out, &err), 0) << err;
    std::vector<std::string> rows = Split(out);
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Both walkers list exactly what debugfs lists (on every kind of image: the
// reader's own WalkerOracleTest), the summary counts what was written, and only
// a terminal gets a progress line.
TEST(CliIndex, RowsEqualWhatDebugfsSees) {
    TempDir dir;
    const std::string image = TreeImage(dir, "ext3", 4096), table = dir.File("t");
    const std::vector<std::string> expected = OracleRows(image, "/");
    ASSERT_GT(expected.size(), 1400u);
    const size_t dirs = std::count_if(expected.begin(), expected.end(), [](const std::string& r) {
        return Split(r, '\t').at(4) == "1";
    });
    for (const char* walker : {"", " --optimized"}) {
        std::string out, err;
        ASSERT_EQ(Kzvol(dir, "index " + image + " --table " + table + walker, &out, &err), 0)
            << err;
        EXPECT_TRUE(TableRows(dir, table) == expected) << walker;
        EXPECT_NE(out.find("type: ext3\nentries: " + std::to_string(expected.size()) +
                           "\ndirectories: " + std::to_string(dirs) +
                           "\nfiles: " + std::to_string(expected.size() - dirs) + "\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(err, "");  // no terminal, no progress line
    }
    std::string out;
    const std::string command = Cli() + " index " + image + " --table " + table;
    ASSERT_EQ(RunCommandLine("script -qec '" + command + " >/dev/null' /dev/null", &out), 0) << out;
    EXPECT_NE(out.find("\rindexing: 1024 entries, "), std::string::npos) << out;
}

// Options reach the reader; a volume-information file that cannot be written
// fails the run and leaves the device it named in place.
TEST(CliIndex, OptionsReachTheReader) {
    TempDir dir;
    std::string image = TreeImage(dir, "ext3", 1024), out, err, table = dir.File("t");
    ASSERT_EQ(Kzvol(dir,
                    "index " + image + " --table " + table + " --names-only --root-name /srv " +
                        "--volinfo " + dir.File("vi") + " --extent-size 65536 --acl 1",
                    &out, &err),
              0)
        << err;
    // Names only: the hard-linked file is listed under both names, its link count unread.
    std::vector<std::string> expected = OracleRows(image, "/srv", true);
    for (const char* name : {"h1", "h2"})
        expected.push_back(std::to_string(InodeOf(image, "/")) + "\t" +
                           std::to_string(InodeOf(image, std::string("/") + name)) + "\t0\t0\t0\t" +
                           name);
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(TableRows(dir, table) == expected);
    std::string info = ReadFile(dir.File("vi"));
    EXPECT_EQ(info.rfind("extentsize=65536 \n", 0), 0u) << info;
    EXPECT_NE(info.find("\nblocksize=1024 \n"), std::string::npos) << info;
    EXPECT_NE(info.find("\naclenabled=1 \nselinuxlabels=0 \nfstype=ext3\n"), std::string::npos);
    // The table browses like the tree it came from.
    ASSERT_EQ(Kzvol(dir, "find " + table + " /a.txt", &out, &err), 0) << err;
    EXPECT_EQ(out.substr(out.size() - 11), "\t0\t0\ta.txt\n");
    ASSERT_EQ(Kzvol(dir, "ls " + table + " /level0/level1", &out, &err), 0) << err;
    EXPECT_EQ(Split(out).size(), 1u) << out;

    EXPECT_EQ(Kzvol(dir, "index " + image + " --table " + dir.File("u") + " --volinfo /dev/full",
                    &out, &err),
              1);
    EXPECT_NE(err.find("; the reader says: SYSTEM\tDump File Write failed\n"), std::string::npos)
        << err;
    EXPECT_EQ(RunCommandLine("test -c /dev/full"), 0);
    EXPECT_EQ(RunCommandLine("test -e " + dir.File("u.dat")), 1);
}

// Failures say in words what went wrong, followed by the reader's own text, and
// leave the table and the volume information as they were, with nothing beside them.
TEST(CliIndex, RefusalsLeaveTheOutputsAsTheyWere) {
    TempDir dir;
    std::string src = dir.File("src");
    ASSERT_EQ(RunCommandLine("mkdir -p " + src + "/x"), 0);
    std::string ext4 = dir.File("ext4.img"), zero = dir.File("zero.img");
    ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext4 -d " + src + " " + ext4 + " 8M 2>&1"), 0);
    ASSERT_EQ(RunCommandLine("truncate -s 8M " + zero), 0);
    struct Case {
        std::string args, message;
        int status = 1;
    };
    std::string t = " --table " + dir.File("t") + " --volinfo " + dir.File("vi");
    auto refusal = [](const std::string& image, const std::string& reader) {
        return "kzvol: cannot index " + image + ": " + image +
               " holds no ext2/ext3 file system the directory reader can walk (it is another "
               "type, empty or damaged; e2fsck -fn " +
               image + " tells more); the reader says: " + reader + "\n";
    };
    for (const char* name : {"t.dat", "t.idx", "vi"})
        dir.Write(name, std::string("old ") + name);
    for (const Case& c : std::vector<Case>{
             {ext4 + t, refusal(ext4, "FS\t Fs is ext4")},
             {ext4 + t + " --optimized", refusal(ext4, "FS\t Fs is ext4")},
             {zero + t, refusal(zero, "FS\tFs is not ext3 / empty or swap partition")},
             {dir.File("absent") + t,
              "kzvol: cannot open " + dir.File("absent") + ": No such file or directory\n"},
             {zero + " --table " + dir.File("no/such/dir/t"), "kzvol: cannot create the table " +
                                                                  dir.File("no/such/dir/t") +
                                                                  ": No such file or directory\n"},
             {zero + t + " --acl 2",
              "kzvol index: --acl and --selinux take 0 or 1, --extent-size at most 4294967295 "
              "(see kzvol index --help)\n",
              2},
         }) {
        std::string out, err;
        EXPECT_EQ(Kzvol(dir, "index " + c.args, &out, &err), c.status) << c.args;
        EXPECT_EQ(err, c.message);
        EXPECT_EQ(out, "");
        std::string listing;
        RunCommandLine("ls -A " + dir.path(), &listing);
        EXPECT_EQ(listing, "ext4.img\nsrc\nstderr\nt.dat\nt.idx\nvi\nzero.img\n") << c.args;
        for (const char* name : {"t.dat", "t.idx", "vi"})
            EXPECT_EQ(ReadFile(dir.File(name)), std::string("old ") + name);
    }
}

}  // namespace
}  // namespace kzvol::testing
