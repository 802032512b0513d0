// Mount-table lookups on tables written by the test, and the retrying stream lock
// against a lock held by another process.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "tests/support/TestEnv.h"
#include "tests/volume/LockHolder.h"
#include "volume/MountTable.h"

namespace kzvol::testing {
namespace {

MountTableEntry Entry(const std::string& device, const std::string& dir) {
    return {{device, dir, "ext3", "rw", "0", "0"}};
}

// A TestEnv whose mount table can be made unreadable, and which counts the reads.
class TableEnv : public TestEnv {
  public:
    bool readable = true;
    int reads = 0;
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        ++reads;
        errno = EACCES;
        return readable && TestEnv::ReadMountTable(entries);
    }
};

std::string MountPointOf(std::string device) {
    char* dir = kz_getmountpoint(device.data());
    std::string out = dir ? dir : "<null>";
    std::free(dir);
    return out;
}

std::string RawDevOf(std::string dir) {
    return getrawdev(dir.data());
}

TEST(MountLookups, FirstExactMatchInTableOrder) {
    TableEnv env;
    env.SetMountTable({Entry("proc", "/proc"), Entry("/dev/sdb1", "/mnt/a"),
                       Entry("/dev/sdb1", "/mnt/b"), Entry("/dev/sdc1", "/mnt/a")});
    EXPECT_EQ(MountPointOf("/dev/sdb1"), "/mnt/a");
    EXPECT_EQ(RawDevOf("/mnt/a"), "/dev/sdb1");
    EXPECT_EQ(getVolName("/mnt/b"), "/dev/sdb1");
    EXPECT_EQ(env.CountLogs("found mntpath=/mnt/a for device=/dev/sdb1 \n", "kz_getmountpoint:"),
              1);
    EXPECT_FALSE(env.HasError(""));
    // Exact comparisons: no trailing slash, no prefix; a device is no mount directory.
    EXPECT_EQ(RawDevOf("/mnt/a/"), "");
    EXPECT_EQ(MountPointOf("/dev/sdb"), "<null>");
    EXPECT_EQ(getVolName("/dev/sdb1"), "");
    // Absence: an error for kz_getmountpoint, debug only for getrawdev.
    EXPECT_TRUE(env.HasError("could not get mountpoint for device=/dev/sdb\n"));
    EXPECT_FALSE(env.HasError("could not get rawdevice name"));
    EXPECT_EQ(env.CountLogs("could not get rawdevice name for mountpoint=/mnt/a/ \n", "getrawdev:"),
              1);
}

TEST(MountLookups, UnreadableTableAndNamesThatNeedNoTable) {
    TableEnv env;
    env.readable = false;
    EXPECT_EQ(MountPointOf("/dev/sdb1"), "<null>");
    EXPECT_TRUE(env.HasError("failed to open /etc/mtab for device=/dev/sdb1 errno=13\n"));
    EXPECT_EQ(RawDevOf("/mnt/a"), "");
    EXPECT_EQ(env.CountLogs("failed to open /etc/mtab errno=13 \n", "getrawdev:"), 1);
    const int reads = env.reads;
    EXPECT_EQ(getVolName("/dev/qnbf/qnbf2"), "/dev/qnbf/qnbf2");
    EXPECT_EQ(env.reads, reads);

    EXPECT_EQ(getdevname("/dev/mapper/vg-lv"), "vg-lv");
    EXPECT_EQ(getdevname(""), "");
    EXPECT_EQ(getdevname("sdb1"), "sdb1");
    EXPECT_EQ(getdevname("/dev/" + std::string(3000, 'x')), std::string(3000, 'x'));
}

class StreamLock : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.Write("table", "x\n");
        stream_ = std::fopen(path_.c_str(), "r+");
        ASSERT_NE(stream_, nullptr);
    }
    void TearDown() override { std::fclose(stream_); }
    TempDir dir_;
    std::string path_;
    FILE* stream_ = nullptr;
};

TEST_F(StreamLock, HeldLockIsAskedTenTimesThenRefused) {
    LockHolder holder(path_);
    ASSERT_TRUE(holder.held());
    TestEnv env;
    EXPECT_EQ(lock(stream_, F_WRLCK), -1);
    EXPECT_EQ(env.Sleeps(), std::vector<unsigned long>(10, 2000));
}

TEST_F(StreamLock, LockReleasedDuringTheRetriesIsGranted) {
    LockHolder holder(path_);
    ASSERT_TRUE(holder.held());
    TestEnv env;
    env.on_sleep = [&](unsigned long) {
        if (env.Sleeps().size() == 3)
            holder.Release();
    };
    EXPECT_EQ(lock(stream_, F_WRLCK), 0);
    EXPECT_EQ(env.Sleeps(), std::vector<unsigned long>(3, 2000));
    EXPECT_EQ(lock(stream_, F_UNLCK), 0);
}

TEST_F(StreamLock, OtherFailuresAnswerMinusOneAtOnce) {
    TestEnv env;
    FILE* readOnly = std::fopen(path_.c_str(), "r");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(lock(readOnly, F_WRLCK), -1);  // a write lock needs a writable descriptor
    EXPECT_EQ(errno, EBADF);
    std::fclose(readOnly);
    EXPECT_EQ(lock(stream_, 77), -1);  // no such lock type
    EXPECT_TRUE(env.Sleeps().empty());
}

}  // namespace
}  // namespace kzvol::testing
