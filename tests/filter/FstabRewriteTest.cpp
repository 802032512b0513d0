// The file-system table rewrite for the filter, and its undoing, on a temporary table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mntent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "filter/FstabRewrite.h"
#include "host/Handles.h"
#include "tests/support/TestEnv.h"
#include "volume/MountTable.h"

namespace kzvol::testing {
namespace {

const char kMark[] = "#kzvol:/dev/qnbf/qnbf3:";
const char kEntry[] = "/dev/qnbf/qnbf3\t/data\text3\tdefaults,noatime\t1\t2 \n";

pid_t Child(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    return child;
}
int WaitStatus(pid_t child) {
    int status = -1;
    return ::waitpid(child, &status, 0) == child ? status : -1;
}

class FstabRewrite : public ::testing::Test {
  protected:
    bool Put(const std::string& device, const char* dir = "/data", int freq = 1,
             const char* opts = "defaults,noatime") {
        std::string d = dir, type = "ext3", o = opts;
        return PutFstabUnderFilter(files_, "test:", device, "/dev/qnbf/qnbf3",
                                   mntent{nullptr, d.data(), type.data(), o.data(), freq, 2});
    }
    bool Take() {
        bool changed = false;
        EXPECT_TRUE(TakeFstabFromFilter(files_, "test:", "/dev/qnbf/qnbf3", "sdb1", &changed));
        return changed;
    }
    bool TempLeft() const { return ::access(files_.temp.c_str(), F_OK) == 0; }

