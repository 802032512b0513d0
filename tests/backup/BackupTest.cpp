// The backup cycle over a volume in memory: points restored byte for byte, failures and
// kills that lose no change, and repositories of another volume or hostile refused.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>

#include "backup/ExtentReader.h"
#include "tests/backup/BackupTestSupport.h"

namespace kzvol::testing {
namespace {

using backup::Manifest;
using ::testing::HasSubstr;

constexpr uint64_t kExtent = 4096;
constexpr uint64_t kExtents = 37;  // a bitmap of 5 bytes with unused bits

class BackupCycle : public ::testing::Test {
  protected:
    void SetUp() override {
        for (uint64_t n = 0; n < kExtents; ++n)
            src_.Fill(n, static_cast<char>('a' + n % 26));
        ASSERT_EQ(Reopen(), "");
    }

    std::string Backup(bool incremental, bool index = false) {
        return TryBackup(repo_, src_, &(r_ = {}), incremental, index);
    }
    Numbers Sent() { return ExtentNumbers(r_.manifest); }
    std::string Restore(const std::string& id) { return RestoreTo(repo_, id, dir_.File("out")); }
    std::string Verify(const std::string& id) {
        std::vector<Manifest> chain;
        std::string error;
        bool ok = repo_.Chain(id, &chain, &error) &&
                  backup::VerifyBackup(repo_, chain.back(), nullptr, &error) &&
                  backup::VerifyFiles(repo_, chain.back(), &error);
        return ok ? "" : error;
    }
    // `id` verifies and restores `contents`.
    void ExpectPoint(const std::string& id, const std::string& contents) {
        EXPECT_EQ(Verify(id), "");
        const std::string got = Restore(id);
        EXPECT_TRUE(got == contents) << id << ": " << got.substr(0, 200);
    }
    // Restoring and verifying `id` both fail with `why`.
    void ExpectRefused(const std::string& id, const std::string& why) {
        EXPECT_THAT(Restore(id), HasSubstr(why));
        EXPECT_THAT(Verify(id), HasSubstr(why));
    }
    // Opens the directory afresh for writing: "" or why that failed.
    std::string Reopen() {
        repo_ = backup::Repository(repo_.dir());
        std::string error;
        return repo_.LockForWriting(&error) ? "" : error;
    }
    std::string Path(const std::string& id, const char* f) { return repo_.BackupDir(id) + "/" + f; }
    static void Put(const std::string& p, const std::string& text) { std::ofstream(p) << text; }
    static void PlantFifo(const std::string& path) {
        ::unlink(path.c_str());
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    }

