// kzvol backup, backups, restore and verify as a user runs them, against a
// memory-mode stand-in: the usage errors, the listing, an index that cannot be
// built, restores that keep the user's modes, a restore that meets a damaged
// backup and leaves the file it was to replace as it was, and verify reporting
// the backups that depend on a damaged one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/Kzvol.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

class CliBackup : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string out;
        ASSERT_EQ(Kzvol("emulator start --memory --state " + state_, &out), 0) << out;
        std::string data;
        for (int i = 0; i < 8 * 4096; ++i)
            data += "volume " + std::to_string(i) + "\n";
        volume_ = dir_.Write("vol.img", data.substr(0, 256 * 1024));
        ASSERT_EQ(Run("emulator add " + volume_ + " --extent-size 16384", &out), 0) << out;
        ::mkdir(dir_.File("cow").c_str(), 0755);
    }
    void TearDown() override {
        std::string out;
        Kzvol("emulator stop --state " + state_, &out);
    }
    int Run(const std::string& args, std::string* out) {
        return Kzvol("--emulator " + state_ + " " + args, out);
    }
    int Backup(const std::string& options, std::string* out) {
        return Run("backup /dev/qnbf/qnbf0 --repo " + repo_ + " --cow-dir " + dir_.File("cow") +
                       " " + options,
                   out);
    }

    TempDir dir_;
    const std::string state_ = dir_.File("driver"), repo_ = dir_.File("repo");
    std::string volume_;
};

TEST_F(CliBackup, UsageErrorsAndTheListing) {
    std::string out;
    EXPECT_EQ(Run("backup /dev/qnbf/qnbf0", &out), 2);
    EXPECT_NE(out.find("kzvol backup: wants one NODE and --repo DIR"), npos) << out;
    EXPECT_EQ(Run("restore " + repo_, &out), 2);
    EXPECT_EQ(Run("verify " + repo_, &out), 1);
    EXPECT_EQ(out, "kzvol: no repository " + repo_ + "\n");
    EXPECT_EQ(Backup("--incremental", &out), 1);
    EXPECT_NE(out.find("make a full one first"), npos) << out;
    EXPECT_EQ(Backup("--extent-size 3000", &out), 2);
    EXPECT_EQ(Backup("--extent-size 32768", &out), 1);
    EXPECT_NE(out.find("cannot have extents of 32768 bytes"), npos) << out;

    ASSERT_EQ(Backup("", &out), 0) << out;
    EXPECT_NE(out.find("backup 000001: full, 16 of 16 extents read, 16 sent (262144 bytes, "), npos)
        << out;
    std::ofstream(volume_, std::ios::in | std::ios::out).write("changed", 7);
    ASSERT_EQ(Backup("--incremental", &out), 0) << out;
    EXPECT_NE(out.find("backup 000002: incremental on 000001, 1 of 16 extents read, 1 sent"), npos)
        << out;
    ASSERT_EQ(Run("backups " + repo_, &out), 0);
    std::vector<std::string> lines = Split(out);
    ASSERT_EQ(lines.size(), 3u) << out;
    EXPECT_EQ(lines[1].substr(0, 29), "000001  full         -       ");
    // One extent of 16384 bytes, stored compressed in fewer.
    std::istringstream row(lines[2]);
    std::string id, kind, parent, date, time, count, bytes, stored, index;
    row >> id >> kind >> parent >> date >> time >> count >> bytes >> stored >> index;
    EXPECT_EQ(count + " " + bytes + " " + index, "1 16384 no") << out;
    EXPECT_LT(std::stoul(stored), 16384u) << out;
}

// Restores keep a replaced file's mode and owner and make new ones 0600; a
// damaged backup leaves the target as it was, and verify names the backups
// that depend on it. (Which damage is refused: BackupTest.)
TEST_F(CliBackup, RestoresKeepModesAndADamagedBackupLeavesTheTargetAsItWas) {
    std::string out;
    ASSERT_EQ(Backup("", &out), 0) << out;
    std::ofstream(volume_, std::ios::in | std::ios::out).write("changed", 7);
    // The volume holds no ext file system: the image is kept, the index is not.
    ASSERT_EQ(Backup("--incremental --index", &out), 0) << out;
    EXPECT_NE(out.find("\nindex missing: the directory reader could not index"), npos) << out;
    ASSERT_EQ(Run("backups " + repo_, &out), 0);
    EXPECT_NE(Split(out)[2].find(" missing: the directory reader"), npos) << out;

    EXPECT_EQ(Run("restore " + repo_ + " --to " + repo_ + "/000001/extents", &out), 1);
    const std::string kept = dir_.Write("kept.img", "old"), fresh = dir_.File("fresh.img");
    ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;  // then the owner can be another user's
    if (root) {
        ASSERT_EQ(::chown(kept.c_str(), 65534, 65534), 0);
    }
    const std::string killed = dir_.Write(".fresh.img.kzvol-restore-AbC123", "half");
    for (const std::string& to : {kept, fresh})
        ASSERT_EQ(Run("restore " + repo_ + " --to " + to, &out), 0) << out;
    struct stat st;
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, root ? 65534u : ::geteuid());
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(::access(killed.c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(fresh), ReadFile(volume_));

    const std::string extents = repo_ + "/000001/extents";
    std::string data = ReadFile(extents);
    data[data.size() / 2] ^= 0x20;
    std::ofstream(extents, std::ios::trunc) << data;
    EXPECT_EQ(Run("restore " + repo_ + " --backup 000001 --to " + kept, &out), 1);
    EXPECT_EQ(out.rfind("kzvol: restore of backup 000001 failed: extent ", 0), 0u) << out;
    EXPECT_EQ(ReadFile(kept), ReadFile(fresh));
    std::string listing;
    RunCommandLine("ls -A " + dir_.path(), &listing);
    EXPECT_EQ(listing, "cow\ndriver\nfresh.img\nkept.img\nrepo\nvol.img\n");  // no temporary
    EXPECT_EQ(Run("verify " + repo_, &out), 1);
    EXPECT_NE(out.find("000001: FAILED: extent "), npos) << out;
    EXPECT_NE(out.find("000002: FAILED: not restorable: it builds on 000001, which is damaged"),
              npos)
        << out;
}

}  // namespace
}  // namespace kzvol::testing
