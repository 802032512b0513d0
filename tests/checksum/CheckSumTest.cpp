// The extent hash tracker without restarts: file names, the CheckSum directory,
// type 0 and type 1 decisions, the forward-only lookup, damaged hash files and misuse.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checksum/CheckSum.h"
#include "tests/checksum/HashFiles.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

class CheckSumProbe : public CheckSum {
  public:
    using CheckSum::CheckSum;
    using CheckSum::GetExtent;
};

class CheckSumTest : public ::testing::Test {
  protected:
    std::string Dir() const { return jobs_.File("CheckSum"); }
    // Writes a hash file into the CheckSum directory.
    void WriteHash(const std::string& file, const std::string& contents) {
        ::mkdir(Dir().c_str(), 0755);
        jobs_.Write("CheckSum/" + file, contents);
    }
    std::unique_ptr<CheckSum> Started(CheckSumBackupType type) {
        auto t = std::make_unique<CheckSum>("/dev/sdb1", jobs_.path(), type, 7, false);
        EXPECT_TRUE(t->InitializeScan(-1));
        EXPECT_TRUE(t->InitializeBackup());
        return t;
    }

    TestEnv env_;
    TempDir jobs_;
};

TEST_F(CheckSumTest, HashFileNamesComeFromNameAndTapeFile) {
    CheckSum t("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_COMPARE, 7, false);
    EXPECT_EQ(t.CheckSumDir(), jobs_.path() + "/CheckSum");
    EXPECT_EQ(t.HashTmpPath(), Dir() + "/HashTmp_dev_sdb1");
    EXPECT_EQ(t.HashPath(), Dir() + "/Hash_dev_sdb1");
    EXPECT_EQ(t.HashOnTapePath(), Dir() + "/HashOnTape_dev_sdb1_7");
    EXPECT_EQ(t.HashOnTapeTmpPath(), Dir() + "/HashOnTapeTmp_dev_sdb1_7");
    EXPECT_FALSE(access(Dir().c_str(), F_OK) == 0);  // construction touches nothing
}

TEST_F(CheckSumTest, ScanCreatesASearchableCheckSumDirectory) {
    mode_t old = ::umask(022);
    CheckSum t("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, false);
    EXPECT_TRUE(t.InitializeScan(-1));
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(Dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(env_.CountLogs("CheckSumDir [" + Dir() + "]  does not exist.",
                             "CheckSum :: InitializeScan"),
              1);
    EXPECT_TRUE(t.InitializeScan(-1));  // already there: nothing more to say
    EXPECT_EQ(env_.CountLogs("does not exist."), 1);
}

TEST_F(CheckSumTest, ScanFailsWithoutJobResultsOrWhenTheDirectoryCannotBeMade) {
    CheckSum missing("v", jobs_.File("gone"), CHECKSUM_BACKUP_FULL, 0, false);
    EXPECT_FALSE(missing.InitializeScan(-1));
    EXPECT_TRUE(env_.HasError("JobResults folder [" + jobs_.File("gone") + "]  does not exist"));
    CheckSum empty("v", "", CHECKSUM_BACKUP_FULL, 0, false);
    EXPECT_FALSE(empty.InitializeScan(-1));
    EXPECT_TRUE(env_.HasError("JobResults folder [NULL]  does not exist"));

    // A dangling link where the directory belongs.
    ASSERT_EQ(::symlink(jobs_.File("nowhere").c_str(), Dir().c_str()), 0);
    CheckSum blocked("v", jobs_.path(), CHECKSUM_BACKUP_FULL, 0, false);
    EXPECT_FALSE(blocked.InitializeScan(-1));
    EXPECT_TRUE(env_.HasError("Could not create CheckSumDir[" + Dir() + "]. errno:17"));
}

TEST_F(CheckSumTest, TypeZeroSendsEverythingAndRecordsEveryDigest) {
    WriteHash("Hash_dev_sdb1", HashRecords(Range(0, 3)));  // not consulted by type 0
    auto t = Started(CHECKSUM_BACKUP_FULL);
    for (int k = 0; k <= 3; ++k)
        EXPECT_EQ(Decide(*t, k), "send") << k;
    EXPECT_EQ(ReadFile(t->HashTmpPath()), HashRecords(Range(0, 3)));
    EXPECT_TRUE(env_.Logs().size() <= 1u);  // only the directory's creation
}

TEST_F(CheckSumTest, TypeOneSkipsExtentsEqualToThePreviousBackup) {
    WriteHash("Hash_dev_sdb1", HashRecords(Range(0, 5)));
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    std::string out;
    for (int k = 0; k <= 6; ++k)
        out += Decide(*t, k, k == 2 || k == 4 ? 1 : 0) + " ";
    EXPECT_EQ(out, "skip skip send skip send skip send ");  // 6 is beyond the Hash file
    // HashTmp holds this run's digests, changed or not.
    std::string want;
    for (int k = 0; k <= 6; ++k)
        want += HashRecord(ExtentName(k), Sha512(ExtentData(k, k == 2 || k == 4 ? 1 : 0)));
    EXPECT_EQ(ReadFile(t->HashTmpPath()), want);
}

TEST_F(CheckSumTest, LookupStopsAtALaterExtentAndFindsItNextTime) {
    WriteHash("Hash_dev_sdb1", HashRecords({2, 4, 5}));
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    EXPECT_EQ(Decide(*t, 3), "send");  // stops at the record of 4 ...
    EXPECT_EQ(Decide(*t, 4), "skip");  // ... which the next lookup reads again
    EXPECT_EQ(Decide(*t, 5), "skip");
    EXPECT_EQ(Decide(*t, 6), "send");
    EXPECT_FALSE(env_.HasError(""));
}

TEST_F(CheckSumTest, LookupRewindsAcrossCacheRefills) {
    // Every even extent, under long names, in a Hash file bigger than one cache fill;
    // every odd extent is asked for in between and must put the reader back.
    auto name = [](int k) { return std::string(3000, 'x') + ExtentName(k); };
    std::string hash;
    for (int k = 0; k <= 1600; k += 2)
        hash += HashRecord(name(k), Sha512(ExtentData(k)));
    ASSERT_GT(hash.size(), static_cast<size_t>(FileIO::kCacheSize));
    WriteHash("Hash_dev_sdb1", hash);
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    int wrong = 0;
    for (int k = 0; k <= 1601; ++k) {
        if (Decide(*t, name(k), ExtentData(k)) != (k % 2 == 0 ? "skip" : "send"))
            ++wrong;
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(CheckSumTest, TruncatedHashFileCostsAResendNeverASkip) {
    const std::string whole = HashRecords(Range(1, 3));
    const size_t lastRecord = whole.size() - 17 - 65;
    for (size_t cut = lastRecord; cut < whole.size(); ++cut) {
        TempDir jobs;
        ::mkdir((jobs.path() + "/CheckSum").c_str(), 0755);
        jobs.Write("CheckSum/Hash_dev_sdb1", whole.substr(0, cut));
        CheckSum t("/dev/sdb1", jobs.path(), CHECKSUM_BACKUP_COMPARE, 7, false);
        ASSERT_TRUE(t.InitializeScan(-1));
        ASSERT_TRUE(t.InitializeBackup());
        EXPECT_EQ(Decide(t, 1), "skip") << "cut at " << cut;
        EXPECT_EQ(Decide(t, 2), "skip") << "cut at " << cut;
        EXPECT_EQ(Decide(t, 3).substr(0, 4), "send") << "cut at " << cut;
        EXPECT_EQ(Decide(t, 4).substr(0, 4), "send") << "cut at " << cut;
    }
}

TEST_F(CheckSumTest, DamagedRecordsCostAResendNeverASkip) {
    std::string bad = HashRecords({1});
    bad[bad.size() - 1] = 'X';  // digest not followed by its newline
    std::string longName = HashRecord(std::string(5000, 't') + "0000000002", Sha512(ExtentData(2)));
    WriteHash("Hash_dev_sdb1", bad + longName + HashRecords({3}));
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    EXPECT_EQ(Decide(*t, 1), "send");
    EXPECT_TRUE(env_.HasError("the hash file is damaged"));
    EXPECT_EQ(Decide(*t, 2), "send!");
    EXPECT_TRUE(env_.HasError("Insufficient Buffer Size"));
    // The reader finds its way back to the intact records after the damage.
    EXPECT_EQ(Decide(*t, 3), "skip");
}

TEST_F(CheckSumTest, ShortExtentNameFailsTheLookupAfterRecordingIt) {
    WriteHash("Hash_dev_sdb1", HashRecords({1}));
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    EXPECT_EQ(Decide(*t, "extent001", "data"), "send!");
    EXPECT_EQ(
        env_.CountLogs("Size of ExtentName is less than 10.extent001", "CheckSum ::  GetExtent"),
        1);
    EXPECT_EQ(ReadFile(t->HashTmpPath()), HashRecord("extent001", Sha512("data")));
    // Under type 0 without a restart no lookup is needed: it is simply sent.
    auto full = Started(CHECKSUM_BACKUP_FULL);
    EXPECT_EQ(Decide(*full, "extent001", "data"), "send");
}

TEST_F(CheckSumTest, MisuseAnswersFalseAndSend) {
    // Before InitializeBackup, with no answer pointer, with an unsupported type, with
    // a type 1 and no Hash file, and with a name that would break the record format.
    CheckSum early("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, false);
    EXPECT_EQ(Decide(early, 1), "send!");
    auto t = Started(CHECKSUM_BACKUP_FULL);
    EXPECT_FALSE(t->ShouldThisExtentBeBackedUp(ExtentName(1), "x", 1, nullptr));
    EXPECT_EQ(Decide(*t, "extent000000000\n1", "x"), "send!");
    EXPECT_EQ(Decide(*t, ExtentName(1), ""), "send");  // empty data has a digest too
    bool backUp = false;
    EXPECT_FALSE(t->ShouldThisExtentBeBackedUp(ExtentName(2), "x", -1, &backUp));
    EXPECT_TRUE(backUp);
    EXPECT_EQ(ReadFile(t->HashTmpPath()), HashRecord(ExtentName(1), Sha512("")));

    auto odd = Started(static_cast<CheckSumBackupType>(2));
    EXPECT_EQ(Decide(*odd, 1), "send!");
    EXPECT_TRUE(env_.HasError("Unsupported backup type ."));
    EXPECT_TRUE(
        env_.HasError("Exception in CheckSum :: DidThisExtentChange\tType:"
                      "APPLICATION_EXCEPTION\tMsg:Improper Usage: Backuptype not "
                      "supported"));

    ::unlink((Dir() + "/Hash_dev_sdb1").c_str());
    CheckSum noHash("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_COMPARE, 7, false);
    EXPECT_TRUE(noHash.InitializeScan(-1));
    EXPECT_FALSE(noHash.InitializeBackup());
    EXPECT_TRUE(env_.HasError("Hash File does not exist for [_dev_sdb1]"));
    EXPECT_EQ(Decide(noHash, 1), "send!");
}

TEST_F(CheckSumTest, FilesAreClosedWithTheTracker) {
    WriteHash("Hash_dev_sdb1", HashRecords({1}));
    WriteHash("HashOnTape_dev_sdb1_7", HashRecords({1}));
    const int before = OpenDescriptorCount();
    {
        auto t = Started(CHECKSUM_BACKUP_COMPARE);
        EXPECT_EQ(OpenDescriptorCount(), before + 3);
        EXPECT_TRUE(t->InitializeBackup());  // again: the earlier files are closed first
        EXPECT_EQ(OpenDescriptorCount(), before + 3);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(CheckSumExtentNumber, NumberAfterTheLastT) {
    TestEnv env;
    EXPECT_EQ(CheckSumProbe::GetExtent("extent0000000005"), 5u);
    EXPECT_EQ(CheckSumProbe::GetExtent("part3_extent0000000042"), 42u);
    EXPECT_EQ(CheckSumProbe::GetExtent("1234567890"), 1234567890u);  // no 't': whole name
    // A 32-bit value widened with its sign.
    EXPECT_EQ(CheckSumProbe::GetExtent("extent-000000001"), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(CheckSumProbe::GetExtent("extent4294967301"), 5u);
    EXPECT_THROW(CheckSumProbe::GetExtent("extent001"), KyException);
    EXPECT_THROW(CheckSumProbe::GetExtent(nullptr), KyException);
    EXPECT_EQ(env.CountLogs("Size of ExtentName is less than 10.NULL", "CheckSum ::  GetExtent"),
              1);
    try {
        CheckSumProbe::GetExtent("0123456789t");
        ADD_FAILURE();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(),
                     "Exception in CheckSum ::  GetExtent\tType:APPLICATION_EXCEPTION\t"
                     "Msg:Size of Number is zero");
    }
}

}  // namespace
}  // namespace kzvol::testing
