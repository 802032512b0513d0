// The backup cycle through the library's bitmap and snapshot operations, against
// the stand-in driver in memory mode over a volume file: points restored byte for
// byte, a snapshot the driver refuses, a read failing in the middle, and kills that
// leave a live snapshot behind for the next backup to remove.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "backup/Backup.h"
#include "backup/FilterSource.h"
#include "backup/Readback.h"
#include "host/FullIO.h"
#include "host/Handles.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kExtent = 64 << 10;
constexpr uint32_t kExtents = 24;

// The filter source with a hook before each read of the snapshot and a read that
// fails.
class Hooked : public backup::FilterSource {
  public:
    using FilterSource::FilterSource;
    std::function<void(uint64_t)> beforeRead;
    long failRead = -1;

    bool Freeze(std::string* r, std::string* e) override {
        reads_ = 0;
        return FilterSource::Freeze(r, e);
    }
    bool ReadFrozen(uint64_t offset, uint32_t length, char* buffer, std::string* e) override {
        if (beforeRead)
            beforeRead(reads_);
        if (static_cast<long>(reads_++) == failRead) {
            *e = "injected read failure";
            return false;
        }
        return FilterSource::ReadFrozen(offset, length, buffer, e);
    }

  private:
    uint64_t reads_ = 0;
};

