// The extent hash tracker: its directory, decisions, lookup, damage, misuse, restarts.
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "checksum/CheckSum.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// Names, data and hash records built independently of the code under test.
std::string ExtentName(int k) {
    const std::string digits = std::to_string(k);
    return "extent" + std::string(10 - digits.size(), '0') + digits;
}
std::string ExtentData(int k, int version = 0) {
    return std::string(4096, static_cast<char>('A' + k % 50)) + std::to_string(version);
}
std::string HashRecord(const std::string& name, const std::string& data) {
    unsigned char out[SHA512_DIGEST_LENGTH];
    SHA512(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
    return name + "\n" + std::string(reinterpret_cast<char*>(out), sizeof out) + "\n";
}
std::string HashRecords(int first, int last, int version = 0) {
    std::string out;
    for (int k = first; k <= last; ++k)
        out += HashRecord(ExtentName(k), ExtentData(k, version));
    return out;
}

// "send", "skip", or "send!" when the call answered false (which must leave "send").
std::string Decide(CheckSum& t, const std::string& name, const std::string& data, int size = 0) {
    bool backUp = false;
    const bool ok = t.ShouldThisExtentBeBackedUp(
        name, data.data(), size ? size : static_cast<int>(data.size()), &backUp);
    return !ok && !backUp ? "FALSE-SKIP" : std::string(backUp ? "send" : "skip") + (ok ? "" : "!");
}
std::string Decisions(CheckSum& t, int first, int last) {
    std::string out;
    for (int k = first; k <= last; ++k)
        out += (k == first ? "" : " ") + Decide(t, ExtentName(k), ExtentData(k));
    return out;
}

struct CheckSumProbe : CheckSum {
    using CheckSum::GetExtent;
};

class CheckSumTest : public ::testing::Test {
  protected:
    std::string File(const std::string& name) const { return dir_ + "/" + name; }
    bool Exists(const std::string& name) const { return ::access(File(name).c_str(), F_OK) == 0; }
    std::string Tape() const { return ReadFile(File("HashOnTape_dev_sdb1_7")); }
    // Writes a file into the CheckSum directory, made if need be; "" removes it.
    void Write(const std::string& name, const std::string& contents) {
        ::mkdir(dir_.c_str(), 0755);
        contents.empty() ? void(::unlink(File(name).c_str()))
                         : void(jobs_.Write("CheckSum/" + name, contents));
    }
    std::unique_ptr<CheckSum> Started(CheckSumBackupType type, bool backupOk = true) {
        auto t = std::make_unique<CheckSum>("/dev/sdb1", jobs_.path(), type, 7, false);
        EXPECT_TRUE(t->InitializeScan(-1) && t->InitializeBackup() == backupOk);
        return t;
    }

    TestEnv env_;
    TempDir jobs_;
    const std::string dir_ = jobs_.File("CheckSum");
};

TEST_F(CheckSumTest, ScanMakesASearchableDirectoryButNeverFollowsALink) {
    for (const std::string& jobs : {jobs_.File("gone"), std::string()})
        EXPECT_FALSE(CheckSum("v", jobs, CHECKSUM_BACKUP_FULL, 0, false).InitializeScan(-1));
    CheckSum t("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, false);
    EXPECT_NE(::access(dir_.c_str(), F_OK), 0);  // construction touches nothing
    ASSERT_EQ(::symlink(jobs_.File("nowhere").c_str(), dir_.c_str()), 0);  // dangling
    EXPECT_FALSE(t.InitializeScan(-1) || ::access(jobs_.File("nowhere").c_str(), F_OK) == 0);
    ::unlink(dir_.c_str());
    const mode_t old = ::umask(022);
    EXPECT_TRUE(t.InitializeScan(-1) && t.InitializeScan(-1));  // the second finds it there
    ::umask(old);
    struct stat st;
    EXPECT_TRUE(::stat(dir_.c_str(), &st) == 0 && (st.st_mode & 0777) == 0755) << st.st_mode;
}

// HashTmp gets this run's digests, changed or not (type 0: in the misuse test).
TEST_F(CheckSumTest, TypeOneSkipsTheUnchangedAndItsLookupRewindsAcrossCacheRefills) {
    Write("Hash_dev_sdb1", HashRecords(0, 0) + HashRecords(2, 2, 1) + HashRecords(4, 5));
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    // 1 and 3 stop the forward-only lookup at the next record, found next time.
    EXPECT_EQ(Decisions(*t, 0, 6), "skip send send send skip skip send");
    EXPECT_EQ(ReadFile(t->HashTmpPath()), HashRecords(0, 6));
    // Long names over several cache fills; each odd extent asked for puts the reader back.
    auto name = [](int k) { return std::string(3000, 'x') + ExtentName(k); };
    std::string hash;
    for (int k = 0; k <= 1600; k += 2)
        hash += HashRecord(name(k), ExtentData(k));
    ASSERT_GT(hash.size(), static_cast<size_t>(FileIO::kCacheSize));
    Write("Hash_dev_sdb1", hash);
    t = Started(CHECKSUM_BACKUP_COMPARE);
    for (int k = 0; k <= 1601; ++k)
        ASSERT_EQ(Decide(*t, name(k), ExtentData(k)), k % 2 == 0 ? "skip" : "send") << k;
}

// 4096 bytes or a newline would break the record format; a short name fails type 1 only.
TEST_F(CheckSumTest, LongestNameRoundTripsLongerOrShortIsRefused) {
    auto name = [](size_t length, int k) { return std::string(length - 16, 'n') + ExtentName(k); };
    const std::string longest = HashRecord(name(4095, 1), ExtentData(1));
    Write("Hash_dev_sdb1", longest);
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    EXPECT_EQ(Decide(*t, name(4095, 1), ExtentData(1)), "skip");
    EXPECT_EQ(Decide(*t, name(4096, 2), ExtentData(2)), "send!");
    EXPECT_EQ(Decide(*t, "extent000000000\n3", "x"), "send!");
    EXPECT_EQ(Decide(*t, "extent001", "data"), "send!");
    EXPECT_EQ(ReadFile(t->HashTmpPath()), longest + HashRecord("extent001", "data"));
    EXPECT_EQ(Decide(*Started(CHECKSUM_BACKUP_FULL), "extent001", "data"), "send");
}

TEST_F(CheckSumTest, DamagedHashFileCostsAResendNeverASkip) {
    const std::string whole = HashRecords(1, 3);
    for (size_t cut = whole.size() - 17 - 65; cut < whole.size(); ++cut) {
        Write("Hash_dev_sdb1", whole.substr(0, cut));
        EXPECT_THAT(Decisions(*Started(CHECKSUM_BACKUP_COMPARE), 1, 4),
                    ::testing::MatchesRegex("skip skip send!? send!?"))
            << cut;
    }
    const std::string bad = HashRecords(1, 1).substr(0, 81) + "X";  // no newline after the digest
    Write("Hash_dev_sdb1", bad + HashRecord(std::string(5000, 't') + "0000000002", ExtentData(2)) +
                               HashRecords(3, 3));
    EXPECT_EQ(Decisions(*Started(CHECKSUM_BACKUP_COMPARE), 1, 3), "send send! skip");
}

TEST_F(CheckSumTest, MisuseAnswersFalseAndSendFilesCloseWithTheTracker) {
    CheckSum early("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, false);
    EXPECT_EQ(Decisions(early, 1, 1), "send!");
    auto t = Started(CHECKSUM_BACKUP_FULL);
    EXPECT_FALSE(t->ShouldThisExtentBeBackedUp(ExtentName(1), "x", 1, nullptr));
    EXPECT_EQ(Decide(*t, ExtentName(1), ""), "send");  // empty data has a digest too
    EXPECT_EQ(Decide(*t, ExtentName(2), "x", -1), "send!");
    EXPECT_EQ(ReadFile(t->HashTmpPath()), HashRecord(ExtentName(1), ""));
    EXPECT_EQ(Decisions(*Started(static_cast<CheckSumBackupType>(2)), 1, 1), "send!");
    EXPECT_EQ(Decisions(*Started(CHECKSUM_BACKUP_COMPARE, false), 1, 1), "send!");
    Write("Hash_dev_sdb1", HashRecords(1, 1));
    Write("HashOnTape_dev_sdb1_7", HashRecords(1, 1));
    const int before = OpenDescriptorCount();
    auto u = Started(CHECKSUM_BACKUP_COMPARE);
    EXPECT_EQ(OpenDescriptorCount(), before + 3);
    EXPECT_TRUE(u->InitializeBackup() && OpenDescriptorCount() == before + 3);  // reopens
    u.reset();
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// -1 takes the whole attempt, the same file renamed. Without an attempt or with a damaged
// older tape file the old HashOnTape stays but no longer vouches: all is sent.
TEST_F(CheckSumTest, RestartMergeTakesTheAttemptsWholeRecordsUpToLastThenTheOlderTape) {
    const std::string died = HashRecords(0, 4, 2).substr(0, 2 * 82 + 17 + 30);  // in extent 2
    const std::string damaged = HashRecord("short", "x");
    using Case = std::tuple<std::string, std::string, long long, std::string>;
    const Case cases[] = {
        {"", HashRecords(1, 3), -1, HashRecords(1, 3)},
        {HashRecords(1, 3), damaged, 2, damaged},
        {HashRecords(1, 8, 1), HashRecords(1, 10), 5, HashRecords(1, 5, 1) + HashRecords(6, 10)},
        {HashRecords(0, 8, 1), "", 3, HashRecords(0, 3, 1)},  // no older tape file
        {died, HashRecords(0, 6), 3, HashRecords(0, 1, 2) + HashRecords(4, 6)},
        {HashRecords(1, 4, 3), HashRecords(1, 10), -1, HashRecords(1, 4, 3)}};
    struct stat before, after;
    for (const auto& [attempt, tape, last, merged] : cases) {
        SCOPED_TRACE(last);
        const bool ok = !attempt.empty() && tape != damaged;
        Write("HashOnTape_dev_sdb1_7", tape);
        Write("HashTmp_dev_sdb1", attempt);
        ::stat(File("HashTmp_dev_sdb1").c_str(), &before);
        CheckSum t("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, true);
        EXPECT_EQ(t.InitializeScan(last), ok);
        EXPECT_EQ(Tape(), merged);
        EXPECT_EQ(Exists("HashOnTapeTmp_dev_sdb1_7"), attempt == HashRecords(1, 3));
        ASSERT_TRUE(ok || (t.InitializeBackup() && Decisions(t, 1, 1) == "send"));
    }
    ASSERT_EQ(::stat(File("HashOnTape_dev_sdb1_7").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(Exists("HashTmp_dev_sdb1"));
}

// Tape: 1 equal, 2 differs, 4 equal. Previous backup: 1 differs, 2 3 equal, 4 5 differ.
TEST_F(CheckSumTest, AtARestartTapeDigestsDecideBeforeThePreviousBackup) {
    Write("HashOnTape_dev_sdb1_7", HashRecords(1, 1, 0) + HashRecords(2, 2, 9) + HashRecords(4, 4));
    Write("Hash_dev_sdb1", HashRecords(1, 1, 9) + HashRecords(2, 3, 0) + HashRecords(4, 5, 9));
    CheckSum t("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_COMPARE, 7, true);
    const std::string tape = Tape();
    ASSERT_TRUE(t.InitializeScan(4) && Tape() == tape && t.InitializeBackup());  // no HashTmp
    EXPECT_EQ(Decisions(t, 1, 5), "skip send skip skip send");
    Write("HashTmp_dev_sdb1", "");  // left by the run above, which a restart would merge
    CheckSum full("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, true);
    ASSERT_TRUE(full.InitializeScan(4) && full.InitializeBackup());
    EXPECT_EQ(Decisions(full, 1, 5), "skip send send skip send");  // what the tape vouches for
    EXPECT_EQ(Decisions(*Started(CHECKSUM_BACKUP_FULL), 1, 3), "send send send");  // type 0
}

TEST_F(CheckSumTest, ExtentNumberIsTheNumberAfterTheLastT) {
    EXPECT_EQ(CheckSumProbe::GetExtent("extent0000000005"), 5u);
    EXPECT_EQ(CheckSumProbe::GetExtent("part3_extent0000000042"), 42u);
    EXPECT_EQ(CheckSumProbe::GetExtent("1234567890"), 1234567890u);  // no 't': whole name
    EXPECT_EQ(CheckSumProbe::GetExtent("extent-000000001"), ~0ull);  // widened with its sign
    EXPECT_EQ(CheckSumProbe::GetExtent("extent4294967301"), 5u);
    for (const char* bad : {"extent001", static_cast<const char*>(nullptr), "0123456789t"})
        EXPECT_THROW(CheckSumProbe::GetExtent(bad), KyException) << (bad ? bad : "NULL");
}

}  // namespace
}  // namespace kzvol::testing