    TestEnv env_;
    TempDir dir_;
    FakeSource src_{kExtents * kExtent - 1024, kExtent};  // a short last extent
    backup::Repository repo_{dir_.File("repo")};
    backup::BackupReport r_;
    const std::vector<uint8_t> noBits_ = std::vector<uint8_t>(src_.bitmapBytes, 0);
};

// A write after the bitmap was taken, before the image, goes to the next backup.
TEST_F(BackupCycle, EveryPointRestoresByteForByte) {
    ASSERT_EQ(Backup(false, true), "");
    const std::string point1 = src_.Contents();
    EXPECT_EQ(r_.manifest.BytesHeld(), src_.bytes);
    EXPECT_EQ(src_.indexedAs, repo_.TempDir("000001") + "/index");
    EXPECT_EQ(src_.thaws, 1);

    src_.Fill(3, 'X');
    src_.Write(8 * kExtent - 2, "spans");  // extents 7 and 8
    src_.Fill(36, 'Z');                    // the short last extent
    src_.Fill(20, 'a' + 20 % 26);          // rewritten with what it held: skipped
    const std::string point2 = src_.Contents();
    src_.hook = [&](const std::string& step, uint64_t) {
        if (step == "freeze")
            src_.Fill(9, 'L');
    };
    ASSERT_EQ(Backup(true), "");
    src_.hook = nullptr;
    EXPECT_EQ(Sent(), (Numbers{3, 7, 8, 36}));
    EXPECT_EQ(r_.extentsRead, 5u);
    EXPECT_EQ(r_.extentsSkipped, 1u);
    EXPECT_EQ(src_.Bits()[1], 1 << (9 - 8));

    src_.Fill(3, 'Y');
    src_.Fill(0, 'Q');
    ASSERT_EQ(Backup(true), "");
    EXPECT_EQ(Sent(), (Numbers{0, 3, 9}));
    EXPECT_EQ(src_.Bits(), noBits_);
    ExpectPoint("000001", point1);
    ExpectPoint("000002", point2);
    ExpectPoint("000003", src_.Contents());
    struct stat st;
    for (const char* file : {"/000003/extents", "/000003/bitmap", "/config"}) {
        ASSERT_EQ(::stat((repo_.dir() + file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 077, 0u) << file;
    }
}

// Random extents are stored raw. A read failing with extents in flight, --used-only without
// a file system, a refused snapshot: each gives the changes back and leaves nothing.
TEST_F(BackupCycle, CompressedAndRawExtentsRestoreAndFailuresGiveTheChangesBack) {
    const Numbers noisy = {1, 2, 17, 36};
    for (uint64_t n : noisy)
        src_.Write(n * kExtent, RandomBytes(src_.Length(n), n));
    std::vector<uint8_t> before = src_.Bits();
    src_.failRead = 20;
    EXPECT_THAT(Backup(false), HasSubstr("reading extent 20 of the snapshot failed"));
    EXPECT_EQ(src_.Bits(), before);
    EXPECT_TRUE(repo_.BackupIds().empty() && repo_.LeftoverIds().empty());
    src_.failRead = -1;
    EXPECT_THAT(TryBackup(repo_, src_, &r_, false, false, /*usedOnly=*/true),
                HasSubstr("--used-only: the volume holds no ext2/ext3 file system"));
    EXPECT_EQ(src_.Bits(), before);
    ASSERT_EQ(Backup(false), "");
    for (const backup::ExtentEntry& e : r_.manifest.extents)
        EXPECT_EQ(e.stored == 0, std::count(noisy.begin(), noisy.end(), e.number) == 1) << e.number;
    EXPECT_LT(r_.manifest.BytesStored(), r_.manifest.BytesHeld() / 4);
    ExpectPoint("000001", src_.Contents());

    src_.Fill(2, 'R');
    src_.Fill(30, 'S');
    before = src_.Bits();
    const int thaws = src_.thaws;
    src_.refuseFreeze = true;
    EXPECT_EQ(Backup(true), "snapshot refused by the driver");
    src_.refuseFreeze = false;
    EXPECT_EQ(src_.Bits(), before);
    src_.failRead = 1;  // the second extent to send
    EXPECT_THAT(Backup(true), HasSubstr("reading extent 30 of the snapshot failed: I/O error"));
    EXPECT_EQ(src_.Bits(), before);
    EXPECT_EQ(src_.thaws, thaws + 1);
    EXPECT_EQ(repo_.BackupIds(), Ids{"000001"});
    EXPECT_TRUE(repo_.LeftoverIds().empty());

    // Bits that cannot go back stay in the unfinished folder (its id used again) for the next.
    src_.refuseReturn = true;
    EXPECT_THAT(Backup(true),
                HasSubstr("the next backup takes them from " + repo_.TempDir("000002")));
    src_.refuseReturn = false;
    src_.failRead = -1;
    EXPECT_EQ(src_.Bits(), noBits_);
    ASSERT_EQ(Backup(true), "");
    EXPECT_EQ(r_.leftoversFolded, 1u);
    EXPECT_EQ(Sent(), (Numbers{2, 30}));
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    ExpectPoint("000003", src_.Contents());
}

// A repository written before extents were compressed: no stored lengths.
TEST_F(BackupCycle, AnUncompressedRepositoryStaysReadable) {
    const std::string u(512, 'u'), v(512, 'v');
    const auto digest = [](const std::string& s) {
        return backup::DigestHex(backup::DigestOf(s.data(), 512));
    };
    ASSERT_EQ(::mkdir(repo_.BackupDir("000001").c_str(), 0755), 0);
    Put(Path("000001", "manifest"),
        "kzvol backup manifest 1\nid 000001\nkind full\nparent -\ntime 1796570762\n"
        "volume-bytes 1024\nextent-bytes 512\nindex no\nextents 2\nextent 0 0 512 " +
            digest(u) + "\nextent 1 512 512 " + digest(v) + "\nend\n");
    Put(Path("000001", "extents"), u + v);
    ExpectPoint("000001", u + v);
}

TEST_F(BackupCycle, KillsLoseNoChange) {
    ASSERT_EQ(Backup(false), "");
    std::memset(src_.sinceFull, 0, src_.bitmapBytes);  // as at a full backup
    const std::string point1 = src_.Contents();
    // At "take 0" the bits are out of the driver, not yet in the folder.
    const std::string moments[] = {"take 0", "freeze 0", "read 1", "thaw 0"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(moments[i]);
        src_.Fill(1 + 6 * i, 'K');
        src_.Fill(4 + 6 * i, 'K');
        ASSERT_TRUE(DiesInChild([&] {
            src_.hook = [&](const std::string& step, uint64_t n) {
                if (step + " " + std::to_string(n) == moments[i])
                    ::raise(SIGKILL);
            };
            Backup(true);
        }));
        EXPECT_EQ(repo_.BackupIds(), Ids{"000001"});
        EXPECT_EQ(repo_.LeftoverIds().size(), 1u);
        ExpectPoint("000001", point1);
    }
    // Each kill's image went with the next attempt; every change since 000001 is sent.
    ASSERT_EQ(Backup(true), "");
    EXPECT_EQ(Sent(), (Numbers{1, 4, 7, 10, 13, 16, 19, 22}));
    EXPECT_EQ(r_.extentsRead, 8u);
    EXPECT_EQ(src_.leftoversRemoved, Ids{"image 2\n"});
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    ExpectPoint(r_.manifest.id, src_.Contents());
}

TEST_F(BackupCycle, ARepositoryServesOnlyItsOwnVolume) {
    src_.fsUuid = "0c6d5f4e-1111-2222-3333-444455556666";
    ASSERT_EQ(Backup(false), "");

    // Another device, the same one reformatted, a bigger one: refused before a bit is taken.
    src_.Fill(2, 'E');
    const std::vector<uint8_t> before = src_.Bits();
    FakeSource other = src_, reformatted = src_, bigger(kExtents * kExtent * 2, kExtent);
    other.device = "fake1";
    reformatted.fsUuid = "99999999-1111-2222-3333-444455556666";
    bigger.fsUuid = src_.fsUuid;
    for (FakeSource* s : {&other, &reformatted, &bigger}) {
        EXPECT_THAT(TryBackup(repo_, *s, &r_, true),
                    HasSubstr("is not for this volume: it protects the volume over fake0 (150528 "
                              "bytes in extents of 4096, file system 0c6d5f4e-"));
        EXPECT_EQ(src_.Bits(), before);
    }
    EXPECT_EQ(repo_.BackupIds(), Ids{"000001"});

    // One from before identities is adopted by its next backup; a newer format is refused.
    const std::string config = repo_.dir() + "/config";
    ASSERT_EQ(::unlink(config.c_str()), 0);
    ASSERT_EQ(Reopen(), "");
    EXPECT_EQ(repo_.config(), nullptr);
    EXPECT_EQ(Restore("000001").size(), src_.bytes);
    ASSERT_EQ(Backup(true), "");
    ASSERT_NE(repo_.config(), nullptr);
    Put(config, Replaced(ReadFile(config), "version 2", "version 3"));
    EXPECT_THAT(Reopen(), HasSubstr("is of format version 3; this kzvol knows version 2"));
}

TEST_F(BackupCycle, PlantedFifosAreRefusedNeverWaitedOn) {
    ASSERT_EQ(Backup(false), "");
    src_.Fill(2, 'N');
    ASSERT_EQ(::mkdir(repo_.TempDir("000005").c_str(), 0755), 0);
    PlantFifo(repo_.TempDir("000005") + "/bitmap");
    PlantFifo(repo_.TempDir("000005") + "/snapshot");
    ASSERT_EQ(Backup(true), "");
    EXPECT_EQ(r_.leftoversLost, 1u);
    EXPECT_EQ(Sent(), Numbers{2});
    PlantFifo(Path("000001", "extents"));
    EXPECT_THAT(Restore(r_.manifest.id), HasSubstr("cannot open the extents of backup 000001"));
    PlantFifo(repo_.dir() + "/config");
    EXPECT_THAT(Reopen(), HasSubstr("cannot read the identity file"));
}

// Over a full backup and an incremental (000002, whose manifest is manifest_).
class HostileRepository : public BackupCycle {
  protected:
    void SetUp() override {
        BackupCycle::SetUp();
        ASSERT_EQ(Backup(false), "");
        src_.Fill(4, 'H');
        ASSERT_EQ(Backup(true), "");
        manifest_ = ReadFile(Path("000002", "manifest"));
    }
    void EditManifest(const std::string& from, const std::string& to) {
        Put(Path("000002", "manifest"), Replaced(manifest_, from, to));
    }

    std::string manifest_;
};

TEST_F(HostileRepository, DamagedOrMissingFilesAreRefused) {
    // An extents file a byte short or long, a stored length that lies: refused up front.
    const std::string extents = Path("000002", "extents"), data = ReadFile(extents);
    const std::string lists = " bytes where its manifest lists ";
    for (size_t bytes : {data.size() - 1, data.size() + 1}) {
        Put(extents, (data + "x").substr(0, bytes));
        ExpectRefused("000002", std::to_string(bytes) + lists + std::to_string(data.size()) +
                                    (bytes < data.size() ? " (truncated)" : ""));
    }
    Put(extents, data);
    const uint64_t stored = r_.manifest.extents[0].stored;
    ASSERT_NE(stored, 0u);
    for (uint64_t wrong : {stored + 1, stored - 1}) {
        EditManifest("zstd:" + std::to_string(stored), "zstd:" + std::to_string(wrong));
        ExpectRefused("000002", lists);
    }
    EditManifest("", "");

    // Every other file is covered by a digest, and no file the manifest does not list.
    const std::string bitmap = Path("000002", "bitmap"), original = ReadFile(bitmap);
    Put(bitmap, std::string(1, static_cast<char>(original[0] ^ 1)) + original.substr(1));
    EXPECT_THAT(Verify("000002"),
                HasSubstr("the file bitmap of backup 000002 does not match its digest"));
    Put(bitmap, original);
    Put(Path("000002", "planted"), "x");
    EXPECT_THAT(Verify("000002"), HasSubstr("holds files its manifest does not list (planted)"));

    // A missing link, which no incremental builds on either.
    ASSERT_EQ(::rename(repo_.BackupDir("000001").c_str(), dir_.File("elsewhere").c_str()), 0);
    ExpectRefused("000002",
                  "builds on 000001, which cannot be used: no backup 000001 in " + repo_.dir());
    EXPECT_THAT(Backup(true), HasSubstr("the newest backup in " + repo_.dir() + " is unusable"));
}

// Older extents must not overwrite newer ones; sizes are the repository's or the parent's.
TEST_F(HostileRepository, AChainOutOfOrderOrOfAnotherVolumeIsRefused) {
    src_.Fill(4, 'J');
    ASSERT_EQ(Backup(true), "");
    for (const std::string parent : {"000002", "000003"}) {
        EditManifest("parent 000001", "parent " + parent);
        ExpectRefused("000002", "builds on a later backup, " + parent);
    }
    EditManifest("", "");
    std::vector<Manifest> chain;
    std::string error;
    ASSERT_TRUE(repo_.Chain("000003", &chain, &error)) << error;
    UniqueFd fd(::open(dir_.File("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    for (const std::vector<Manifest>& wrong :
         {std::vector<Manifest>{chain[0], chain[2]}, {chain[0], chain[2], chain[1]}}) {
        EXPECT_FALSE(backup::RestoreChain(repo_, wrong, fd.get(), false, nullptr, &error));
        EXPECT_THAT(error, HasSubstr("out of order"));
    }
    ExpectPoint("000003", src_.Contents());

    EditManifest("volume-bytes 150528", "volume-bytes 151040");
    ExpectRefused("000002",
                  "backup 000002 was made for a volume of 151040 bytes in extents of "
                  "4096, but the repository " +
                      repo_.dir() + " protects the volume over fake0 (150528 bytes");
    ASSERT_EQ(::unlink((repo_.dir() + "/config").c_str()), 0);
    ASSERT_EQ(Reopen(), "");
    ExpectRefused("000002",
                  "but 000001 it builds on for a volume of 150528 bytes in extents of 4096");
}

}  // namespace
}  // namespace kzvol::testing
