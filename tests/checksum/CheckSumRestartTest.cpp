// The extent hash tracker in a restarted job: the merge of the earlier attempt's
// HashTmp into HashOnTape, and decisions by the tape digests.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checksum/CheckSum.h"
#include "tests/checksum/HashFiles.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

class CheckSumRestart : public ::testing::Test {
  protected:
    CheckSumRestart() { ::mkdir(File("").c_str(), 0755); }
    std::string File(const std::string& name) const { return jobs_.File("CheckSum/" + name); }
    void Write(const std::string& name, const std::string& contents) {
        jobs_.Write("CheckSum/" + name, contents);
    }
    bool Exists(const std::string& name) const { return ::access(File(name).c_str(), F_OK) == 0; }
    CheckSum Restarted(CheckSumBackupType type = CHECKSUM_BACKUP_FULL) {
        return CheckSum("/dev/sdb1", jobs_.path(), type, 7, true);
    }

    TestEnv env_;
    TempDir jobs_;
};

TEST_F(CheckSumRestart, MergeTakesTheAttemptUpToLastThenTheOlderTape) {
    Write("HashTmp_dev_sdb1", HashRecords(Range(1, 8), 1));
    Write("HashOnTape_dev_sdb1_7", HashRecords(Range(1, 10), 0));
    CheckSum t = Restarted();
    ASSERT_TRUE(t.InitializeScan(5));
    EXPECT_EQ(ReadFile(File("HashOnTape_dev_sdb1_7")),
              HashRecords(Range(1, 5), 1) + HashRecords(Range(6, 10), 0));
    EXPECT_FALSE(Exists("HashOnTapeTmp_dev_sdb1_7"));
    const std::string ctx = "CheckSum :: UpdateHashOnTape";
    EXPECT_EQ(env_.CountLogs("This is a restarted job. Updating hash on tape.LastExtent:5",
                             "CheckSum :: InitializeScan"),
              1);
    EXPECT_EQ(env_.CountLogs("LastExtent=5 HashOnTape[" + File("HashOnTape_dev_sdb1_7") + "]", ctx),
              1);
    EXPECT_EQ(env_.CountLogs("Updating Hash On Tape", ctx), 1);
    EXPECT_FALSE(env_.HasError(""));
}

TEST_F(CheckSumRestart, MergeWithoutOlderTapeOrWithATruncatedAttempt) {
    Write("HashTmp_dev_sdb1", HashRecords(Range(0, 8), 1));
    ASSERT_TRUE(Restarted().InitializeScan(3));
    EXPECT_EQ(ReadFile(File("HashOnTape_dev_sdb1_7")), HashRecords(Range(0, 3), 1));

    // The attempt died inside the digest of extent 2: its records stop at 1.
    const std::string attempt = HashRecords(Range(0, 4), 2);
    Write("HashTmp_dev_sdb1", attempt.substr(0, 2 * 82 + 17 + 30));
    Write("HashOnTape_dev_sdb1_7", HashRecords(Range(0, 6), 0));
    ASSERT_TRUE(Restarted().InitializeScan(3));
    EXPECT_EQ(ReadFile(File("HashOnTape_dev_sdb1_7")),
              HashRecords(Range(0, 1), 2) + HashRecords(Range(4, 6), 0));
}

TEST_F(CheckSumRestart, NoAttemptRecordsLeaveTheTapeAsItIs) {
    Write("HashOnTape_dev_sdb1_7", HashRecords(Range(1, 3)));
    CheckSum t = Restarted();
    ASSERT_TRUE(t.InitializeScan(2));
    EXPECT_EQ(ReadFile(File("HashOnTape_dev_sdb1_7")), HashRecords(Range(1, 3)));
    ASSERT_TRUE(t.InitializeBackup());
    EXPECT_EQ(Decide(t, 1), "skip");
}

