// kzvol index on a block device: the rows equal what the kernel shows of the
// same file system mounted read-only, and what the image file gives.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

class CliIndexSystem : public SystemTest {};

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        f.push_back(field);
    return f;
}

// Rows as the mounted tree shows them: directories, and regular files and links
// with one name; the mount point is the root row, named "/".
std::vector<std::string> MountedRows(const std::string& mnt) {
    std::string out;
    EXPECT_EQ(RunCommandLine("find " + mnt + " -printf '%p\\t%h\\t%i\\t%s\\t%T@\\t%y\\t%n\\t%f\\n'",
                             &out),
              0);
    std::map<std::string, std::string> inodeOf;  // path -> inode
    std::vector<std::vector<std::string>> entries;
    for (const std::string& line : SortedLines(out)) {
        std::vector<std::string> f = Split(line);
        if (f.size() != 8)
            continue;
        inodeOf[f[0]] = f[2];
        entries.push_back(f);
    }
    std::vector<std::string> rows;
    for (const auto& f : entries) {
        bool dir = f[5] == "d", root = f[0] == mnt;
        if (!dir && !((f[5] == "f" || f[5] == "l") && f[6] == "1"))
            continue;
        std::string mtime = f[4].substr(0, f[4].find('.'));
        rows.push_back((root ? "0" : inodeOf[f[1]]) + "\t" + f[2] + "\t" + f[3] + "\t" + mtime +
                       "\t" + (dir ? "1" : "0") + "\t" + (root ? "/" : f[7]));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST_F(CliIndexSystem, BlockDeviceRowsEqualTheMountedTree) {
    TempDir dir;
    ASSERT_EQ(RunCommandLine("cd " + dir.path() +
                             " && mkdir -p src/a/b src/c && printf 1 > src/a/f && "
                             "printf 22 > src/c/g && ln src/c/g src/a/g2 && ln -s f src/a/l && "
                             "mkfifo src/p && truncate -s 5G src/a/big && "
                             "for i in $(seq 300); do : > src/c/n$i; done"),
              0);
    std::string image = dir.File("fs.img");
    ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext3 -d " + dir.File("src") + " " + image +
                             " 16M 2>/dev/null"),
              0);
    LoopDevice loop(image, true);
    ASSERT_TRUE(loop.ok()) << loop.error();

    std::string out, fromDevice, fromImage;
    std::string cli = std::string(KZVOL_CLI);
    ASSERT_EQ(RunCommandLine(cli + " index " + loop.path() + " --table " + dir.File("dev"), &out),
              0)
        << out;
    ASSERT_EQ(RunCommandLine(cli + " rows " + dir.File("dev"), &fromDevice), 0);
    ASSERT_EQ(RunCommandLine(cli + " index " + image + " --table " + dir.File("img"), &out), 0);
    ASSERT_EQ(RunCommandLine(cli + " rows " + dir.File("img"), &fromImage), 0);
    EXPECT_EQ(fromDevice, fromImage);
    ASSERT_GT(SortedLines(fromDevice).size(), 300u);

    std::string mnt = dir.File("mnt");
    ASSERT_EQ(RunCommandLine("mkdir " + mnt), 0);
    ScopedMount mount(loop.path(), mnt, "ext3", MS_RDONLY);
    ASSERT_TRUE(mount.ok()) << mount.error();
    EXPECT_EQ(SortedLines(fromDevice), MountedRows(mnt));
}

}  // namespace
}  // namespace kzvol::testing
