// The backup cycle through the bitmaps and snapshots of the memory-mode stand-in driver:
// a killed backup's snapshot, a refused one, a user's, an untracked bitmap.
#include <gmock/gmock.h>
#include <signal.h>

#include "backup/FilterSource.h"
#include "tests/backup/BackupTestSupport.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {
namespace {

using ::testing::HasSubstr;

constexpr uint32_t kExtent = 64 << 10;
constexpr uint32_t kExtents = 24;

// The filter source that kills the process at its second read of the snapshot.
class Killed : public backup::FilterSource {
  public:
    using FilterSource::FilterSource;
    bool ReadFrozen(uint64_t offset, uint32_t length, char* buffer, std::string* e) override {
        if (reads_++ == 1)
            ::raise(SIGKILL);
        return FilterSource::ReadFrozen(offset, length, buffer, e);
    }

  private:
    uint64_t reads_ = 0;
};

class StandInBackup : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        volume_ = dir_.Write("volume.img", RandomBytes(kExtents * kExtent, 7));
        ::mkdir(cow_.c_str(), 0755);
        minor_ = AddFilter(volume_, kExtent);
        ASSERT_GE(minor_, 0);
        ASSERT_EQ(BitmapRequest(QNBF_SET_BITMAP, minor_, QNBF_KIND_INCREMENTAL), 0);
        std::string error;
        ASSERT_TRUE(repo_.LockForWriting(&error)) << error;
    }

    void Write(std::initializer_list<uint64_t> extents) {
        for (uint64_t n : extents)
            ASSERT_TRUE(WriteSector(volume_, n * kExtent + 512, static_cast<char>('a' + n)));
    }
    std::string Backup(bool incremental) {
        backup::FilterSource source(FilterNode(minor_), cow_);
        return TryBackup(repo_, source, &(r_ = {}), incremental);
    }
    Numbers Sent() { return ExtentNumbers(r_.manifest); }
    bool Restores(const std::string& id, const std::string& expected) {
        return RestoreTo(repo_, id, dir_.File("restored")) == expected;
    }
    int Snapshots() { return DriverInfo(minor_).snap_minor_cnt; }
    bool Clean() {
        const std::string cow = cow_ + "/.qnbf" + std::to_string(minor_) + "-snap";
        return Snapshots() == 0 && ::access(cow.c_str(), F_OK) != 0;
    }
    std::vector<unsigned char> Bitmap() { return GetBitmap(minor_, QNBF_KIND_INCREMENTAL, 3); }

    std::string volume_, cow_ = dir_.File("cow");
    int minor_ = -1;
    backup::Repository repo_{dir_.File("repo")};
    backup::BackupReport r_;
};

// A killed backup's snapshot goes with the next one; a refused one gives the bits back.
TEST_F(StandInBackup, SnapshotsAndBitmapsThroughAKillARefusalAndAUsersSnapshot) {
    ASSERT_EQ(Backup(false), "");
    const std::string point1 = ReadFile(volume_);
    Write({5, 20});
    ASSERT_TRUE(DiesInChild([&] {
        Killed source(FilterNode(minor_), cow_);
        TryBackup(repo_, source, &r_, true);
    }));
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(repo_.LeftoverIds(), Ids{"000002"});
    EXPECT_TRUE(Restores("000001", point1));
    Write({9});
    ASSERT_EQ(Backup(true), "");
    EXPECT_EQ(Sent(), (Numbers{5, 9, 20}));
    EXPECT_TRUE(Clean());
    EXPECT_TRUE(repo_.LeftoverIds().empty());
    EXPECT_TRUE(Restores(r_.manifest.id, ReadFile(volume_)));
    EXPECT_EQ(Bitmap(), std::vector<unsigned char>(3, 0));

    Write({2, 12});
    driver().FailNext(QNBF_SNAP_SYNC, EIO);
    EXPECT_THAT(Backup(true), HasSubstr("cannot snapshot " + FilterNode(minor_)));
    EXPECT_EQ(Bitmap(), (std::vector<unsigned char>{0x04, 0x10, 0x00}));
    EXPECT_TRUE(Clean());
    EXPECT_TRUE(repo_.LeftoverIds().empty());

    const int userSnap = Snap(minor_, "user-snap");
    ASSERT_GT(userSnap, 0);
    const std::vector<unsigned char> bits = Bitmap();
    // Nor does a backup killed before it recorded a snapshot make the user's its own.
    ASSERT_EQ(::mkdir(repo_.TempDir("000007").c_str(), 0755), 0);
    EXPECT_THAT(Backup(true), HasSubstr("the snapshot " + FilterNode(userSnap) + " is active"));
    ASSERT_EQ(::rmdir(repo_.TempDir("000007").c_str()), 0);
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(::access(dir_.File("user-snap").c_str(), F_OK), 0);
    EXPECT_EQ(Bitmap(), bits);
    Write({6});
    ASSERT_EQ(SendMinor(QNBF_DELETE_NODE, static_cast<uint32_t>(userSnap)), 0);

    // Re-added without a saved bitmap, its bitmap is untracked: every extent is read.
    ASSERT_EQ(SendMinor(QNBF_DEFUNCT_NODE, static_cast<uint32_t>(minor_)), 0);
    ASSERT_EQ(SendMinor(QNBF_DELETE_NODE, static_cast<uint32_t>(minor_)), 0);
    minor_ = AddFilter(volume_, kExtent);
    ASSERT_GE(minor_, 0);
    ASSERT_EQ(Backup(true), "");
    EXPECT_EQ(r_.extentsRead, kExtents);
    EXPECT_EQ(Sent(), (Numbers{2, 6, 12}));
    EXPECT_TRUE(Restores(r_.manifest.id, ReadFile(volume_)));
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
