// The extent hash tracker: the CheckSum directory, type 0 and type 1 decisions, the
// forward-only lookup, damaged hash files and misuse; in a restarted job, the merge
// of the earlier attempt's HashTmp into HashOnTape and decisions by the tape digests.
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "checksum/CheckSum.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// Extent names, data and hash records, built independently of the code under test.
std::string ExtentName(long long k) {
    char name[32];
    std::snprintf(name, sizeof name, "extent%010lld", k);
    return name;
}
// Contents of extent k; a different `version` gives different data.
std::string ExtentData(int k, int version = 0) {
    return std::string(4096, static_cast<char>('A' + k % 50)) + std::to_string(version);
}
// The record of `name` with the SHA-512 digest of `data`.
std::string HashRecord(const std::string& name, const std::string& data) {
    unsigned char out[SHA512_DIGEST_LENGTH];
    SHA512(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
    return name + "\n" + std::string(reinterpret_cast<char*>(out), sizeof out) + "\n";
}
// Records for extents first..last with the digests of ExtentData(k, version).
std::string HashRecords(int first, int last, int version = 0) {
    std::string out;
    for (int k = first; k <= last; ++k)
        out += HashRecord(ExtentName(k), ExtentData(k, version));
    return out;
}

// One decision: "send", "skip", or "send!" when the call answered false (which
// must leave the answer "send").
std::string Decide(CheckSum& t, const std::string& name, const std::string& data) {
    bool backUp = false;
    const bool ok =
        t.ShouldThisExtentBeBackedUp(name, data.data(), static_cast<int>(data.size()), &backUp);
    return !ok && !backUp ? "FALSE-SKIP" : std::string(backUp ? "send" : "skip") + (ok ? "" : "!");
}
// The decisions for extents first..last, as "skip send ...".
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
    // Writes a file into the CheckSum directory, made first if need be.
    void Write(const std::string& name, const std::string& contents) {
        ::mkdir(dir_.c_str(), 0755);
        jobs_.Write("CheckSum/" + name, contents);
    }
    CheckSum Restarted(CheckSumBackupType type = CHECKSUM_BACKUP_FULL) {
        return CheckSum("/dev/sdb1", jobs_.path(), type, 7, true);
    }
    std::unique_ptr<CheckSum> Started(CheckSumBackupType type) {
        auto t = std::make_unique<CheckSum>("/dev/sdb1", jobs_.path(), type, 7, false);
        EXPECT_TRUE(t->InitializeScan(-1));
        EXPECT_TRUE(t->InitializeBackup());
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
    EXPECT_FALSE(t.InitializeScan(-1));
    EXPECT_NE(::access(jobs_.File("nowhere").c_str(), F_OK), 0);
    ::unlink(dir_.c_str());
    const mode_t old = ::umask(022);
    EXPECT_TRUE(t.InitializeScan(-1));
    EXPECT_TRUE(t.InitializeScan(-1));  // already there
    ::umask(old);
    struct stat st;
    EXPECT_TRUE(::stat(dir_.c_str(), &st) == 0 && (st.st_mode & 0777) == 0755) << st.st_mode;
}

// Type 0 sends everything; type 1 skips what equals the previous backup, its
// forward-only lookup stopping at a later extent and finding it next time. Both
// record this run's digests in HashTmp, changed or not.
TEST_F(CheckSumTest, TypeZeroSendsAllTypeOneSkipsTheUnchanged) {
    Write("Hash_dev_sdb1", HashRecords(0, 0) + HashRecords(2, 2, 1) + HashRecords(4, 5));
    auto full = Started(CHECKSUM_BACKUP_FULL);
    EXPECT_EQ(Decisions(*full, 0, 2), "send send send");
    EXPECT_EQ(ReadFile(full->HashTmpPath()), HashRecords(0, 2));
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    // 1 and 3 stop at the next record, read again next time; 2 changed; 6 is beyond.
    EXPECT_EQ(Decisions(*t, 0, 6), "skip send send send skip skip send");
    EXPECT_EQ(ReadFile(t->HashTmpPath()), HashRecords(0, 6));
}

TEST_F(CheckSumTest, LookupRewindsAcrossCacheRefills) {
    // Every even extent, under long names, in a Hash file bigger than one cache fill;
    // every odd extent is asked for in between and must put the reader back.
    auto name = [](int k) { return std::string(3000, 'x') + ExtentName(k); };
    std::string hash;
    for (int k = 0; k <= 1600; k += 2)
        hash += HashRecord(name(k), ExtentData(k));
    ASSERT_GT(hash.size(), static_cast<size_t>(FileIO::kCacheSize));
    Write("Hash_dev_sdb1", hash);
    auto t = Started(CHECKSUM_BACKUP_COMPARE);
    int wrong = 0;
    for (int k = 0; k <= 1601; ++k)
        wrong += Decide(*t, name(k), ExtentData(k)) != (k % 2 == 0 ? "skip" : "send");
    EXPECT_EQ(wrong, 0);
}

// A name of 4095 bytes is recorded and found again; one byte more, or a newline, would
// break the record format and is refused (false, send) without a record. A short
// extent name fails the type 1 lookup after its digest is recorded.
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
    // Type 0 without a restart needs no lookup and simply sends the short name.
    EXPECT_EQ(Decide(*Started(CHECKSUM_BACKUP_FULL), "extent001", "data"), "send");
}

