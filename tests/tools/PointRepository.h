// A repository of two indexed backups of an ext3 image built with mke2fs -d from
// a tree holding files of every shape a restore must keep (empty, one block,
// sizes at the direct and indirect boundaries, sparse ones, hard links, short
// and long symbolic links, names with blanks and newlines), taken through the
// memory-mode stand-in: 000001 full, 000002 incremental after debugfs changed a
// file. The image itself stays as the incremental point saw it, so debugfs can
// be asked what any file of that point holds.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "backup/Repository.h"
#include "tests/support/Kzvol.h"

namespace kzvol::testing {

// One file of the tree: its path, and where its data blocks go (holes between).
struct Shape {
    std::string path;
    std::vector<std::pair<uint64_t, uint64_t>> pieces;  // offset, length
    uint64_t size;
};

// The shapes for `blockSize`: the boundaries of direct, single, double (and,
// at 4 KiB, triple) indirect blocks, each one byte either side.
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
    // Builds it all in `dir`; ok() false (with why() set) when a step failed.
    PointRepository(const TempDir& dir, uint64_t blockSize) : dir_(dir), blockSize_(blockSize) {
        ok_ = Build();
    }
    ~PointRepository() {
        std::string out;
        Kzvol("emulator stop --state " + dir_.File("driver"), &out);
    }
    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }
    std::string repo() const { return dir_.File("repo"); }
    std::string image() const { return dir_.File("volume.img"); }
    // What the incremental point holds at `path`, as debugfs dumps it (with -p).
    std::string Dump(const std::string& path, const std::string& out) const {
        std::string text;
        RunCommandLine("debugfs -R 'dump -p \"" + path + "\" " + out + "' " + image() + " 2>&1",
                       &text);
        return out;
    }
    // Runs kzvol with the stand-in: exit status, output in *out.
    int Run(const std::string& args, std::string* out) const {
        return Kzvol("--emulator " + dir_.File("driver") + " " + args, out);
    }

  private:
    bool Step(const std::string& line) {
        std::string out;
        if (RunCommandLine(line + " 2>&1", &out) == 0)
            return true;
        why_ = line + ": " + out;
        return false;
    }
    bool Kz(const std::string& args) {
        std::string out;
        if (Run(args, &out) == 0)
            return true;
        why_ = "kzvol " + args + ": " + out;
        return false;
    }
    void WriteShape(const Shape& s) {
        const std::string path = dir_.File("tree") + s.path;
        std::fstream f(path, std::ios::out | std::ios::binary);
        for (const auto& [offset, length] : s.pieces) {
            std::string data(length, 'x');
            for (uint64_t i = 0; i < length; ++i)
                data[i] = static_cast<char>('a' + (offset + i) % 23);
            f.seekp(static_cast<std::streamoff>(offset));
            f.write(data.data(), static_cast<std::streamsize>(length));
        }
        f.close();
        ::truncate(path.c_str(), static_cast<off_t>(s.size));
    }
    bool Build() {
        const std::string tree = dir_.File("tree");
        if (!Step("mkdir -p '" + tree + "/dir/sub dir'"))
            return false;
        for (const Shape& s : Shapes(blockSize_))
            WriteShape(s);
        const std::string longTarget(300, 'L');
        if (!Step("cd " + tree +
                  " && ln 'one block' 'dir/sub dir/second name' && ln -s small short "
                  "&& ln -s " +
                  longTarget +
                  " dir/long && chmod 4750 small && mkfifo dir/fifo && echo dots >dir/..dots"))
            return false;
        const uint64_t blocks = (blockSize_ == 1024 ? 32ull << 20 : 64ull << 20) / blockSize_;
        if (!Step("mke2fs -q -F -t ext3 -b " + std::to_string(blockSize_) + " -d " + tree + " " +
                  image() + " " + std::to_string(blocks)))
            return false;
        const std::string state = dir_.File("driver");
        const std::string backup =
            "backup /dev/qnbf/qnbf0 --repo " + repo() + " --index --cow-dir " + dir_.path();
        std::string changed = dir_.Write("changed", "the file as it is now\n");
        std::string out;
        if (Kzvol("emulator start --memory --state " + state, &out) != 0)
            return why_ = out, false;
        return Kz("emulator add " + image() + " --extent-size 65536") && Kz(backup) &&
               Step("debugfs -w -R 'write " + changed + " /dir/changed' " + image()) &&
               Kz(backup + " --incremental");
    }

    const TempDir& dir_;
    uint64_t blockSize_;
    bool ok_ = false;
    std::string why_;
};

// Overwrites six bytes in the middle of the stored form of extent `number` of
// backup `id` (compressed or not), so that it no longer decodes to its digest.
inline void DamageExtent(const std::string& repoDir, const std::string& id, uint64_t number) {
    backup::Repository repo(repoDir);
    backup::Manifest m;
    std::string error;
    ASSERT_TRUE(repo.Load(id, &m, &error)) << error;
    for (const backup::ExtentEntry& e : m.extents) {
        if (e.number != number)
            continue;
        std::fstream extents(repoDir + "/" + id + "/extents",
                             std::ios::in | std::ios::out | std::ios::binary);
        extents.seekp(static_cast<std::streamoff>(e.filePos + e.StoredBytes() / 2));
        extents.write("damage", 6);
        return;
    }
    FAIL() << "backup " << id << " holds no extent " << number;
}

}  // namespace kzvol::testing
