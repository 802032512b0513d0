// kzvol index on small real images made with mke2fs -d, checked against what
// debugfs says about the same image; and the refusals, which leave no file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tests/support/ReaderTestSupport.h"
#include "tests/support/Kzvol.h"

namespace kzvol::testing {
namespace {

// A source tree with what the reader must report and what it must leave out:
// nested and empty directories, a directory big enough to use its indirect
// block, 255-byte names, a sparse file over 4 GiB, symbolic links (short and
// long), a hard-linked file, a FIFO (and a device node when run as root).
// Every object gets its own mtime.
const char* kTreeScript = R"SH(set -e
mkdir -p src/etc/ssh src/big src/deep/a/b/c/d/e src/empty
for i in $(seq 1 1400); do printf x > src/big/entry-with-a-longish-name-$i; done
printf hello > src/etc/passwd
printf key > src/etc/ssh/key
printf two > src/etc/linked
ln src/etc/linked src/deep/a/linked-too
ln -s passwd src/etc/sym
ln -s "$(printf 't%.0s' $(seq 200))" src/etc/longsym
mkfifo src/fifo
mknod src/null c 1 3 2>/dev/null || true
dd if=/dev/zero of=src/sparse bs=1 count=1 seek=5368709120 2>/dev/null
touch "src/$(printf 'n%.0s' $(seq 255))"
mkdir "src/$(printf 'd%.0s' $(seq 255))"
n=1600000000
find src -depth | while read -r p; do n=$((n + 1)); touch -h -d @$n "$p"; done
)SH";

// Builds an image of the tree with mke2fs -t TYPE -b BLOCKSIZE.
std::string MakeImage(const TempDir& dir, const std::string& type, int blockSize) {
    std::string image = dir.File(type + "-" + std::to_string(blockSize) + ".img");
    if (::access(dir.File("src").c_str(), F_OK) != 0) {
        dir.Write("tree.sh", kTreeScript);
        EXPECT_EQ(RunCommandLine("cd " + dir.path() + " && sh tree.sh"), 0);
    }
    std::string out;
    EXPECT_EQ(RunCommandLine("mke2fs -q -F -t " + type + " -b " + std::to_string(blockSize) +
                                 " -N 4096 -d " + dir.File("src") + " " + image + " 24M 2>&1",
                             &out),
              0)
        << out;
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

std::vector<std::string> Fields(const std::string& row) {
    std::vector<std::string> f = Split(row, '\t');
    f.resize(6);
    return f;
}

// The rows of the table in table order, checked to come out in pre-order: each
// row's parent is a directory reported before it.
std::vector<std::string> TableRows(const TempDir& dir, const std::string& table) {
    std::string out, err;
    EXPECT_EQ(Kzvol(dir, "rows " + table, &out, &err), 0) << err;
    std::vector<std::string> rows = Split(out);
    std::set<std::string> seenDirs = {"0"};
    for (const std::string& r : rows) {
        std::vector<std::string> f = Fields(r);
        EXPECT_TRUE(seenDirs.count(f[0])) << "parent not reported before " << r;
        if (f[4] == "1")
            seenDirs.insert(f[1]);
    }
    return rows;
}

// The rows only one side has, marked "+" (table) or "-" (oracle); "" when the
// sorted table rows equal the expected ones.
std::string Difference(std::vector<std::string> table, const std::vector<std::string>& expected) {
    std::sort(table.begin(), table.end());
    std::vector<std::string> extra, missing;
    std::set_difference(table.begin(), table.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    std::set_difference(expected.begin(), expected.end(), table.begin(), table.end(),
                        std::back_inserter(missing));
    std::string out;
    for (size_t i = 0; i < extra.size() && i < 10; ++i)
        out += "+ " + extra[i] + "\n";
    for (size_t i = 0; i < missing.size() && i < 10; ++i)
        out += "- " + missing[i] + "\n";
    if (table.size() != expected.size())
        out += std::to_string(table.size()) + " rows, expected " + std::to_string(expected.size());
    return out;
}

// Both walkers on ext3 (1 KiB and 4 KiB blocks) and ext2 list exactly what
// debugfs lists, and the summary counts what was written.
TEST(CliIndex, RowsEqualWhatDebugfsSees) {
    TempDir dir;
    for (auto [type, blockSize] : {std::pair{"ext3", 1024}, {"ext3", 4096}, {"ext2", 4096}}) {
        SCOPED_TRACE(std::string(type) + " " + std::to_string(blockSize));
        std::string image = MakeImage(dir, type, blockSize);
        std::vector<std::string> expected = OracleRows(image, "/");
        ASSERT_GT(expected.size(), 1400u);
        for (const char* walker : {"", " --optimized"}) {
            std::string out, err, table = dir.File("t");
            ASSERT_EQ(Kzvol(dir, "index " + image + " --table " + table + walker, &out, &err), 0)
                << err;
            EXPECT_EQ(Difference(TableRows(dir, table), expected), "") << walker;
            size_t dirs = std::count_if(expected.begin(), expected.end(),
                                        [](const std::string& r) { return Fields(r)[4] == "1"; });
            EXPECT_NE(out.find("type: " + std::string(type) +
                               "\nentries: " + std::to_string(expected.size()) +
                               "\ndirectories: " + std::to_string(dirs) +
                               "\nfiles: " + std::to_string(expected.size() - dirs) + "\n"),
                      std::string::npos)
                << out;
            EXPECT_NE(out.find("device bytes read: "), std::string::npos);
            EXPECT_EQ(err, "");  // no terminal, no progress line
        }
    }
}

TEST(CliIndex, OptionsReachTheReader) {
    TempDir dir;
    std::string image = MakeImage(dir, "ext3", 1024), out, err, table = dir.File("t");
    ASSERT_EQ(Kzvol(dir,
                    "index " + image + " --table " + table + " --names-only --root-name /srv " +
                        "--volinfo " + dir.File("vi") + " --extent-size 65536 --acl 1",
                    &out, &err),
              0)
        << err;
    // Names only: the hard-linked file is listed under both names, its link count unread.
    std::vector<std::string> expected = OracleRows(image, "/srv", true);
    for (const char* path : {"/etc/linked", "/deep/a/linked-too"}) {
        const std::string p = path, parent = p.substr(0, p.rfind('/'));
        expected.push_back(std::to_string(InodeOf(image, parent)) + "\t" +
                           std::to_string(InodeOf(image, p)) + "\t0\t0\t0\t" +
                           p.substr(p.rfind('/') + 1));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Difference(TableRows(dir, table), expected), "");
    std::string info = ReadFile(dir.File("vi"));
    EXPECT_EQ(info.rfind("extentsize=65536 \n", 0), 0u) << info;
    EXPECT_NE(info.find("\nblocksize=1024 \n"), std::string::npos) << info;
    EXPECT_NE(info.find("\naclenabled=1 \nselinuxlabels=0 \nfstype=ext3\n"), std::string::npos);
    // The table browses like the tree it came from.
    ASSERT_EQ(Kzvol(dir, "find " + table + " /etc/ssh/key", &out, &err), 0) << err;
    EXPECT_EQ(out.substr(out.size() - 9), "\t0\t0\tkey\n");
    ASSERT_EQ(Kzvol(dir, "ls " + table + " /deep/a", &out, &err), 0) << err;
    EXPECT_EQ(Split(out).size(), 2u) << out;
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

// A volume-information file that cannot be written fails the run; the device it
// named is left in place.
TEST(CliIndex, UnwritableVolumeInformationFailsTheRun) {
    TempDir dir;
    std::string image = MakeImage(dir, "ext3", 1024), out, err;
    EXPECT_EQ(Kzvol(dir, "index " + image + " --table " + dir.File("t") + " --volinfo /dev/full",
                    &out, &err),
              1);
    const std::string tail = "; the reader says: SYSTEM\tDump File Write failed\n";
    ASSERT_GE(err.size(), tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
    EXPECT_EQ(RunCommandLine("test -c /dev/full"), 0);
    EXPECT_EQ(RunCommandLine("test -e " + dir.File("t.dat")), 1);
}

// On a terminal, long runs show a progress line on standard error.
TEST(CliIndex, ProgressOnlyOnATerminal) {
    TempDir dir;
    std::string image = MakeImage(dir, "ext3", 4096), out;
    std::string command = Cli() + " index " + image + " --table " + dir.File("t");
    ASSERT_EQ(RunCommandLine("script -qec '" + command + " >/dev/null' /dev/null", &out), 0) << out;
    EXPECT_NE(out.find("\rindexing: 1024 entries, "), std::string::npos) << out;
}

}  // namespace
}  // namespace kzvol::testing
