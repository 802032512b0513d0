// kzvol backup, backups, restore and verify against a memory-mode stand-in, and
// kzvol extents as a backup job drives it.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/tools/PointRepository.h"

namespace kzvol::testing {
namespace {

using CliBackup = StandInCli;

// Restores keep a replaced file's mode and owner, make new ones 0600 (refusals: BackupTest).
TEST_F(CliBackup, UsageErrorsListingRestoresAndADamagedBackup) {
    std::string data;
    for (int i = 0; i < 8 * 4096; ++i)
        data += "volume " + std::to_string(i) + "\n";
    const std::string volume = dir_.Write("vol.img", data.substr(0, 256 * 1024)),
                      repo = dir_.File("repo"), cow = dir_.File("cow");
    Run(0, "emulator add " + volume + " --extent-size 16384");
    ::mkdir(cow.c_str(), 0755);
    const auto backup = [&](int status, const std::string& options) {
        return Run(status,
                   "backup /dev/qnbf/qnbf0 --repo " + repo + " --cow-dir " + cow + " " + options);
    };
    EXPECT_THAT(Run(2, "backup /dev/qnbf/qnbf0"),
                HasSubstr("kzvol backup: wants one NODE and --repo DIR"));
    Run(2, "restore " + repo);
    EXPECT_EQ(Run(1, "verify " + repo), "kzvol: no repository " + repo + "\n");
    EXPECT_THAT(backup(1, "--incremental"), HasSubstr("make a full one first"));
    backup(2, "--extent-size 3000");
    EXPECT_THAT(backup(1, "--extent-size 32768"), HasSubstr("cannot have extents of 32768 bytes"));

    EXPECT_THAT(backup(0, ""),
                HasSubstr("backup 000001: full, 16 of 16 extents read, 16 sent (262144 bytes, "));
    std::ofstream(volume, std::ios::in | std::ios::out) << "changed";
    EXPECT_THAT(backup(0, "--incremental"),
                HasSubstr("backup 000002: incremental on 000001, 1 of 16 extents read, 1 sent"));
    const std::vector<std::string> lines = Split(Run(0, "backups " + repo));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[1], StartsWith("000001  full         -       "));
    // One extent of 16384 bytes, stored compressed in fewer; no index.
    EXPECT_THAT(lines[2], ::testing::MatchesRegex(".* 1 +16384 +[0-9]{1,4} no"));
    std::ofstream(volume, std::ios::in | std::ios::out) << "CHANGED";
    // The volume holds no ext file system: the image is kept, the index is not.
    EXPECT_THAT(backup(0, "--incremental --index"),
                HasSubstr("\nindex missing: the directory reader could not index"));
    EXPECT_THAT(Split(Run(0, "backups " + repo)).at(3),
                HasSubstr(" missing: the directory reader"));