class StandInBackup : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        std::mt19937 random(7);
        std::string data(kExtents * kExtent, '\0');
        for (char& c : data)
            c = static_cast<char>(random());
        volume_ = dir_.Write("volume.img", data);
        ::mkdir(cow_.c_str(), 0755);
        minor_ = AddFilter(volume_, kExtent);
        ASSERT_GE(minor_, 0);
        ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, minor_, QNBF_KIND_INCREMENTAL), 0);
        std::string error;
        ASSERT_TRUE(repo_.LockForWriting(&error)) << error;
    }

    void WriteExtent(uint32_t n, char byte) {
        UniqueFd fd(::open(volume_.c_str(), O_WRONLY | O_CLOEXEC));
        std::string data(100, byte);
        ASSERT_TRUE(PWriteAll(fd.get(), data.data(), data.size(), uint64_t{n} * kExtent + 5));
    }
    std::string Backup(bool incremental, backup::BackupReport* report, Hooked* hooked = nullptr) {
        Hooked plain(FilterNode(minor_), cow_);
        backup::BackupOptions options;
        options.incremental = incremental;
        std::string error;
        return backup::RunBackup(repo_, hooked ? *hooked : plain, options, report, &error) ? ""
                                                                                           : error;
    }
    std::string Backup(bool incremental) {
        backup::BackupReport report;
        return Backup(incremental, &report);
    }
    std::vector<uint64_t> Sent(const backup::BackupReport& r) {
        std::vector<uint64_t> numbers;
        for (const auto& e : r.manifest.extents)
            numbers.push_back(e.number);
        return numbers;
    }
    bool RestoresTheVolume(const std::string& id, const std::string& expected) {
        std::vector<backup::Manifest> chain;
        std::string error;
        UniqueFd fd(::open(dir_.File("restored").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
        bool ok = repo_.Chain(id, &chain, &error) &&
                  backup::RestoreChain(repo_, chain, fd.get(), false, nullptr, &error);
        EXPECT_TRUE(ok) << error;
        return ok && ReadFile(dir_.File("restored")) == expected;
    }
    int Snapshots() {
        qn_getinfo_arg info{};
        info.minor = static_cast<uint32_t>(minor_);
        EXPECT_EQ(Send(QNBF_GET_INFO, &info), 0);
        return info.snap_minor_cnt;
    }
    bool CowFilesLeft() {
        return ::access((cow_ + "/.qnbf" + std::to_string(minor_) + "-snap").c_str(), F_OK) == 0;
    }

    std::string volume_, cow_ = dir_.File("cow");
    int minor_ = -1;
    backup::Repository repo_{dir_.File("repo")};
};

TEST_F(StandInBackup, PointsRestoreAndFailuresGiveTheBitsBack) {
    backup::BackupReport r;
    ASSERT_EQ(Backup(false, &r), "");
    EXPECT_EQ(r.manifest.extents.size(), kExtents);
    const std::string point1 = ReadFile(volume_);
    WriteExtent(3, 'x');
    WriteExtent(17, 'y');
    ASSERT_EQ(Backup(true, &r), "");
    EXPECT_EQ(Sent(r), (std::vector<uint64_t>{3, 17}));
    EXPECT_TRUE(RestoresTheVolume("000001", point1));
    EXPECT_TRUE(RestoresTheVolume("000002", ReadFile(volume_)));
    EXPECT_EQ(Snapshots(), 0);
    EXPECT_FALSE(CowFilesLeft());
    EXPECT_EQ(GetBitmap(minor_, QNBF_KIND_INCREMENTAL, 3), std::vector<unsigned char>(3, 0));

    // A refused snapshot and a failed read give the bits back and leave no snapshot.
    WriteExtent(2, 'a');
    WriteExtent(12, 'b');
    driver().FailNext(QNBF_SNAP_SYNC, EIO);
    std::string error = Backup(true);
    EXPECT_NE(error.find("cannot snapshot /dev/qnbf/qnbf" + std::to_string(minor_)),
              std::string::npos)
        << error;
    EXPECT_EQ(GetBitmap(minor_, QNBF_KIND_INCREMENTAL, 3),
              (std::vector<unsigned char>{0x04, 0x10, 0x00}));

    Hooked failing(FilterNode(minor_), cow_);
    failing.failRead = 1;
    error = Backup(true, &r, &failing);
    EXPECT_NE(error.find("reading extent 12 of the snapshot failed: injected read failure"),
              std::string::npos)
        << error;
    EXPECT_EQ(Snapshots(), 0);
    EXPECT_FALSE(CowFilesLeft());
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    ASSERT_EQ(Backup(true, &r), "");
    EXPECT_EQ(Sent(r), (std::vector<uint64_t>{2, 12}));
    EXPECT_TRUE(RestoresTheVolume(r.manifest.id, ReadFile(volume_)));
}

TEST_F(StandInBackup, AKilledBackupsSnapshotGoesWithTheNextBackup) {
    ASSERT_EQ(Backup(false), "");
    const std::string point1 = ReadFile(volume_);
    WriteExtent(5, 'k');
    WriteExtent(20, 'l');
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Hooked killed(FilterNode(minor_), cow_);
        killed.beforeRead = [](uint64_t n) {
            if (n == 1)
                ::raise(SIGKILL);
        };
        backup::BackupReport r;
        Backup(true, &r, &killed);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(repo_.LeftoverIds(), std::vector<std::string>{"000002"});
    EXPECT_TRUE(RestoresTheVolume("000001", point1));

    WriteExtent(9, 'm');
    backup::BackupReport r;
    ASSERT_EQ(Backup(true, &r), "");
    EXPECT_EQ(Sent(r), (std::vector<uint64_t>{5, 9, 20}));
    EXPECT_EQ(Snapshots(), 0);
    EXPECT_FALSE(CowFilesLeft());
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    EXPECT_TRUE(RestoresTheVolume(r.manifest.id, ReadFile(volume_)));
}

TEST_F(StandInBackup, AUsersSnapshotStaysAndAnUntrackedBitmapMeansEveryExtent) {
    ASSERT_EQ(Backup(false), "");
    const int userSnap = Snap(minor_, "user-snap");
    ASSERT_GT(userSnap, 0);
    const std::vector<unsigned char> bits = GetBitmap(minor_, QNBF_KIND_INCREMENTAL, 3);
    // Nor does a backup killed before it recorded a snapshot make the user's its own.
    ASSERT_EQ(::mkdir(repo_.TempDir("000007").c_str(), 0755), 0);
    std::string error = Backup(true);
    ASSERT_EQ(::rmdir(repo_.TempDir("000007").c_str()), 0);
    EXPECT_NE(error.find("the snapshot /dev/qnbf/qnbf" + std::to_string(userSnap) + " is active"),
              std::string::npos)
        << error;
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(::access(dir_.File("user-snap").c_str(), F_OK), 0);
    EXPECT_EQ(GetBitmap(minor_, QNBF_KIND_INCREMENTAL, 3), bits);
    WriteExtent(6, 'u');
    ASSERT_EQ(SendMinor(QNBF_DELETE_NODE, static_cast<uint32_t>(userSnap)), 0);

    // Re-added without a saved bitmap, the device's bitmap is untracked and misses
    // the write: every extent is read.
    ASSERT_EQ(SendMinor(QNBF_DEFUNCT_NODE, static_cast<uint32_t>(minor_)), 0);
    ASSERT_EQ(SendMinor(QNBF_DELETE_NODE, static_cast<uint32_t>(minor_)), 0);
    minor_ = AddFilter(volume_, kExtent);
    ASSERT_GE(minor_, 0);
    backup::BackupReport r;
    ASSERT_EQ(Backup(true, &r), "");
    EXPECT_EQ(r.extentsRead, kExtents);
    EXPECT_EQ(Sent(r), std::vector<uint64_t>{6});
    EXPECT_TRUE(RestoresTheVolume(r.manifest.id, ReadFile(volume_)));
}

}  // namespace
}  // namespace kzvol::testing
