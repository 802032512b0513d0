// kzvol restore --path, ls and find on a repository: files of every shape,
// restored from the incremental point without restoring the image, equal what
// debugfs dumps of the same file system; a tree keeps its hard links, links and
// FIFOs; a damaged extent, a missing index and a path not in it are refused
// naming what is wrong.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/tools/PointRepository.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

std::string LinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

// The pieces of a sparse file the image cannot be dumped for: size, holes kept,
// and the bytes of its pieces against the tree's file.
void ExpectSameSparse(const std::string& restored, const std::string& source, const Shape& shape) {
    struct stat st;
    ASSERT_EQ(::stat(restored.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), shape.size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "holes were written out";
    std::ifstream a(restored, std::ios::binary), b(source, std::ios::binary);
    for (const auto& [offset, length] : shape.pieces) {
        std::string x(length, '\0'), y(length, '\0');
        a.seekg(static_cast<std::streamoff>(offset)).read(x.data(), length);
        b.seekg(static_cast<std::streamoff>(offset)).read(y.data(), length);
        EXPECT_EQ(x, y) << shape.path << " at " << offset;
    }
}

class PointRestore : public ::testing::TestWithParam<uint64_t> {};

TEST_P(PointRestore, FilesOfEveryShapeEqualWhatDebugfsDumps) {
    TempDir dir;
    PointRepository point(dir, GetParam());
    ASSERT_TRUE(point.ok()) << point.why();
    std::vector<Shape> shapes = Shapes(GetParam());
    shapes.push_back({"/dir/changed", {}, 0});
    shapes.push_back({"/dir/sub dir/second name", {}, 0});  // two names: not in the index
    int n = 0;
    for (const Shape& shape : shapes) {
        const std::string to = dir.File("restored" + std::to_string(++n));
        std::string out;
        ASSERT_EQ(
            point.Run("restore " + point.repo() + " --path " + Quoted(shape.path) + " --to " + to,
                      &out),
            0)
            << shape.path << ": " << out;
        if (shape.path == "/dir/triple") {
            ExpectSameSparse(to, dir.File("tree") + shape.path, shape);
            continue;
        }
        const std::string dumped = point.Dump(shape.path, dir.File("dumped" + std::to_string(n)));
        EXPECT_EQ(ReadFile(to), ReadFile(dumped)) << shape.path;
        struct stat mine, theirs;
        ASSERT_EQ(::stat(to.c_str(), &mine), 0);
        ASSERT_EQ(::stat(dumped.c_str(), &theirs), 0) << shape.path;
        // debugfs leaves out the set-id and sticky bits, which the restore keeps.
        EXPECT_EQ(mine.st_mode & ~07000, theirs.st_mode) << shape.path;
        EXPECT_EQ(mine.st_mtime, theirs.st_mtime) << shape.path;
        EXPECT_EQ(mine.st_uid, theirs.st_uid) << shape.path;
        if (shape.path == "/dir/sparse") {
            EXPECT_LT(mine.st_blocks, theirs.st_blocks) << "holes were written out";
        }
    }

    // Links, short and long, and a whole tree with its hard link and FIFO.
    std::string out;
    const std::string link = dir.File("link"), tree = dir.File("whole");
    ASSERT_EQ(point.Run("restore " + point.repo() + " --path /dir/long --to " + link, &out), 0)
        << out;
    EXPECT_EQ(LinkTarget(link), std::string(300, 'L'));
    ASSERT_EQ(point.Run("restore " + point.repo() + " --path / --to " + tree, &out), 0) << out;
    EXPECT_EQ(LinkTarget(tree + "/short"), "small");
    struct stat small;
    ASSERT_EQ(::stat((tree + "/small").c_str(), &small), 0);
    EXPECT_EQ(small.st_mode & 07777, 04750u);
    struct stat first, second, fifo;
    ASSERT_EQ(::stat((tree + "/one block").c_str(), &first), 0);
    ASSERT_EQ(::stat((tree + "/dir/sub dir/second name").c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    ASSERT_EQ(::lstat((tree + "/dir/fifo").c_str(), &fifo), 0);
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(ReadFile(tree + "/dir/..dots"), "dots\n");  // a name, not the parent
    EXPECT_EQ(ReadFile(tree + "/dir/changed"), "the file as it is now\n");
    // A tree never replaces anything.
    EXPECT_EQ(point.Run("restore " + point.repo() + " --path /dir --to " + tree, &out), 1);
    EXPECT_NE(out.find("exists; a directory is restored only to a new name"), npos) << out;

    // ls and find take the repository and a backup.
    ASSERT_EQ(point.Run("ls " + point.repo() + " --backup 000002 /dir", &out), 0) << out;
    EXPECT_NE(out.find(" changed\n"), npos) << out;
    EXPECT_EQ(point.Run("ls " + point.repo() + " --backup 000001 /dir/changed", &out), 1);
    ASSERT_EQ(point.Run("find " + point.repo() + " /dir/changed", &out), 0) << out;
    EXPECT_NE(out.find("\t22\t"), npos) << out;
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, PointRestore, ::testing::Values(1024, 4096));

TEST(PointRestoreRefusals, DamageMissingIndexAndUnknownPaths) {
    TempDir dir;
    PointRepository point(dir, 1024);
    ASSERT_TRUE(point.ok()) << point.why();
    std::string out;
    EXPECT_EQ(point.Run("restore " + point.repo() + " --path /nothing --to " + dir.File("x"), &out),
              1);
    EXPECT_NE(out.find("/nothing is not in the file index of backup 000002"), npos) << out;
    ASSERT_EQ(point.Run("backup /dev/qnbf/qnbf0 --incremental --repo " + point.repo() +
                            " --cow-dir " + dir.path(),
                        &out),
              0)
        << out;
    EXPECT_EQ(point.Run("restore " + point.repo() + " --path /small --to " + dir.File("x"), &out),
              1);
    EXPECT_NE(out.find("backup 000003 has no file index"), npos) << out;

    // Damage the full backup's extent under a data block of one file.
    out.clear();
    ASSERT_EQ(RunCommandLine(
                  "debugfs -R 'bmap \"/single end\" 20' " + point.image() + " 2>/dev/null", &out),
              0);
    const uint64_t block = std::stoull(out), extent = block * 1024 / 65536;
    DamageExtent(point.repo(), "000001", extent);
    const std::string target = dir.Write("target", "the user's file");
    EXPECT_EQ(point.Run("restore " + point.repo() + " --backup 000001 --path '/single end' --to " +
                            target,
                        &out),
              1);
    EXPECT_NE(out.find("extent " + std::to_string(extent) + " of backup 000001 does not"), npos)
        << out;
    EXPECT_EQ(ReadFile(target), "the user's file");
    out.clear();
    EXPECT_EQ(RunCommandLine("ls -A " + dir.path() + " | grep -c kzvol-restore", &out), 1) << out;
}

}  // namespace
}  // namespace kzvol::testing