    Run(1, "restore " + repo + " --to " + repo + "/000001/extents");
    const std::string kept = dir_.Write("kept.img", "old"), fresh = dir_.File("fresh.img");
    ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;  // then the owner can be another user's
    ASSERT_TRUE(!root || ::chown(kept.c_str(), 65534, 65534) == 0);
    const std::string killed = dir_.Write(".fresh.img.kzvol-restore-AbC123", "half");
    for (const std::string& to : {kept, fresh})
        Run(0, "restore " + repo + " --to " + to);
    struct stat st, made;
    ASSERT_EQ(::stat(kept.c_str(), &st) | ::stat(fresh.c_str(), &made), 0);
    EXPECT_TRUE((st.st_mode & 07777) == 0640 && (made.st_mode & 07777) == 0600);
    EXPECT_EQ(st.st_uid, root ? 65534u : ::geteuid());
    EXPECT_NE(::access(killed.c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(fresh), ReadFile(volume));

    DamageExtent(repo, "000001", 8);
    EXPECT_THAT(Run(1, "restore " + repo + " --backup 000001 --to " + kept),
                StartsWith("kzvol: restore of backup 000001 failed: extent "));
    EXPECT_EQ(ReadFile(kept), ReadFile(fresh));
    EXPECT_EQ(Sh(0, "ls -A " + dir_.path()),
              "cow\ndriver\nfresh.img\nkept.img\nrepo\nvol.img\n");  // no temporary
    EXPECT_THAT(
        Run(1, "verify " + repo),
        AllOf(HasSubstr("000001: FAILED: extent "),
              HasSubstr("000002: FAILED: not restorable: it builds on 000001, which is damaged")));
}

// (Which extents a run sends, in every case: CheckSumTest.)
TEST(CliExtents, FailuresFirstBackupChangedExtentsAndARestart) {
    TempDir dir;
    std::string data, out, err;
    for (int k = 0; k < 10; ++k)  // and an eleventh, short
        data += std::string(4096, static_cast<char>('a' + k));
    const std::string image = dir.Write("image", data + std::string(100, 'z')),
                      jobs = dir.File("jobs"), absent = dir.File("absent");
    Sh(0, "mkdir " + jobs);
    const auto run = [&](int status, const std::string& options, const std::string& from,
                         const std::string& results) {
        const std::string args = "extents " + from + " --name /dev/sdb1 --extent-size 4096 ";
        out = KzErr(status, args + options + " --job-results " + results, &err);
    };
    // The extents a successful run marks "send", as "k k k".
    const auto sent = [&](const std::string& options) {
        run(0, options, image, jobs);
        std::string list;
        const std::vector<std::string> lines = Split(out);
        for (size_t k = 0; k < lines.size(); ++k)
            if (lines[k].find("\tsend") != std::string::npos)
                list += (list.empty() ? "" : " ") + std::to_string(k);
        return list;
    };
    const auto change = [&](int extent, const char* text) {
        std::ofstream(image, std::ios::in | std::ios::out).seekp(extent * 4096 + 17) << text;
    };
    // No previous backup to compare with: the tracker's own cause follows.
    run(1, "--type 1", image, jobs);
    EXPECT_THAT(err,
                AllOf(StartsWith("kzvol: cannot open the hash files in " + jobs + "/CheckSum: "),
                      Not(HasSubstr("no cause given"))));
    for (const char* options : {"--type 2", "--restart -2", "--extent-size 0"}) {
        run(2, options, image, jobs);
        EXPECT_EQ(Split(err).size(), 1u) << err;
    }
    run(1, "", absent, jobs);
    EXPECT_EQ(err, "kzvol: cannot open " + absent + ": No such file or directory\n");
    run(1, "", image, absent);
    EXPECT_THAT(err,
                StartsWith("kzvol: cannot prepare the hash files in " + absent + "/CheckSum: "));

    EXPECT_EQ(sent("--promote"), "0 1 2 3 4 5 6 7 8 9 10");
    EXPECT_THAT(out, StartsWith("extent0000000000\tsend\nextent0000000001\tsend\n"));
    EXPECT_THAT(err, StartsWith("extents 11, sent 11, skipped 0, "));
    EXPECT_EQ(ReadFile(jobs + "/CheckSum/Hash_dev_sdb1").size(), 11u * 82);
    EXPECT_NE(::access((jobs + "/CheckSum/HashTmp_dev_sdb1").c_str(), F_OK), 0);
    change(3, "changed");
    change(10, "!");
    EXPECT_EQ(sent("--type 1"), "3 10");
    // Interrupted after extent 4, extent 3 on tape; extent 2 changes before the restart.
    EXPECT_EQ(sent("--type 1 --limit 5 --promote --tape-file 3"), "3");
    change(2, "two");
    EXPECT_EQ(sent("--type 1 --restart 4 --tape-file 3 --promote"), "2 10");
    EXPECT_EQ(ReadFile(jobs + "/CheckSum/HashOnTape_dev_sdb1_3").size(), 5u * 82);
    EXPECT_EQ(sent("--type 1"), "");
}

}  // namespace
}  // namespace kzvol::testing