    TempDir dir_;
    TestEnv env_;
    FstabFiles files_{dir_.File("fstab"), dir_.File("fstab-temptalmar"), dir_.File("fstab.orig")};
};

TEST_F(FstabRewrite, OnlyTheDevicesLinesAreTakenAndUndoingGivesTheTableBackByteForByte) {
    const std::string longLine = "/dev/sdb1 /data ext3 " + std::string(19974, 'o') + " 1 2\n";
    const std::string other = "\t/dev/sdb1\t/mnt/other ext3 defaults 0 0 \r\n";
    const std::string head =
        "# static file system information\n#/dev/sdb1 /data ext3 noauto 0 0\n"
        "UUID=1234 / ext4 errors=remount-ro 0 1\n";
    const std::string tail =
        "\n/dev/sdb10 /other ext3 defaults 0 0\n/dev/sdb /whole ext3 defaults 0 0\n"
        "/dev/qnbf/qnbf30 /q ext3 defaults 0 0\n#kzvol:/dev/qnbf/qnbf30:/dev/sdd /q ext3 0 0\n";
    const std::string original = head + longLine + other + tail;
    dir_.Write("fstab", original);
    ASSERT_EQ(::chmod(files_.table.c_str(), 0640), 0);

    ASSERT_TRUE(Put("/dev/sdb1"));
    EXPECT_EQ(ReadFile(files_.table), head + kMark + longLine + kMark + other + tail + kEntry);
    EXPECT_EQ(std::filesystem::status(files_.table).permissions(), std::filesystem::perms(0640));
    EXPECT_FALSE(TempLeft());
    EXPECT_TRUE(Take());
    EXPECT_EQ(ReadFile(files_.table), original);
    EXPECT_FALSE(Take());
    EXPECT_EQ(ReadFile(files_.table), original);

    dir_.Write("fstab", "proc /proc proc defaults 0 0");
    ASSERT_TRUE(Put("/dev/sdc"));
    EXPECT_EQ(ReadFile(files_.table), std::string("proc /proc proc defaults 0 0\n") + kEntry);
    // Words past the longest device name name no device.
    EXPECT_EQ(FstabFirstWord(" \t/dev/sdb1\t/data"), "/dev/sdb1");
    EXPECT_EQ(FstabFirstWord("\n"), "");
    EXPECT_EQ(FstabFirstWord(std::string(1023, 'a') + " x"), std::string(1023, 'a'));
    EXPECT_EQ(FstabFirstWord(std::string(1024, 'a') + " x"), "");
}

// Fields are escaped as addmntent does, so none can start a line of its own; undoing
// uncomments only what creation commented, never the administrator's own comments.
TEST_F(FstabRewrite, FieldsAreEscapedAndUndoingKeepsTheAdministratorsComments) {
    const std::string original =
        "#/dev/sdb1 /mnt/my\\040data ext3 noauto 0 0\n"
        "/dev/sdb1 /mnt/my\\040data ext3 defaults 0 2\n";
    dir_.Write("fstab", original);
    ASSERT_TRUE(
        Put("/dev/sdb1", "/mnt/my data\tx\n/dev/sda1 / ext4 defaults 0 0\\", 0, "defaults"));
    EXPECT_EQ(ReadFile(files_.table),
              "#/dev/sdb1 /mnt/my\\040data ext3 noauto 0 0\n"
              "#kzvol:/dev/qnbf/qnbf3:/dev/sdb1 /mnt/my\\040data ext3 defaults 0 2\n"
              "/dev/qnbf/qnbf3\t/mnt/my\\040data\\011x\\012/dev/sda1\\040/"
              "\\040ext4\\040defaults\\0400\\0400\\134\text3\tdefaults\t0\t2 \n");
    EXPECT_TRUE(Take());
    EXPECT_EQ(ReadFile(files_.table), original);

    // Unmarked: the commented device line of the same (decoded) directory comes back, no other.
    const std::string kept =
        "/dev/by-id/sdb1 /mnt/a\\040b ext3 noauto 0 0\n"
        "# /dev/sdb1 /mnt/a\\040b ext3 defaults 0 2\n";
    dir_.Write("fstab", kept +
                            "#/dev/sdb1 /mnt/a\\040b ext3 defaults 0 2\n"
                            "/dev/qnbf/qnbf3\t/mnt/a\\040b\text3\tdefaults\t0\t2 \n");
    EXPECT_TRUE(Take());
    EXPECT_EQ(ReadFile(files_.table), kept + "/dev/sdb1 /mnt/a\\040b ext3 defaults 0 2\n");

    // A marked line is given back even when its filter entry is gone already.
    dir_.Write("fstab", "#kzvol:/dev/qnbf/qnbf3:/dev/sdb1 /data ext3 defaults 0 0\n");
    EXPECT_TRUE(Take());
    EXPECT_EQ(ReadFile(files_.table), "/dev/sdb1 /data ext3 defaults 0 0\n");
}

// Dies by SIGKILL the moment the rewrite has synced its temporary file.
struct CrashBeforeRename : EnvWrapper {
    CrashBeforeRename() : EnvWrapper(Env::Default()) {}
    bool SyncFile(int fd) override {
        EnvWrapper::SyncFile(fd);
        return ::raise(SIGKILL), false;
    }
};

TEST_F(FstabRewrite, FailedRenameOrCrashBeforeTheRenameLeavesTheOldTable) {
    const std::string original = "/dev/sdb1 /data ext3 defaults 0 0\n";
    dir_.Write("fstab", original);
    const int status = WaitStatus(Child([this] {
        static CrashBeforeRename crash;
        SetEnv(&crash);
        return Put("/dev/sdb1");
    }));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(ReadFile(files_.table), original);
    EXPECT_TRUE(TempLeft());

    ASSERT_TRUE(Put("/dev/sdb1"));
    EXPECT_EQ(ReadFile(files_.table), kMark + original + kEntry);
    EXPECT_FALSE(TempLeft());

    // A temporary file on another file system cannot be renamed over the table.
    files_.temp = "/dev/shm/kzvol-fstab-temp." + std::to_string(::getpid());
    ASSERT_EQ(::access("/dev/shm", W_OK), 0);
    dir_.Write("fstab", original);
    EXPECT_FALSE(Put("/dev/sdb1"));
    EXPECT_EQ(ReadFile(files_.table), original);
    EXPECT_FALSE(TempLeft());
}

// A rewriter that waited for the lock edits the table that replaced the one it opened.
TEST_F(FstabRewrite, RewriterThatWaitedEditsTheTableThatReplacedTheOne) {
    const std::string sdb1 = "/dev/sdb1 /data ext3 defaults 0 0\n", sdc = "/dev/sdc /c ext3 0 0\n";
    dir_.Write("fstab", sdb1);
    UniqueFile held(std::fopen(files_.table.c_str(), "r+"));
    ASSERT_EQ(lock(held.get(), F_WRLCK), 0);
    pid_t child = Child([this] {
        SetEnv(nullptr);  // real sleeps between lock requests
        return Put("/dev/sdb1") ? 0 : 1;
    });
    ::usleep(300 * 1000);
    dir_.Write("fstab.new", sdb1 + sdc);
    ASSERT_EQ(::rename(dir_.File("fstab.new").c_str(), files_.table.c_str()), 0);
    held.reset();
    ASSERT_EQ(WaitStatus(child), 0);  // exited with 0
    EXPECT_EQ(ReadFile(files_.table), kMark + sdb1 + sdc + kEntry);
}

}  // namespace
}  // namespace kzvol::testing
