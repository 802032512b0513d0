// The syncs that make a replaced file durable, seen through the Env: contents under
// the temporary name before the rename, the directory after it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>

#include "backup/Pending.h"
#include "backup/Repository.h"
#include "backup/RestoreTarget.h"
#include "filter/FstabRewrite.h"
#include "host/AtomicFile.h"
#include "host/CCreateUNIXFSTree.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

using Lines = std::vector<std::string>;

// Replacing `target` in `dir` synced its contents under another name, then `dir`.
void ExpectReplaced(const Lines& synced, const std::string& dir, const std::string& target) {
    ASSERT_GE(synced.size(), 2u);
    const std::string& contents = synced[synced.size() - 2];
    EXPECT_EQ(contents.rfind(dir + "/", 0), 0u) << contents;
    EXPECT_NE(contents, target) << "synced after the rename";
    EXPECT_EQ(synced.back(), dir);
}

// Records, for every sync, the name its descriptor had at that moment.
class Durability : public ::testing::Test, public TestEnv {
  protected:
    bool SyncFile(int fd) override {
        char name[PATH_MAX];
        ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), name, sizeof name);
        synced_.emplace_back(name, n > 0 ? static_cast<size_t>(n) : 0);
        return target()->SyncFile(fd);
    }
    const Lines& Syncs(const std::function<bool()>& act) {
        synced_.clear();
        EXPECT_TRUE(act()) << error_;
        return synced_;
    }

    TempDir dir_;
    Lines synced_;
    std::string d_ = dir_.path(), error_;
};

TEST_F(Durability, ReplacesAndBackupCommitsSyncContentsBeforeTheRenameAndTheFolderAfter) {
    ExpectReplaced(Syncs([&] { return ReplaceFileContents(d_ + "/a", "one"); }), d_, d_ + "/a");
    backup::Repository repo(d_);
    ExpectReplaced(Syncs([&] { return repo.WriteConfig(backup::RepositoryConfig{}, &error_); }), d_,
                   d_ + "/config");
    backup::RestoreTarget restore(d_ + "/image");
    ExpectReplaced(Syncs([&] { return restore.Open(4096, &error_) && restore.Finish(&error_); }),
                   d_, d_ + "/image");

    FstabFiles files{d_ + "/fstab", d_ + "/fstab-temp", d_ + "/orig"};
    ASSERT_TRUE(ReplaceFileContents(files.table, "/dev/sdb1 /data ext3 defaults 0 0\n"));
    auto same = [](const std::string& line) { return line; };
    EXPECT_EQ(Syncs([&] { return RewriteFstab(files, "t", same, "# tail\n"); }),
              Lines({files.temp, d_}));

    // A backup's commit: the extents and the manifest, the folder before its rename.
    backup::PendingBackup pending(repo, "0001");
    ASSERT_TRUE(pending.Create(&error_) && pending.OpenExtents(&error_) &&
                pending.AppendExtent("data", 4, &error_))
        << error_;
    const Lines& synced = Syncs([&] { return pending.Commit("manifest", &error_); });
    ASSERT_GE(synced.size(), 4u);
    EXPECT_EQ(synced[0], pending.dir() + "/" + backup::kExtentsFile);
    ExpectReplaced({synced[1], synced[2]}, pending.dir(), "");
    EXPECT_EQ(synced.back(), d_) << "the repository after the rename";
    // The repository was synced once the folder held its first synced file.
    EXPECT_EQ(std::count(synced.begin(), synced.end(), d_), 2);
}

TEST_F(Durability, AFileIndexTableIsClosedIndexFirst) {
    static long long handle = 0;
    CCreateUNIXFSTree table;
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open((d_ + "/t").c_str()), 0);
    EXPECT_EQ(Syncs([&] { return table.Close() == 0; }), Lines({d_ + "/t.idx", d_ + "/t.dat"}));
}

}  // namespace
}  // namespace kzvol::testing
