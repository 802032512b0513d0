// Two indexed backups, through the memory-mode stand-in, of an ext3 image of a tree
// of every file shape a restore must keep: 000001 full, 000002 after debugfs changed
// a file. The image stays as 000002 saw it, for debugfs to dump.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "backup/Repository.h"
#include "tests/tools/CliRun.h"

namespace kzvol::testing {

// One file of the tree: its path, and where its data blocks go (holes between).
struct Shape {
    std::string path;
    std::vector<std::pair<uint64_t, uint64_t>> pieces;  // offset, length
    uint64_t size;
};

// Direct, single, double (at 4 KiB triple) indirect block boundaries for `blockSize`.
inline std::vector<Shape> Shapes(uint64_t blockSize) {
    const uint64_t p = blockSize / 4, b = blockSize;
    const uint64_t single = 12 * b, dbl = (12 + p) * b, triple = (12 + p + p * p) * b;
    std::vector<Shape> shapes = {
        {"/empty", {}, 0},
        {"/one block", {{0, b}}, b},
        {"/small", {{0, 100}}, 100},
        {"/direct end", {{0, single}}, single},
        {"/single start", {{0, single + 1}}, single + 1},
        {"/single end", {{0, dbl}}, dbl},
        {"/dir/double start", {{0, 10}, {dbl - 5, 6}}, dbl + 1},
        {"/dir/sparse", {{b / 2, 3 * b}, {40 * b, 7}}, 90 * b + 3},
        {"/dir/hole at end", {{0, 5}}, 3 * b},
        {"/dir/name with\nnewline", {{0, 33}}, 33},
    };
    if (blockSize >= 4096)  // past 4 GiB: only 4 KiB blocks keep the image small
        shapes.push_back(
            {"/dir/triple", {{0, 1}, {triple - 1, 2}, {(5ull << 30) - 3, 3}}, 5ull << 30});
    return shapes;
}

class PointRepository {
  public:
    // Builds it all in `dir`; a step that fails fails the test.
    PointRepository(const TempDir& dir, uint64_t blockSize) : dir_(dir) {
        const std::string tree = dir_.File("tree"), state = dir_.File("driver"),
                          kzvol = Cli() + " --emulator " + state + " ",
                          backup = kzvol + "backup /dev/qnbf/qnbf0 --repo " + repo() +
                                   " --index --cow-dir " + dir_.path();
        RunCommandLine("mkdir -p '" + tree + "/dir/sub dir'");
        for (const Shape& s : Shapes(blockSize)) {
            std::fstream f(tree + s.path, std::ios::out | std::ios::binary);
            for (const auto& [offset, length] : s.pieces) {
                f.seekp(static_cast<std::streamoff>(offset));
                for (uint64_t i = offset; i < offset + length; ++i)
                    f.put(static_cast<char>('a' + i % 23));
            }
            f.close();
            ::truncate((tree + s.path).c_str(), static_cast<off_t>(s.size));
        }
        Sh(0, "(cd " + tree +
                  " && ln 'one block' 'dir/sub dir/second name' && ln -s small short && ln -s " +
                  std::string(300, 'L') +
                  " dir/long && chmod 4750 small && mkfifo dir/fifo && echo dots >dir/..dots && "
                  "mke2fs -q -F -t ext3 -b " +
                  std::to_string(blockSize) + " -d " + tree + " " + image() + " " +
                  std::to_string((blockSize == 1024 ? 32ull << 20 : 64ull << 20) / blockSize) +
                  " && " + Cli() + " emulator start --memory --state " + state + " && " + kzvol +
                  "emulator add " + image() + " --extent-size 65536 && " + backup +
                  " && debugfs -w -R 'write " + dir_.Write("changed", "the file as it is now\n") +
                  " /dir/changed' " + image() + " && " + backup + " --incremental) 2>&1");
    }
    ~PointRepository() {
        RunCommandLine(Cli() + " emulator stop --state " + dir_.File("driver") + " 2>&1");
    }
    std::string repo() const { return dir_.File("repo"); }
    std::string image() const { return dir_.File("volume.img"); }
    std::string Run(int status, const std::string& args) const {
        return Kz(status, "--emulator " + dir_.File("driver") + " " + args);
    }

  private:
    const TempDir& dir_;
};

// Damages the stored form of extent `number` of backup `id` in its middle.
inline void DamageExtent(const std::string& repoDir, const std::string& id, uint64_t number) {
    backup::Manifest m;
    std::string error;
    ASSERT_TRUE(backup::Repository(repoDir).Load(id, &m, &error)) << error;
    const auto e = std::find_if(m.extents.begin(), m.extents.end(),
                                [&](const backup::ExtentEntry& x) { return x.number == number; });
    ASSERT_NE(e, m.extents.end()) << "backup " << id << " holds no extent " << number;
    std::fstream(repoDir + "/" + id + "/extents", std::ios::in | std::ios::out | std::ios::binary)
        .seekp(static_cast<std::streamoff>(e->filePos + e->StoredBytes() / 2))
        .write("damage", 6);
}

}  // namespace kzvol::testing
