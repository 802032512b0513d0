// kzvol backup, backups, restore and verify against a memory-mode stand-in, and
// kzvol extents as a backup job drives it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tests/tools/PointRepository.h"

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

    const std::string repo_ = dir_.File("repo");
    std::string volume_;
};

// Restores keep a replaced file's mode and owner and make new ones 0600. (Which
// damage is refused: BackupTest.)
TEST_F(CliBackup, UsageErrorsListingRestoresAndADamagedBackup) {
    EXPECT_THAT(Run(2, "backup /dev/qnbf/qnbf0"),
                HasSubstr("kzvol backup: wants one NODE and --repo DIR"));
    Run(2, "restore " + repo_);
    EXPECT_EQ(Run(1, "verify " + repo_), "kzvol: no repository " + repo_ + "\n");
    EXPECT_THAT(Backup(1, "--incremental"), HasSubstr("make a full one first"));
    Backup(2, "--extent-size 3000");
    EXPECT_THAT(Backup(1, "--extent-size 32768"), HasSubstr("cannot have extents of 32768 bytes"));

    EXPECT_THAT(Backup(0, ""),
                HasSubstr("backup 000001: full, 16 of 16 extents read, 16 sent (262144 bytes, "));
    std::ofstream(volume_, std::ios::in | std::ios::out) << "changed";
    EXPECT_THAT(Backup(0, "--incremental"),
                HasSubstr("backup 000002: incremental on 000001, 1 of 16 extents read, 1 sent"));
    const std::vector<std::string> lines = Split(Run(0, "backups " + repo_));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[1], StartsWith("000001  full         -       "));
    // One extent of 16384 bytes, stored compressed in fewer; no index.
    unsigned long count = 0, bytes = 0, stored = 0;
    char index[4] = "";
    std::sscanf(lines[2].c_str(), "%*s %*s %*s %*s %*s %lu %lu %lu %3s", &count, &bytes, &stored,
                index);
    EXPECT_TRUE(count == 1 && bytes == 16384 && stored < bytes && index == std::string("no"))
        << lines[2];
    std::ofstream(volume_, std::ios::in | std::ios::out) << "CHANGED";
    // The volume holds no ext file system: the image is kept, the index is not.
    EXPECT_THAT(Backup(0, "--incremental --index"),
                HasSubstr("\nindex missing: the directory reader could not index"));
    EXPECT_THAT(Split(Run(0, "backups " + repo_)).at(3),
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
    EXPECT_TRUE((st.st_mode & 07777) == 0640 && (made.st_mode & 07777) == 0600);
    EXPECT_EQ(st.st_uid, root ? 65534u : ::geteuid());
    EXPECT_NE(::access(killed.c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(fresh), ReadFile(volume_));

    DamageExtent(repo_, "000001", 8);
    EXPECT_THAT(Run(1, "restore " + repo_ + " --backup 000001 --to " + kept),
                StartsWith("kzvol: restore of backup 000001 failed: extent "));
    EXPECT_EQ(ReadFile(kept), ReadFile(fresh));
    EXPECT_EQ(Sh(0, "ls -A " + dir_.path()),
              "cow\ndriver\nfresh.img\nkept.img\nrepo\nvol.img\n");  // no temporary
    EXPECT_THAT(
        Run(1, "verify " + repo_),
        AllOf(HasSubstr("000001: FAILED: extent "),
              HasSubstr("000002: FAILED: not restorable: it builds on 000001, which is damaged")));
}

constexpr size_t kExtent = 4096;

class CliExtents : public ::testing::Test {
  protected:
    CliExtents() {
        std::string data;
        for (int k = 0; k < 10; ++k)  // and an eleventh, short
            data += std::string(kExtent, static_cast<char>('a' + k));
        image_ = dir_.Write("image", data + std::string(100, 'z'));
        Sh(0, "mkdir " + jobs_);
    }
    void Run(int status, const std::string& options, const std::string& image = "",
             const std::string& jobs = "") {
        out_ = Sh(status, Cli() + " extents " + (image.empty() ? image_ : image) +
                              " --name /dev/sdb1 --job-results " + (jobs.empty() ? jobs_ : jobs) +
                              " --extent-size 4096 " + options + " 2>" + dir_.File("err"));
        err_ = ReadFile(dir_.File("err"));
    }
    // The extents marked "send" in the output, as "k k k".
    std::string Sent() const {
        std::string sent;
        const std::vector<std::string> lines = Split(out_);
        for (size_t k = 0; k < lines.size(); ++k)
            if (lines[k].find("\tsend") != std::string::npos)
                sent += (sent.empty() ? "" : " ") + std::to_string(k);
        return sent;
    }

    TempDir dir_;
    std::string image_, jobs_ = dir_.File("jobs"), out_, err_;
};

// (Which extents a run sends, in every case: CheckSumTest.)
TEST_F(CliExtents, FailuresFirstBackupChangedExtentsAndARestart) {
    const std::string absent = dir_.File("absent");
    // No previous backup to compare with: the tracker's own cause follows.
    Run(1, "--type 1");
    EXPECT_THAT(err_,
                AllOf(StartsWith("kzvol: cannot open the hash files in " + jobs_ + "/CheckSum: "),
                      Not(HasSubstr("no cause given"))));
    for (const char* options : {"--type 2", "--restart -2", "--extent-size 0"}) {
        Run(2, options);
        EXPECT_EQ(Split(err_).size(), 1u) << err_;
    }
    Run(1, "", absent);
    EXPECT_EQ(err_, "kzvol: cannot open " + absent + ": No such file or directory\n");
    Run(1, "", "", absent);
    EXPECT_THAT(err_,
                StartsWith("kzvol: cannot prepare the hash files in " + absent + "/CheckSum: "));

    Run(0, "--promote");
    EXPECT_THAT(out_, StartsWith("extent0000000000\tsend\nextent0000000001\tsend\n"));
    EXPECT_EQ(Sent(), "0 1 2 3 4 5 6 7 8 9 10");
    EXPECT_THAT(err_, StartsWith("extents 11, sent 11, skipped 0, "));
    EXPECT_EQ(ReadFile(jobs_ + "/CheckSum/Hash_dev_sdb1").size(), 11u * 82);
    EXPECT_NE(::access((jobs_ + "/CheckSum/HashTmp_dev_sdb1").c_str(), F_OK), 0);
    std::ofstream(image_, std::ios::in | std::ios::out).seekp(3 * kExtent + 17) << "changed";
    std::ofstream(image_, std::ios::in | std::ios::out).seekp(10 * kExtent + 17) << "!";
    Run(0, "--type 1");
    EXPECT_EQ(Sent(), "3 10");
    // Interrupted after extent 4, extent 3 on tape; extent 2 changes before the restart.
    Run(0, "--type 1 --limit 5 --promote --tape-file 3");
    EXPECT_EQ(Sent(), "3");
    std::ofstream(image_, std::ios::in | std::ios::out).seekp(2 * kExtent + 17) << "two";
    Run(0, "--type 1 --restart 4 --tape-file 3 --promote");
    EXPECT_EQ(Sent(), "2 10");
    EXPECT_EQ(ReadFile(jobs_ + "/CheckSum/HashOnTape_dev_sdb1_3").size(), 5u * 82);
    Run(0, "--type 1");
    EXPECT_EQ(Sent(), "");
}

}  // namespace
}  // namespace kzvol::testing