TEST_F(CheckSumRestart, LastExtentMinusOneRenamesTheAttempt) {
    const std::string attempt = HashRecords(Range(1, 4), 3);
    Write("HashTmp_dev_sdb1", attempt);
    Write("HashOnTape_dev_sdb1_7", HashRecords(Range(1, 10), 0));
    struct stat before;
    ASSERT_EQ(::stat(File("HashTmp_dev_sdb1").c_str(), &before), 0);
    CheckSum t = Restarted();
    ASSERT_TRUE(t.InitializeScan(-1));
    struct stat after;
    ASSERT_EQ(::stat(File("HashOnTape_dev_sdb1_7").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // the same file, renamed
    EXPECT_EQ(ReadFile(File("HashOnTape_dev_sdb1_7")), attempt);
    EXPECT_FALSE(Exists("HashTmp_dev_sdb1"));
    EXPECT_EQ(env_.CountLogs("LastExtent == -1 , copy TmpHashFile as the HashOnTape"), 1);
}

TEST_F(CheckSumRestart, FailedMergeKeepsTheOldTapeButNeverTrustsIt) {
    // Without an attempt to rename, the old HashOnTape no longer describes the tape.
    Write("HashOnTape_dev_sdb1_7", HashRecords(Range(1, 3)));
    CheckSum t = Restarted();
    EXPECT_FALSE(t.InitializeScan(-1));
    EXPECT_TRUE(env_.HasError("Could not rename [" + File("HashTmp_dev_sdb1") + "] to [" +
                              File("HashOnTape_dev_sdb1_7") + "]. errno:2"));
    EXPECT_TRUE(
        env_.HasError("Exception in CheckSum :: UpdateHashOnTape\tType:SYSTEM_EXCEPTION\t"
                      "Msg:Rename of HashOnTape failed"));
    EXPECT_EQ(ReadFile(File("HashOnTape_dev_sdb1_7")), HashRecords(Range(1, 3)));
    ASSERT_TRUE(t.InitializeBackup());
    EXPECT_EQ(Decide(t, 1), "send");

    // A damaged older tape file stops the merge half way: the same holds.
    Write("HashTmp_dev_sdb1", HashRecords(Range(1, 3), 0));
    Write("HashOnTape_dev_sdb1_7", HashRecord("short", Sha512("x")));
    CheckSum u = Restarted();
    EXPECT_FALSE(u.InitializeScan(2));
    EXPECT_TRUE(Exists("HashOnTapeTmp_dev_sdb1_7"));
    EXPECT_EQ(ReadFile(File("HashOnTape_dev_sdb1_7")), HashRecord("short", Sha512("x")));
    ASSERT_TRUE(u.InitializeBackup());
    EXPECT_EQ(Decide(u, 1), "send");
}

TEST_F(CheckSumRestart, TapeDigestsDecideBeforeThePreviousBackup) {
    // Tape: 1 equal, 2 different, 4 equal. Hash (previous backup): 1 different,
    // 2 equal, 3 equal, 4 different, 5 different.
    Write("HashOnTape_dev_sdb1_7", HashRecords({1}, 0) + HashRecords({2}, 9) + HashRecords({4}));
    Write("Hash_dev_sdb1", HashRecords({1}, 9) + HashRecords({2, 3}, 0) + HashRecords({4, 5}, 9));
    CheckSum t = Restarted(CHECKSUM_BACKUP_COMPARE);
    ASSERT_TRUE(t.InitializeScan(4));  // no HashTmp: the tape file stays
    ASSERT_TRUE(t.InitializeBackup());
    std::string out;
    for (int k = 1; k <= 5; ++k)
        out += Decide(t, k) + " ";
    EXPECT_EQ(out, "skip send skip skip send ");
    const std::string ctx = "CheckSum :: ShouldThisExtentBeBackedUp";
    EXPECT_EQ(env_.CountLogs(
                  "Hash of [" + ExtentName(1) + "] did not change after the last attempt", ctx),
              1);
    EXPECT_EQ(
        env_.CountLogs("Hahs of [" + ExtentName(2) + "] has changed from the last attempt", ctx),
        1);
    EXPECT_EQ(
        env_.CountLogs("Hash for [" + ExtentName(3) + "] is not avilable in the HashOnTape", ctx),
        1);

    // Type 0: what the tape does not vouch for is sent. (The run above left a HashTmp
    // that a restart would merge: it goes first.)
    ::unlink(File("HashTmp_dev_sdb1").c_str());
    CheckSum full = Restarted(CHECKSUM_BACKUP_FULL);
    ASSERT_TRUE(full.InitializeScan(4));
    ASSERT_TRUE(full.InitializeBackup());
    out.clear();
    for (int k = 1; k <= 5; ++k)
        out += Decide(full, k) + " ";
    EXPECT_EQ(out, "skip send send skip send ");
}

TEST_F(CheckSumRestart, TapeIsIgnoredWhenTheJobIsNotARestart) {
    Write("HashOnTape_dev_sdb1_7", HashRecords(Range(1, 3)));
    CheckSum t("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, false);
    ASSERT_TRUE(t.InitializeScan(-1));
    ASSERT_TRUE(t.InitializeBackup());
    EXPECT_EQ(Decide(t, 1), "send");
    EXPECT_TRUE(Exists("HashOnTape_dev_sdb1_7"));
}

}  // namespace
}  // namespace kzvol::testing
