// The syncs that make a replaced file durable, seen through the Env: the new
// contents are synced under their temporary name (before the rename) and the
// directory after it, for atomic files, the fstab rewrite, a repository's identity
// file, a backup's commit and a restore into a file; a file-index table's index is
// on disk before its rows' header says the table is closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mntent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "backup/Pending.h"
#include "backup/Repository.h"
#include "backup/RestoreTarget.h"
#include "filter/FstabRewrite.h"
#include "host/AtomicFile.h"
#include "host/CCreateUNIXFSTree.h"
#include "host/Env.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// Records, for every sync, the name its descriptor had at that moment.
class SyncRecorder : public EnvWrapper {
  public:
    SyncRecorder() : EnvWrapper(CurrentEnv()) { previous_ = SetEnv(this); }
    ~SyncRecorder() override { SetEnv(previous_); }

    bool SyncFile(int fd) override {
        char name[PATH_MAX];
        ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), name, sizeof name);
        synced.emplace_back(name, n > 0 ? static_cast<size_t>(n) : 0);
        return target()->SyncFile(fd);
    }
    std::vector<std::string> synced;

  private:
    Env* previous_;
};

// The syncs of replacing `target` in `dir`: its contents under a name that is not
// the target's yet, then the directory.
void ExpectReplaced(const std::vector<std::string>& synced, const std::string& dir,
                    const std::string& target) {
    ASSERT_GE(synced.size(), 2u);
    const std::string& contents = synced[synced.size() - 2];
    EXPECT_EQ(contents.rfind(dir + "/", 0), 0u) << contents;
    EXPECT_NE(contents, target) << "synced after the rename";
    EXPECT_EQ(synced.back(), dir);
}

class Durability : public ::testing::Test {
  protected:
    TestEnv env_;
    TempDir dir_;
    SyncRecorder syncs_;
};

TEST_F(Durability, AtomicFileAndRepositoryIdentity) {
    const std::string path = dir_.path() + "/a";
    ASSERT_TRUE(ReplaceFileContents(path, "one"));
    ExpectReplaced(syncs_.synced, dir_.path(), path);

    syncs_.synced.clear();
    backup::Repository repo(dir_.path());
    std::string error;
    ASSERT_TRUE(repo.WriteConfig(backup::RepositoryConfig{}, &error)) << error;
    ExpectReplaced(syncs_.synced, dir_.path(), dir_.path() + "/config");
}

TEST_F(Durability, FstabRewrite) {
    FstabFiles files{dir_.path() + "/fstab", dir_.path() + "/fstab-temp", dir_.path() + "/orig"};
    ASSERT_TRUE(ReplaceFileContents(files.table, "/dev/sdb1 /data ext3 defaults 0 0\n"));
    syncs_.synced.clear();
    ASSERT_TRUE(RewriteFstab(
        files, "t", [](const std::string& l) { return l; }, "# tail\n"));
    ASSERT_EQ(syncs_.synced.size(), 2u);
    EXPECT_EQ(syncs_.synced[0], files.temp);
    EXPECT_EQ(syncs_.synced[1], dir_.path());
}

TEST_F(Durability, BackupCommitSyncsTheFolderBeforeItsRename) {
    backup::Repository repo(dir_.path());
    backup::PendingBackup pending(repo, "0001");
    std::string error;
    ASSERT_TRUE(pending.Create(&error) && pending.OpenExtents(&error) &&
                pending.AppendExtent("data", 4, &error))
        << error;
    ASSERT_TRUE(pending.Commit("manifest", &error)) << error;
    const auto& synced = syncs_.synced;
    ASSERT_GE(synced.size(), 4u);
    EXPECT_EQ(synced[0], pending.dir() + "/" + backup::kExtentsFile);
    ExpectReplaced({synced[1], synced[2]}, pending.dir(), "");
    EXPECT_EQ(synced.back(), dir_.path()) << "the repository after the rename";
    // The repository was synced once the folder held its first synced file.
    EXPECT_EQ(std::count(synced.begin(), synced.end(), dir_.path()), 2);
}

TEST_F(Durability, AFileIndexTableIsClosedIndexFirst) {
    static long long handle = 0;
    CCreateUNIXFSTree table;
    ASSERT_EQ(table.Init(&handle), 0);
    ASSERT_EQ(table.Open((dir_.path() + "/t").c_str()), 0);
    ASSERT_EQ(table.Close(), 0);
    EXPECT_EQ(syncs_.synced,
              (std::vector<std::string>{dir_.path() + "/t.idx", dir_.path() + "/t.dat"}));
}

TEST_F(Durability, RestoreIntoAFileSyncsItBeforeItsRename) {
    const std::string path = dir_.path() + "/image";
    backup::RestoreTarget target(path);
    std::string error;
    ASSERT_TRUE(target.Open(4096, &error)) << error;
    ASSERT_TRUE(target.Finish(&error)) << error;
    ExpectReplaced(syncs_.synced, dir_.path(), path);
}

}  // namespace
}  // namespace kzvol::testing
