// kzvol backup, backups, restore and verify as a user runs them, against a
// memory-mode stand-in: the usage errors, the listing, an index that cannot be
// built, restores that keep the user's modes, a restore that meets a damaged
// backup and leaves the file it was to replace as it was, and verify reporting
// the backups that depend on a damaged one.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

class CliBackup : public StandInCli {
  protected:
    void SetUp() override {
        StandInCli::SetUp();
        std::string data;
        for (int i = 0; i < 8 * 4096; ++i)
            data += "volume " + std::to_string(i) + "\n";
        volume_ = dir_.Write("vol.img", data.substr(0, 256 * 1024));
        Run(0, "emulator add " + volume_ + " --extent-size 16384");
        ::mkdir(dir_.File("cow").c_str(), 0755);
    }
    std::string Backup(int status, const std::string& options) {
        return Run(status, "backup /dev/qnbf/qnbf0 --repo " + repo_ + " --cow-dir " +
                               dir_.File("cow") + " " + options);
    }
    void ChangeVolume() {
        std::ofstream(volume_, std::ios::in | std::ios::out).write("changed", 7);
    }

    const std::string repo_ = dir_.File("repo");
    std::string volume_;
};

TEST_F(CliBackup, UsageErrorsAndTheListing) {
    EXPECT_THAT(Run(2, "backup /dev/qnbf/qnbf0"),
                HasSubstr("kzvol backup: wants one NODE and --repo DIR"));
    Run(2, "restore " + repo_);
    EXPECT_EQ(Run(1, "verify " + repo_), "kzvol: no repository " + repo_ + "\n");
    EXPECT_THAT(Backup(1, "--incremental"), HasSubstr("make a full one first"));
    Backup(2, "--extent-size 3000");
    EXPECT_THAT(Backup(1, "--extent-size 32768"), HasSubstr("cannot have extents of 32768 bytes"));

    EXPECT_THAT(Backup(0, ""),
                HasSubstr("backup 000001: full, 16 of 16 extents read, 16 sent (262144 bytes, "));
    ChangeVolume();
    EXPECT_THAT(Backup(0, "--incremental"),
                HasSubstr("backup 000002: incremental on 000001, 1 of 16 extents read, 1 sent"));
    const std::vector<std::string> lines = Split(Run(0, "backups " + repo_));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[1], StartsWith("000001  full         -       "));
    // One extent of 16384 bytes, stored compressed in fewer.
    std::istringstream row(lines[2]);
    std::string id, kind, parent, date, time, count, bytes, index;
    unsigned long stored;
    row >> id >> kind >> parent >> date >> time >> count >> bytes >> stored >> index;
    EXPECT_EQ(count + " " + bytes + " " + index, "1 16384 no") << lines[2];
    EXPECT_LT(stored, 16384u) << lines[2];
}

// Restores keep a replaced file's mode and owner and make new ones 0600; a
// damaged backup leaves the target as it was, and verify names the backups
// that depend on it. (Which damage is refused: BackupTest.)
TEST_F(CliBackup, RestoresKeepModesAndADamagedBackupLeavesTheTargetAsItWas) {
    Backup(0, "");
    ChangeVolume();
    // The volume holds no ext file system: the image is kept, the index is not.
    EXPECT_THAT(Backup(0, "--incremental --index"),
                HasSubstr("\nindex missing: the directory reader could not index"));
    EXPECT_THAT(Split(Run(0, "backups " + repo_)).at(2),
                HasSubstr(" missing: the directory reader"));

    Run(1, "restore " + repo_ + " --to " + repo_ + "/000001/extents");
    const std::string kept = dir_.Write("kept.img", "old"), fresh = dir_.File("fresh.img");
    ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;  // then the owner can be another user's
    ASSERT_TRUE(!root || ::chown(kept.c_str(), 65534, 65534) == 0);
    const std::string killed = dir_.Write(".fresh.img.kzvol-restore-AbC123", "half");
    for (const std::string& to : {kept, fresh})
        Run(0, "restore " + repo_ + " --to " + to);
    struct stat st, made;
    ASSERT_EQ(::stat(kept.c_str(), &st) | ::stat(fresh.c_str(), &made), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, root ? 65534u : ::geteuid());
    EXPECT_EQ(made.st_mode & 07777, 0600u);
    EXPECT_NE(::access(killed.c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(fresh), ReadFile(volume_));

    const std::string extents = repo_ + "/000001/extents";
    std::string data = ReadFile(extents);
    data[data.size() / 2] ^= 0x20;
    std::ofstream(extents, std::ios::trunc) << data;
    EXPECT_THAT(Run(1, "restore " + repo_ + " --backup 000001 --to " + kept),
                StartsWith("kzvol: restore of backup 000001 failed: extent "));
    EXPECT_EQ(ReadFile(kept), ReadFile(fresh));
    EXPECT_EQ(Listing(dir_.path()),
              "cow\ndriver\nfresh.img\nkept.img\nrepo\nvol.img\n");  // no temporary
    EXPECT_THAT(
        Run(1, "verify " + repo_),
        AllOf(HasSubstr("000001: FAILED: extent "),
              HasSubstr("000002: FAILED: not restorable: it builds on 000001, which is damaged")));
}

}  // namespace
}  // namespace kzvol::testing
