// The backup cycle and repository over a volume in memory: full and incremental
// points restored byte for byte, the write that lands between the bitmap and the
// snapshot, failures that give the taken changes back, kills at several moments,
// a repository that serves only its own volume, and hostile repositories that
// must be refused rather than restored or waited on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "backup/Backup.h"
#include "backup/ExtentReader.h"
#include "backup/FilterSource.h"
#include "backup/Readback.h"
#include "host/Handles.h"
#include "tests/backup/FakeSource.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

using backup::Manifest;

constexpr uint64_t kExtent = 4096;
constexpr uint64_t kExtents = 37;  // a bitmap of 5 bytes with unused bits

class BackupCycle : public ::testing::Test {
  protected:
    void SetUp() override {
        for (uint64_t n = 0; n < kExtents; ++n)
            vol_.Fill(n, static_cast<char>('a' + n % 26));
        std::string error;
        ASSERT_TRUE(repo_.LockForWriting(&error)) << error;
    }

    // Runs one backup; its error text ("" on success).
    std::string Backup(bool incremental, backup::BackupReport* report = nullptr,
                       bool index = false) {
        backup::BackupReport local;
        backup::BackupOptions options;
        options.incremental = incremental;
        options.index = index;
        options.usedOnly = usedOnly_;
        std::string error;
        return backup::RunBackup(repo_, src_, options, report ? report : &local, &error) ? ""
                                                                                         : error;
    }
    // The volume restored from the chain ending at `id`, or the refusal.
    std::string Restore(const std::string& id, bool* ok) {
        std::vector<Manifest> chain;
        std::string error;
        const std::string out = dir_.File("restored");
        UniqueFd fd(::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
        *ok = repo_.Chain(id, &chain, &error) &&
              backup::RestoreChain(repo_, chain, fd.get(), false, nullptr, &error);
        return *ok ? ReadFile(out) : error;
    }
    std::string RestoreOk(const std::string& id) {
        bool ok = false;
        std::string got = Restore(id, &ok);
        EXPECT_TRUE(ok) << got;
        return got;
    }
    // Verification of `id`: "" or why it failed.
    std::string Verify(const std::string& id) {
        std::vector<Manifest> chain;
        std::string error;
        bool ok = repo_.Chain(id, &chain, &error) &&
                  backup::VerifyBackup(repo_, chain.back(), nullptr, &error) &&
                  backup::VerifyFiles(repo_, chain.back(), &error);
        return ok ? "" : error;
    }
    std::vector<uint64_t> Sent(const std::string& id) {
        Manifest m;
        std::string error;
        EXPECT_TRUE(repo_.Load(id, &m, &error)) << error;
        std::vector<uint64_t> numbers;
        for (const auto& e : m.extents)
            numbers.push_back(e.number);
        return numbers;
    }
    std::vector<uint8_t> Bits() { return {vol_.bits(), vol_.bits() + vol_.bitmapBytes()}; }
    // Forgets the repository object and opens the directory afresh.
    void Reopen() {
        repo_ = backup::Repository(repo_.dir());
        std::string error;
        ASSERT_TRUE(repo_.LockForWriting(&error)) << error;
    }

    bool usedOnly_ = false;
    TestEnv env_;
    TempDir dir_;
    FakeVolume vol_{kExtents * kExtent - 1024, kExtent};  // a short last extent
    FakeSource src_{vol_};
    backup::Repository repo_{dir_.File("repo")};
};

TEST_F(BackupCycle, EveryPointRestoresByteForByte) {
    backup::BackupReport r;
    ASSERT_EQ(Backup(false, &r, true), "");
    const std::string point1 = vol_.Contents();
    EXPECT_EQ(r.manifest.extents.size(), kExtents);
    EXPECT_EQ(r.manifest.BytesHeld(), vol_.bytes());
    EXPECT_EQ(src_.indexedAs, repo_.TempDir("000001") + "/index");
    EXPECT_EQ(src_.thaws, 1);

    vol_.Fill(3, 'X');
    vol_.Write(8 * kExtent - 2, "spans");  // extents 7 and 8
    vol_.Fill(36, 'Z');                    // the short last extent
    vol_.Fill(20, 'a' + 20 % 26);          // rewritten with what it held: skipped
    ASSERT_EQ(Backup(true, &r), "");
    const std::string point2 = vol_.Contents();
    EXPECT_EQ(Sent("000002"), (std::vector<uint64_t>{3, 7, 8, 36}));
    EXPECT_EQ(r.extentsRead, 5u);
    EXPECT_EQ(r.extentsSkipped, 1u);
    EXPECT_EQ(r.manifest.parent, "000001");

    vol_.Fill(3, 'Y');
    vol_.Fill(0, 'Q');
    ASSERT_EQ(Backup(true, &r), "");
    EXPECT_EQ(Sent("000003"), (std::vector<uint64_t>{0, 3}));
    EXPECT_EQ(Bits(), std::vector<uint8_t>(vol_.bitmapBytes(), 0));

    EXPECT_TRUE(RestoreOk("000001") == point1);
    EXPECT_TRUE(RestoreOk("000002") == point2);
    EXPECT_TRUE(RestoreOk("000003") == vol_.Contents());
    for (const char* id : {"000001", "000002", "000003"})
        EXPECT_EQ(Verify(id), "") << id;
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    // What holds the volume's data is the owner's alone.
    struct stat st;
    for (const char* file : {"/000003/extents", "/000003/bitmap", "/config"}) {
        ASSERT_EQ(::stat((repo_.dir() + file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 077, 0u) << file;
    }

    // Extents of a point read one by one are the point's, from whichever backup holds them.
    std::vector<Manifest> chain;
    std::string error;
    backup::PointExtents point;
    ASSERT_TRUE(repo_.Chain("000002", &chain, &error) && point.Open(repo_, chain, &error)) << error;
    std::string buffer(kExtent, '\0');
    for (uint64_t n : {0, 3, 8, 20, 36}) {
        ASSERT_TRUE(point.Read(n, buffer.data(), &error)) << error;
        const uint32_t length = backup::ExtentLength(vol_.bytes(), kExtent, n);
        EXPECT_TRUE(buffer.compare(0, length, point2, n * kExtent, length) == 0) << n;
    }
}

TEST_F(BackupCycle, AWriteBetweenBitmapAndSnapshotIsInBoth) {
    ASSERT_EQ(Backup(false), "");
    vol_.Fill(5, 'P');
    const std::string beforeTheWrite = vol_.Contents();
    src_.hook = [&](const std::string& step, uint64_t) {
        if (step == "freeze")
            vol_.Fill(9, 'L');  // after the bitmap was taken, before the image
    };
    ASSERT_EQ(Backup(true), "");
    src_.hook = nullptr;
    // The image held extent 9, but only the taken bits were read from it; the
    // next bitmap has it.
    EXPECT_EQ(Sent("000002"), (std::vector<uint64_t>{5}));
    EXPECT_TRUE(RestoreOk("000002") == beforeTheWrite);
    EXPECT_TRUE(vol_.Changed(9));
    ASSERT_EQ(Backup(true), "");
    EXPECT_EQ(Sent("000003"), (std::vector<uint64_t>{9}));
    EXPECT_TRUE(RestoreOk("000003") == vol_.Contents());
}

TEST_F(BackupCycle, FailuresGiveTheTakenChangesBack) {
    ASSERT_EQ(Backup(false), "");
    vol_.Fill(2, 'R');
    vol_.Fill(30, 'S');
    const std::vector<uint8_t> before = Bits();

    src_.refuseFreeze = true;
    EXPECT_EQ(Backup(true), "snapshot refused by the driver");
    src_.refuseFreeze = false;
    EXPECT_EQ(Bits(), before);

    src_.failRead = 1;  // the second extent to send
    EXPECT_NE(Backup(true).find("reading extent 30 of the snapshot failed: I/O error"),
              std::string::npos);
    EXPECT_EQ(Bits(), before);
    EXPECT_FALSE(src_.frozen);
    EXPECT_EQ(repo_.BackupIds(), std::vector<std::string>{"000001"});
    EXPECT_TRUE(repo_.LeftoverIds().empty());

    // When the bits cannot go back, the unfinished folder keeps them for the next one.
    // (A failed backup leaves nothing, so its id is used again.)
    src_.refuseReturn = true;
    std::string error = Backup(true);
    EXPECT_NE(error.find("the next backup takes them from " + repo_.TempDir("000002")),
              std::string::npos)
        << error;
    src_.refuseReturn = false;
    src_.failRead = -1;
    EXPECT_EQ(Bits(), std::vector<uint8_t>(vol_.bitmapBytes(), 0));
    backup::BackupReport r;
    ASSERT_EQ(Backup(true, &r), "");
    EXPECT_EQ(r.leftoversFolded, 1u);
    EXPECT_EQ(Sent("000003"), (std::vector<uint64_t>{2, 30}));
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    EXPECT_TRUE(RestoreOk("000003") == vol_.Contents());
}

// Random extents are stored as they are, the others compressed, and both restore
// exactly; a read failing midway, with extents in flight, and --used-only on a
// volume without a file system leave nothing behind and give the changes back.
TEST_F(BackupCycle, CompressedAndRawExtentsRestoreExactly) {
    std::mt19937 rng(7);
    for (uint64_t n : {1, 2, 17, 36}) {
        std::string noise(std::min(kExtent, vol_.bytes() - n * kExtent), '\0');
        for (char& c : noise)
            c = static_cast<char>(rng());
        vol_.Write(n * kExtent, noise);
    }
    const std::vector<uint8_t> before = Bits();
    src_.failRead = 20;
    EXPECT_NE(Backup(false).find("reading extent 20 of the snapshot failed"), std::string::npos);
    EXPECT_EQ(Bits(), before);
    EXPECT_TRUE(repo_.BackupIds().empty() && repo_.LeftoverIds().empty());
    src_.failRead = -1;
    usedOnly_ = true;  // the volume holds no file system
    EXPECT_NE(Backup(false).find("--used-only: the volume holds no ext2/ext3 file system"),
              std::string::npos);
    EXPECT_EQ(Bits(), before);
    usedOnly_ = false;

    backup::BackupReport r;
    ASSERT_EQ(Backup(false, &r), "");
    std::vector<uint64_t> raw;
    for (const backup::ExtentEntry& e : r.manifest.extents)
        if (!e.stored)
            raw.push_back(e.number);
    EXPECT_EQ(raw, (std::vector<uint64_t>{1, 2, 17, 36}));
    EXPECT_LT(r.manifest.BytesStored(), r.manifest.BytesHeld() / 4);
    EXPECT_TRUE(RestoreOk("000001") == vol_.Contents());
    EXPECT_EQ(Verify("000001"), "");
}

// A repository written before extents were compressed: no stored lengths.
TEST_F(BackupCycle, AnUncompressedRepositoryStaysReadable) {
    const std::string data = std::string(512, 'u') + std::string(512, 'v');
    std::string text =
        "kzvol backup manifest 1\nid 000001\nkind full\nparent -\ntime 1796570762\n"
        "volume-bytes 1024\nextent-bytes 512\nindex no\nextents 2\n";
    for (int n = 0; n < 2; ++n)
        text += "extent " + std::to_string(n) + " " + std::to_string(512 * n) + " 512 " +
                backup::DigestHex(backup::DigestOf(data.data() + 512 * n, 512)) + "\n";
    const std::string folder = repo_.BackupDir("000001");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    std::ofstream(folder + "/manifest") << text << "end\n";
    std::ofstream(folder + "/extents") << data;
    EXPECT_TRUE(RestoreOk("000001") == data);
    EXPECT_EQ(Verify("000001"), "");
}

TEST_F(BackupCycle, KillsLoseNoChange) {
    ASSERT_EQ(Backup(false), "");
    std::memset(vol_.sinceFull(), 0, vol_.bitmapBytes());  // as at a full backup
    const std::string point1 = vol_.Contents();
    struct Moment {
        const char* step;
        uint64_t read;
    };
    std::vector<uint64_t> written;
    uint64_t next = 1;
    // "take": the bits are out of the driver, not yet in the folder.
    for (Moment at :
         {Moment{"take", 0}, Moment{"freeze", 0}, Moment{"read", 1}, Moment{"thaw", 0}}) {
        SCOPED_TRACE(at.step);
        for (int k = 0; k < 2; ++k, next += 3) {
            vol_.Fill(next, 'K');
            written.push_back(next);
        }
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            src_.hook = [&](const std::string& step, uint64_t n) {
                if (step == at.step && n == at.read)
                    ::raise(SIGKILL);
            };
            Backup(true);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(repo_.BackupIds(), std::vector<std::string>{"000001"});
        EXPECT_EQ(repo_.LeftoverIds().size(), 1u);
        EXPECT_EQ(Verify("000001"), "");
        EXPECT_TRUE(RestoreOk("000001") == point1);
    }
    // The next backup finds the snapshots the kills left and every change since 000001.
    backup::BackupReport r;
    ASSERT_EQ(Backup(true, &r), "");
    std::sort(written.begin(), written.end());
    EXPECT_EQ(Sent(r.manifest.id), written);
    EXPECT_EQ(r.extentsRead, written.size());  // the differential bitmap, not every extent
    // Each kill's leftover went with the next attempt; the last one's with this backup.
    EXPECT_EQ(src_.leftoversRemoved, std::vector<std::string>{"image 2\n"});
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    EXPECT_TRUE(RestoreOk(r.manifest.id) == vol_.Contents());
}

TEST_F(BackupCycle, ARepositoryServesOnlyItsOwnVolume) {
    vol_.Fill(1, 'D');
    EXPECT_NE(Backup(true).find("to build an incremental on: make a full one first"),
              std::string::npos);
    src_.fsUuid = "0c6d5f4e-1111-2222-3333-444455556666";
    ASSERT_EQ(Backup(false), "");
    ASSERT_NE(repo_.config(), nullptr);
    EXPECT_EQ(repo_.config()->volume.device, "fake0");
    EXPECT_EQ(repo_.config()->id.size(), 32u);

    // Another device of the same size, the same one reformatted, a bigger one: each
    // refused before a bit is taken.
    vol_.Fill(2, 'E');
    const std::vector<uint8_t> before = Bits();
    FakeVolume bigVolume(kExtents * kExtent * 2, kExtent);
    FakeSource other = src_, reformatted = src_, bigger(bigVolume);
    other.device = "fake1";
    reformatted.fsUuid = "99999999-1111-2222-3333-444455556666";
    bigger.fsUuid = src_.fsUuid;
    for (FakeSource* s : {&other, &reformatted, &bigger}) {
        backup::BackupReport r;
        backup::BackupOptions incremental;
        incremental.incremental = true;
        std::string error;
        EXPECT_FALSE(backup::RunBackup(repo_, *s, incremental, &r, &error));
        EXPECT_NE(error.find("is not for this volume: it protects the volume over fake0 (150528 "
                             "bytes in extents of 4096, file system 0c6d5f4e-"),
                  std::string::npos)
            << error;
        EXPECT_EQ(Bits(), before);
    }
    EXPECT_EQ(repo_.BackupIds(), std::vector<std::string>{"000001"});

    // A repository from before identities stays readable and is adopted by its next
    // backup; one of a newer format is refused.
    const std::string config = repo_.dir() + "/config";
    ASSERT_EQ(::unlink(config.c_str()), 0);
    Reopen();
    EXPECT_EQ(repo_.config(), nullptr);
    EXPECT_TRUE(RestoreOk("000001").size() == vol_.bytes());
    ASSERT_EQ(Backup(true), "");
    ASSERT_NE(repo_.config(), nullptr);
    std::string text = ReadFile(config);
    text.replace(text.find("version 2"), 9, "version 3");
    std::ofstream(config, std::ios::trunc) << text;
    backup::Repository newer(repo_.dir());
    std::string error;
    EXPECT_FALSE(newer.Open(&error));
    EXPECT_NE(error.find("is of format version 3; this kzvol knows version 2"), std::string::npos)
        << error;
}

TEST_F(BackupCycle, AnIndexThatCannotBeBuiltLeavesTheImageAndSaysWhy) {
    src_.indexFailure = "the reader says: FS not ext3";
    backup::BackupReport r;
    ASSERT_EQ(Backup(false, &r, true), "");
    EXPECT_TRUE(r.manifest.indexFailed);
    EXPECT_EQ(r.indexError, "the reader says: FS not ext3");
    EXPECT_EQ(ReadFile(repo_.BackupDir("000001") + "/index-failure"),
              "the reader says: FS not ext3\n");
    EXPECT_EQ(Verify("000001"), "");
    EXPECT_TRUE(RestoreOk("000001") == vol_.Contents());
}

TEST_F(BackupCycle, PlantedFifosAreRefusedNeverWaitedOn) {
    ASSERT_EQ(Backup(false), "");
    vol_.Fill(2, 'N');
    const std::string killed = repo_.TempDir("000005");
    ASSERT_EQ(::mkdir(killed.c_str(), 0755), 0);
    for (const char* name : {"/bitmap", "/snapshot"})
        ASSERT_EQ(::mkfifo((killed + name).c_str(), 0644), 0);
    backup::BackupReport r;
    ASSERT_EQ(Backup(true, &r), "");
    EXPECT_EQ(r.leftoversLost, 1u);
    EXPECT_EQ(Sent(r.manifest.id), std::vector<uint64_t>{2});

    const std::string extents = repo_.BackupDir("000001") + "/extents";
    ASSERT_EQ(::unlink(extents.c_str()), 0);
    ASSERT_EQ(::mkfifo(extents.c_str(), 0644), 0);
    bool ok = true;
    EXPECT_NE(Restore(r.manifest.id, &ok).find("cannot open the extents of backup 000001"),
              std::string::npos);
    const std::string config = repo_.dir() + "/config";
    ASSERT_EQ(::unlink(config.c_str()), 0);
    ASSERT_EQ(::mkfifo(config.c_str(), 0644), 0);
    backup::Repository planted(repo_.dir());
    std::string error;
    EXPECT_FALSE(planted.Open(&error));
    EXPECT_NE(error.find("cannot read the identity file"), std::string::npos) << error;
}

class HostileRepository : public BackupCycle {
  protected:
    void SetUp() override {
        BackupCycle::SetUp();
        ASSERT_EQ(Backup(false), "");
        vol_.Fill(4, 'H');
        vol_.Fill(6, 'I');
        ASSERT_EQ(Backup(true), "");
    }
    std::string Path(const std::string& id, const char* file) {
        return repo_.BackupDir(id) + "/" + file;
    }
    // Writes the manifest of `id` as `original` with `from` replaced by `to`.
    void EditManifest(const std::string& id, const std::string& original, const std::string& from,
                      const std::string& to) {
        std::string text = original;
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, from.size(), to);
        std::ofstream(Path(id, "manifest"), std::ios::trunc) << text;
    }
    // Restoring and verifying `id` both fail with `why`.
    void ExpectRefused(const std::string& id, const std::string& why) {
        bool ok = true;
        std::string got = Restore(id, &ok);
        EXPECT_FALSE(ok);
        EXPECT_NE(got.find(why), std::string::npos) << got;
        got = Verify(id);
        EXPECT_NE(got.find(why), std::string::npos) << got;
    }
};

TEST_F(HostileRepository, DamagedDataIsRefused) {
    backup::Manifest m1, m2;
    std::string error;
    ASSERT_TRUE(repo_.Load("000001", &m1, &error) && repo_.Load("000002", &m2, &error)) << error;
    // An extents file one byte short or long of what the manifest lists, and a
    // manifest that lies about a stored length, are refused before any extent is used.
    const std::string extents = Path("000002", "extents"), data = ReadFile(extents);
    const std::string lists = " bytes where its manifest lists ";
    const std::string stored = "zstd:" + std::to_string(m2.extents[0].stored);
    const std::string manifest = ReadFile(Path("000002", "manifest"));
    const struct {
        size_t bytes;
        std::string to, why;
    } lengths[] = {
        {data.size() - 1, stored,
         std::to_string(data.size() - 1) + lists + std::to_string(data.size()) + " (truncated)"},
        {data.size() + 1, stored, std::to_string(data.size() + 1) + lists},
        {data.size(), "zstd:" + std::to_string(m2.extents[0].stored + 1), lists},
        {data.size(), "zstd:" + std::to_string(m2.extents[0].stored - 1), lists},
    };
    ASSERT_NE(m2.extents[0].stored, 0u);
    for (const auto& c : lengths) {
        std::string resized = data;
        resized.resize(c.bytes, 'x');
        std::ofstream(extents, std::ios::trunc) << resized;
        EditManifest("000002", manifest, stored, c.to);
        ExpectRefused("000002", c.why);
    }
    std::ofstream(extents, std::ios::trunc) << data;
    EditManifest("000002", manifest, "", "");
    EXPECT_EQ(Verify("000002"), "");

    // A flipped byte in extent 5's stored bytes, compressed or not.
    std::string bytes = ReadFile(Path("000001", "extents"));
    const backup::ExtentEntry& fifth = m1.extents[5];
    bytes[fifth.filePos + fifth.StoredBytes() / 2] ^= 1;
    std::ofstream(Path("000001", "extents"), std::ios::trunc) << bytes;
    ExpectRefused("000001", "extent 5 of backup 000001 does not");
}

// Every link builds on an older backup, and a chain is restored in its order: a
// link out of place would let older extents overwrite newer ones.
TEST_F(HostileRepository, AChainOutOfOrderIsRefused) {
    vol_.Fill(4, 'J');
    ASSERT_EQ(Backup(true), "");
    const std::string original = ReadFile(Path("000002", "manifest"));
    for (const char* parent : {"000002", "000003"}) {
        EditManifest("000002", original, "parent 000001", std::string("parent ") + parent);
        ExpectRefused("000002", std::string("builds on a later backup, ") + parent);
    }
    EditManifest("000002", original, "", "");
    std::vector<Manifest> chain;
    std::string error;
    ASSERT_TRUE(repo_.Chain("000003", &chain, &error)) << error;
    UniqueFd fd(::open(dir_.File("restored").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    for (const std::vector<Manifest>& wrong :
         {std::vector<Manifest>{chain[0], chain[2]},
          std::vector<Manifest>{chain[0], chain[2], chain[1]}}) {
        EXPECT_FALSE(backup::RestoreChain(repo_, wrong, fd.get(), false, nullptr, &error));
        EXPECT_NE(error.find("out of order"), std::string::npos) << error;
    }
    EXPECT_TRUE(RestoreOk("000003") == vol_.Contents());
}

TEST_F(HostileRepository, EveryOtherFileIsCoveredByADigest) {
    const std::string bitmap = Path("000002", "bitmap"), original = ReadFile(bitmap);
    std::string flipped = original;
    flipped[0] ^= 1;
    std::ofstream(bitmap, std::ios::trunc) << flipped;
    EXPECT_NE(Verify("000002").find("the file bitmap of backup 000002 does not match its digest"),
              std::string::npos);
    std::ofstream(bitmap, std::ios::trunc) << original;
    EXPECT_EQ(Verify("000002"), "");
    std::ofstream(Path("000002", "planted")) << "x";
    EXPECT_NE(Verify("000002").find("holds files its manifest does not list (planted)"),
              std::string::npos);
}

TEST_F(HostileRepository, BadManifestsAreRefused) {
    const std::string original = ReadFile(Path("000002", "manifest"));
    // (Each field's own bounds: ManifestTest.) The sizes must be the repository's.
    EditManifest("000002", original, "volume-bytes 150528", "volume-bytes 151040");
    ExpectRefused("000002",
                  "backup 000002 was made for a volume of 151040 bytes in extents of 4096, but "
                  "the repository " +
                      repo_.dir() + " protects the volume over fake0 (150528 bytes");
    // Without an identity file (a repository of format 1) the chain is checked link by link.
    ASSERT_EQ(::unlink((repo_.dir() + "/config").c_str()), 0);
    Reopen();
    ExpectRefused("000002",
                  "but 000001 it builds on for a volume of 150528 bytes in extents of 4096");
    EditManifest("000002", original, "", "");
    EXPECT_EQ(Verify("000002"), "");
}

TEST_F(HostileRepository, AMissingLinkIsRefused) {
    ASSERT_EQ(::rename(repo_.BackupDir("000001").c_str(), dir_.File("elsewhere").c_str()), 0);
    ExpectRefused("000002",
                  "backup 000002 builds on 000001, which cannot be used: no backup "
                  "000001 in " +
                      repo_.dir());
    // Nor can the next incremental build on it.
    EXPECT_NE(Backup(true).find("the newest backup in " + repo_.dir() + " is unusable"),
              std::string::npos);
}

TEST(ExtentSize, ComesFromTheBitmapWhenOnlyOneSizeTheDriverTakesFits) {
    EXPECT_EQ(backup::ExtentSizeFromBitmap(1ull << 30, 128), 1u << 20);
    EXPECT_EQ(backup::ExtentSizeFromBitmap(8u << 20, 16), 65536u);
    EXPECT_EQ(backup::ExtentSizeFromBitmap(4u << 20, 1), 0u);  // 512 KiB to 4 MiB all fit
    EXPECT_EQ(backup::ExtentSizeFromBitmap(1ull << 30, 100), 0u);
    // 512 MiB extents of 2 GiB: 256 MiB to 2 GiB all give one byte, so none is taken.
    EXPECT_EQ(backup::ExtentSizeFromBitmap(2ull << 30, 1), 0u);
    EXPECT_TRUE(backup::ExtentSizeFits(2ull << 30, 1, 512u << 20));
}

}  // namespace
}  // namespace kzvol::testing