// Truncated or damaged records cost a resend, never a skip; the reader finds its
// way back to the intact records after the damage.
TEST_F(CheckSumTest, DamagedHashFileCostsAResendNeverASkip) {
    const std::string whole = HashRecords(1, 3);
    for (size_t cut = whole.size() - 17 - 65; cut < whole.size(); ++cut) {
        Write("Hash_dev_sdb1", whole.substr(0, cut));
        std::string out = Decisions(*Started(CHECKSUM_BACKUP_COMPARE), 1, 4);  // "send!" is fine
        out.erase(std::remove(out.begin(), out.end(), '!'), out.end());
        EXPECT_EQ(out, "skip skip send send") << "cut at " << cut;
    }
    std::string bad = HashRecords(1, 1);
    bad.back() = 'X';  // digest not followed by its newline
    const std::string longName = HashRecord(std::string(5000, 't') + "0000000002", ExtentData(2));
    Write("Hash_dev_sdb1", bad + longName + HashRecords(3, 3));
    EXPECT_EQ(Decisions(*Started(CHECKSUM_BACKUP_COMPARE), 1, 3), "send send! skip");
}

// Before InitializeBackup, with no answer pointer, a negative length, an unsupported
// type, and a type 1 without a Hash file; its files are closed with the tracker.
TEST_F(CheckSumTest, MisuseAnswersFalseAndSendFilesCloseWithTheTracker) {
    CheckSum early("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_FULL, 7, false);
    EXPECT_EQ(Decisions(early, 1, 1), "send!");
    auto t = Started(CHECKSUM_BACKUP_FULL);
    EXPECT_FALSE(t->ShouldThisExtentBeBackedUp(ExtentName(1), "x", 1, nullptr));
    EXPECT_EQ(Decide(*t, ExtentName(1), ""), "send");  // empty data has a digest too
    bool backUp = false;
    EXPECT_FALSE(t->ShouldThisExtentBeBackedUp(ExtentName(2), "x", -1, &backUp));
    EXPECT_TRUE(backUp);
    EXPECT_EQ(ReadFile(t->HashTmpPath()), HashRecord(ExtentName(1), ""));
    EXPECT_EQ(Decisions(*Started(static_cast<CheckSumBackupType>(2)), 1, 1), "send!");
    CheckSum noHash("/dev/sdb1", jobs_.path(), CHECKSUM_BACKUP_COMPARE, 7, false);
    EXPECT_TRUE(noHash.InitializeScan(-1));
    EXPECT_FALSE(noHash.InitializeBackup());
    EXPECT_EQ(Decisions(noHash, 1, 1), "send!");

    Write("Hash_dev_sdb1", HashRecords(1, 1));
    Write("HashOnTape_dev_sdb1_7", HashRecords(1, 1));
    const int before = OpenDescriptorCount();
    {
        auto u = Started(CHECKSUM_BACKUP_COMPARE);
        EXPECT_EQ(OpenDescriptorCount(), before + 3);
        EXPECT_TRUE(u->InitializeBackup());  // again: the earlier files are closed first
        EXPECT_EQ(OpenDescriptorCount(), before + 3);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

using CheckSumRestart = CheckSumTest;

// The merge at a restart: the attempt's whole records up to LastExtent, then the
// older tape file's beyond it; -1 takes the whole attempt, the same file renamed.
// Without an attempt, or with a damaged older tape file that stops the merge half
// way, the old HashOnTape stays but no longer describes the tape: all is sent.
TEST_F(CheckSumRestart, MergeTakesTheAttemptsWholeRecordsUpToLastThenTheOlderTape) {
    const std::string died = HashRecords(0, 4, 2).substr(0, 2 * 82 + 17 + 30);  // in extent 2
    const std::string damaged = HashRecord("short", "x");
    const struct {
        std::string attempt, tape;
        long long last;
        std::string merged;
        bool ok;
    } cases[] = {
        {"", HashRecords(1, 3), -1, HashRecords(1, 3), false},
        {HashRecords(1, 3), damaged, 2, damaged, false},
        {HashRecords(1, 8, 1), HashRecords(1, 10), 5, HashRecords(1, 5, 1) + HashRecords(6, 10), 1},
        {HashRecords(0, 8, 1), "", 3, HashRecords(0, 3, 1), true},  // no older tape file
        {died, HashRecords(0, 6), 3, HashRecords(0, 1, 2) + HashRecords(4, 6), true},
        {HashRecords(1, 4, 3), HashRecords(1, 10), -1, HashRecords(1, 4, 3), true}};
    struct stat before, after;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.last);
        ::unlink(File("HashOnTape_dev_sdb1_7").c_str());
        if (!c.tape.empty())
            Write("HashOnTape_dev_sdb1_7", c.tape);
        if (!c.attempt.empty())
            Write("HashTmp_dev_sdb1", c.attempt);
        ::stat(File("HashTmp_dev_sdb1").c_str(), &before);
        CheckSum t = Restarted();
        EXPECT_EQ(t.InitializeScan(c.last), c.ok);
        EXPECT_EQ(Tape(), c.merged);
        EXPECT_EQ(Exists("HashOnTapeTmp_dev_sdb1_7"), c.attempt == HashRecords(1, 3));
        ASSERT_TRUE(c.ok || t.InitializeBackup());
        EXPECT_TRUE(c.ok || Decisions(t, 1, 1) == "send");
    }
    ASSERT_EQ(::stat(File("HashOnTape_dev_sdb1_7").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(Exists("HashTmp_dev_sdb1"));
}

TEST_F(CheckSumRestart, TapeDigestsDecideBeforeThePreviousBackup) {
    // Tape: 1 equal, 2 different, 4 equal. Hash (previous backup): 1 different,
    // 2 equal, 3 equal, 4 different, 5 different. A job that is no restart ignores
    // the tape.
    Write("HashOnTape_dev_sdb1_7", HashRecords(1, 1, 0) + HashRecords(2, 2, 9) + HashRecords(4, 4));
    Write("Hash_dev_sdb1", HashRecords(1, 1, 9) + HashRecords(2, 3, 0) + HashRecords(4, 5, 9));
    CheckSum t = Restarted(CHECKSUM_BACKUP_COMPARE);
    const std::string tape = Tape();
    ASSERT_TRUE(t.InitializeScan(4));
    EXPECT_EQ(Tape(), tape);  // no HashTmp: the tape file stays
    ASSERT_TRUE(t.InitializeBackup());
    EXPECT_EQ(Decisions(t, 1, 5), "skip send skip skip send");
    // Type 0: what the tape does not vouch for is sent. (The run above left a HashTmp
    // that a restart would merge: it goes first.)
    ::unlink(File("HashTmp_dev_sdb1").c_str());
    CheckSum full = Restarted(CHECKSUM_BACKUP_FULL);
    ASSERT_TRUE(full.InitializeScan(4) && full.InitializeBackup());
    EXPECT_EQ(Decisions(full, 1, 5), "skip send send skip send");
    EXPECT_EQ(Decisions(*Started(CHECKSUM_BACKUP_FULL), 1, 1), "send");
}

TEST(CheckSumExtentNumber, NumberAfterTheLastT) {
    TestEnv env;
    EXPECT_EQ(CheckSumProbe::GetExtent("extent0000000005"), 5u);
    EXPECT_EQ(CheckSumProbe::GetExtent("part3_extent0000000042"), 42u);
    EXPECT_EQ(CheckSumProbe::GetExtent("1234567890"), 1234567890u);  // no 't': whole name
    // A 32-bit value widened with its sign.
    EXPECT_EQ(CheckSumProbe::GetExtent("extent-000000001"), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(CheckSumProbe::GetExtent("extent4294967301"), 5u);
    for (const char* bad : {"extent001", static_cast<const char*>(nullptr), "0123456789t"})
        EXPECT_THROW(CheckSumProbe::GetExtent(bad), KyException) << (bad ? bad : "NULL");
}

}  // namespace
}  // namespace kzvol::testing
