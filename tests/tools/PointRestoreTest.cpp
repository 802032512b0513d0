// kzvol restore --path, ls and find on a repository: files of every shape restored
// from a point equal what debugfs dumps; a tree keeps its hard links, links and
// FIFOs; a damaged extent, a missing index and a path not in it are refused.
#include <sys/stat.h>

#include <filesystem>

#include "host/ShellQuote.h"
#include "tests/tools/PointRepository.h"

namespace kzvol::testing {
namespace {

namespace fs = std::filesystem;

class PointRestore : public ::testing::TestWithParam<uint64_t> {};

TEST_P(PointRestore, FilesOfEveryShapeEqualWhatDebugfsDumpsAndRefusalsNameTheCause) {
    TempDir dir;
    PointRepository point(dir, GetParam());
    ASSERT_FALSE(HasFailure());
    const std::string restore = "restore " + point.repo() + " --path ";
    std::vector<Shape> shapes = Shapes(GetParam());
    // /dir/sub dir/second name has two names: not in the index.
    shapes.insert(shapes.end(), {{"/dir/changed", {}, 0}, {"/dir/sub dir/second name", {}, 0}});
    int n = 0;
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.path);
        const std::string to = dir.File("restored" + std::to_string(++n));
        point.Run(0, restore + ShellQuote(shape.path) + " --to " + to);
        struct stat mine, theirs;
        ASSERT_EQ(::stat(to.c_str(), &mine), 0);
        if (shape.path == "/dir/triple") {  // too sparse to dump: against the tree's file
            EXPECT_TRUE(uint64_t(mine.st_size) == shape.size && mine.st_blocks * 512 < 1 << 20);
            for (const auto& [offset, length] : shape.pieces)
                Sh(0, "cmp -i " + std::to_string(offset) + " -n " + std::to_string(length) + " " +
                          to + " " + dir.File("tree") + shape.path);
            continue;
        }
        const std::string dumped = dir.File("dumped" + std::to_string(n));
        Sh(0,
           "debugfs -R 'dump -p \"" + shape.path + "\" " + dumped + "' " + point.image() + " 2>&1");
        EXPECT_EQ(ReadFile(to), ReadFile(dumped));
        ASSERT_EQ(::stat(dumped.c_str(), &theirs), 0);
        // debugfs leaves out the set-id and sticky bits, which the restore keeps.
        EXPECT_EQ(mine.st_mode & ~07000, theirs.st_mode);
        EXPECT_TRUE(mine.st_mtime == theirs.st_mtime && mine.st_uid == theirs.st_uid);
        EXPECT_TRUE(shape.path != "/dir/sparse" || mine.st_blocks < theirs.st_blocks)
            << "holes were written out";
    }

    // Links, short and long, and a whole tree with its hard link and FIFO.
    const std::string link = dir.File("link"), tree = dir.File("whole");
    point.Run(0, restore + "/dir/long --to " + link);
    EXPECT_EQ(fs::read_symlink(link), std::string(300, 'L'));
    point.Run(0, restore + "/ --to " + tree);
    EXPECT_EQ(fs::read_symlink(tree + "/short"), "small");
    EXPECT_EQ(fs::status(tree + "/small").permissions(), fs::perms(04750));
    EXPECT_TRUE(fs::equivalent(tree + "/one block", tree + "/dir/sub dir/second name"));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(tree + "/dir/fifo")));
    EXPECT_EQ(ReadFile(tree + "/dir/..dots"), "dots\n");  // a name, not the parent
    EXPECT_EQ(ReadFile(tree + "/dir/changed"), "the file as it is now\n");
    // A tree never replaces anything.
    EXPECT_THAT(point.Run(1, restore + "/dir --to " + tree),
                HasSubstr("exists; a directory is restored only to a new name"));

    EXPECT_THAT(point.Run(0, "ls " + point.repo() + " --backup 000002 /dir"),
                HasSubstr(" changed\n"));
    point.Run(1, "ls " + point.repo() + " --backup 000001 /dir/changed");
    EXPECT_THAT(point.Run(0, "find " + point.repo() + " /dir/changed"), HasSubstr("\t22\t"));
    if (GetParam() != 1024)
        return;

    const std::string x = " --to " + dir.File("x");
    EXPECT_THAT(point.Run(1, restore + "/nothing" + x),
                HasSubstr("/nothing is not in the file index of backup 000002"));
    point.Run(0, "backup /dev/qnbf/qnbf0 --incremental --repo " + point.repo() + " --cow-dir " +
                     dir.path());
    EXPECT_THAT(point.Run(1, restore + "/small" + x), HasSubstr("backup 000003 has no file index"));

    // Damage the full backup's extent under a data block of one file.
    const uint64_t extent = std::stoull(Sh(0, "debugfs -R 'bmap \"/single end\" 20' " +
                                                  point.image() + " 2>/dev/null")) *
                            1024 / 65536;
    DamageExtent(point.repo(), "000001", extent);
    const std::string target = dir.Write("target", "the user's file");
    EXPECT_THAT(point.Run(1, restore + "'/single end' --backup 000001 --to " + target),
                HasSubstr("extent " + std::to_string(extent) + " of backup 000001 does not"));
    EXPECT_EQ(ReadFile(target), "the user's file");
    EXPECT_THAT(Sh(0, "ls -A " + dir.path()), Not(HasSubstr("kzvol-restore")));
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, PointRestore, ::testing::Values(1024, 4096));

}  // namespace
}  // namespace kzvol::testing
