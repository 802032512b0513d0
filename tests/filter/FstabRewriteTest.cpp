// The file-system table rewrite on a table in a temporary directory: the filter
// entry and its undoing, lines of any length, and a table that is never torn, not
// by a failed rename and not by a crash just before the rename.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mntent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "filter/FstabRewrite.h"
#include "host/Handles.h"
#include "tests/support/TestEnv.h"
#include "volume/MountTable.h"

namespace kzvol::testing {
namespace {

const char kContext[] = "test:";

class FstabRewrite : public ::testing::Test {
  protected:
    FstabRewrite() {
        files_.table = dir_.File("fstab");
        files_.temp = dir_.File("fstab-temptalmar");
        files_.backup = dir_.File("fstab.orig");
    }
    // The entry of a file system mounted on /data.
    static mntent DataEntry() {
        static char dir[] = "/data", type[] = "ext3", opts[] = "defaults,noatime";
        mntent entry{};
        entry.mnt_dir = dir;
        entry.mnt_type = type;
        entry.mnt_opts = opts;
        entry.mnt_freq = 1;
        entry.mnt_passno = 2;
        return entry;
    }
    bool Put(const std::string& device) {
        return PutFstabUnderFilter(files_, kContext, device, "/dev/qnbf/qnbf3", DataEntry());
    }
    bool TempLeft() const { return ::access(files_.temp.c_str(), F_OK) == 0; }

    TempDir dir_;
    TestEnv env_;
    FstabFiles files_;
};

// Only the lines whose first word is the device are taken, whatever they mount:
// not a comment naming it (which undoing leaves commented, though it mounts the
// same directory), not a longer or shorter name with the same prefix, not
// another node's lines. Every other byte stays, and undoing gives the table back.
TEST_F(FstabRewrite, OnlyTheDevicesLinesAreTakenAndUndoingGivesTheTableBackByteForByte) {
    // The device's own line is 20000 bytes long: it must be commented out whole.
    const std::string longLine = "/dev/sdb1 /data ext3 " + std::string(19974, 'o') + " 1 2\n";
    ASSERT_EQ(longLine.size(), 20000u);
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
    const std::string mark = "#kzvol:/dev/qnbf/qnbf3:";
    EXPECT_EQ(ReadFile(files_.table),
              head + mark + longLine + mark + other + tail +
                  "/dev/qnbf/qnbf3\t/data\text3\tdefaults,noatime\t1\t2 \n");
    struct stat st;
    ASSERT_EQ(::stat(files_.table.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(TempLeft());

    bool changed = false;
    ASSERT_TRUE(TakeFstabFromFilter(files_, kContext, "/dev/qnbf/qnbf3", "sdb1", &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(ReadFile(files_.table), original);
    ASSERT_TRUE(TakeFstabFromFilter(files_, kContext, "/dev/qnbf/qnbf3", "sdb1", &changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(ReadFile(files_.table), original);
}

// A mount directory with a blank, a tab, a newline and a backslash is written as
// addmntent writes it (getmntent reads it back whole), so no field can start a
// line of its own; undoing uncomments only the line creation commented, never the
// administrator's own commented line for the same device and directory.
TEST_F(FstabRewrite, FieldsAreEscapedAndUndoingKeepsTheAdministratorsComments) {
    const std::string original =
        "#/dev/sdb1 /mnt/my\\040data ext3 noauto 0 0\n"
        "/dev/sdb1 /mnt/my\\040data ext3 defaults 0 2\n";
    dir_.Write("fstab", original);
    static char dir[] = "/mnt/my data\tx\n/dev/sda1 / ext4 defaults 0 0\\", type[] = "ext3",
                opts[] = "defaults";
    mntent entry{};
    entry.mnt_dir = dir, entry.mnt_type = type, entry.mnt_opts = opts, entry.mnt_passno = 2;
    ASSERT_TRUE(PutFstabUnderFilter(files_, kContext, "/dev/sdb1", "/dev/qnbf/qnbf3", entry));
    const std::string expected =
        "#/dev/sdb1 /mnt/my\\040data ext3 noauto 0 0\n"
        "#kzvol:/dev/qnbf/qnbf3:/dev/sdb1 /mnt/my\\040data ext3 defaults 0 2\n"
        "/dev/qnbf/qnbf3\t/mnt/my\\040data\\011x\\012/dev/sda1\\040/"
        "\\040ext4\\040defaults\\0400\\0400"
        "\\134\text3\tdefaults\t0\t2 \n";
    EXPECT_EQ(ReadFile(files_.table), expected);

    bool changed = false;
    ASSERT_TRUE(TakeFstabFromFilter(files_, kContext, "/dev/qnbf/qnbf3", "sdb1", &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(ReadFile(files_.table), original);
}

// A table written before creation marked its lines: the commented device line
// for the same directory (compared decoded) is given back, no other.
TEST_F(FstabRewrite, UnmarkedTableIsGivenBackByDeviceAndDirectory) {
    // Neither a live line nor a comment in prose ("# ...") is ever uncommented.
    const std::string kept =
        "/dev/by-id/sdb1 /mnt/a\\040b ext3 noauto 0 0\n"
        "# /dev/sdb1 /mnt/a\\040b ext3 defaults 0 2\n";
    dir_.Write("fstab", kept +
                            "#/dev/sdb1 /mnt/a\\040b ext3 defaults 0 2\n"
                            "/dev/qnbf/qnbf3\t/mnt/a\\040b\text3\tdefaults\t0\t2 \n");
    bool changed = false;
    ASSERT_TRUE(TakeFstabFromFilter(files_, kContext, "/dev/qnbf/qnbf3", "sdb1", &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(ReadFile(files_.table), kept + "/dev/sdb1 /mnt/a\\040b ext3 defaults 0 2\n");

    // A marked line is given back even when its filter entry is gone already.
    dir_.Write("fstab", "#kzvol:/dev/qnbf/qnbf3:/dev/sdb1 /data ext3 defaults 0 0\n");
    ASSERT_TRUE(TakeFstabFromFilter(files_, kContext, "/dev/qnbf/qnbf3", "sdb1", &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(ReadFile(files_.table), "/dev/sdb1 /data ext3 defaults 0 0\n");
}

TEST_F(FstabRewrite, EntryIsAppendedOnItsOwnLineWhenNoLineNamedTheDevice) {
    dir_.Write("fstab", "proc /proc proc defaults 0 0");  // no final line end
    ASSERT_TRUE(Put("/dev/sdc"));
    EXPECT_EQ(ReadFile(files_.table),
              "proc /proc proc defaults 0 0\n"
              "/dev/qnbf/qnbf3\t/data\text3\tdefaults,noatime\t1\t2 \n");
}

TEST_F(FstabRewrite, FailedRenameLeavesTheOldTableAndNoTemporary) {
    // A temporary file on another file system cannot be renamed over the table.
    files_.temp = "/dev/shm/kzvol-fstab-temp." + std::to_string(::getpid());
    if (::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/shm";
    dir_.Write("fstab", "/dev/sdb1 /data ext3 defaults 0 0\n");
    EXPECT_FALSE(Put("/dev/sdb1"));
    EXPECT_EQ(ReadFile(files_.table), "/dev/sdb1 /data ext3 defaults 0 0\n");
    EXPECT_FALSE(TempLeft());
}

// Dies by SIGKILL the moment the rewrite has synced its temporary file.
class CrashBeforeRename : public EnvWrapper {
  public:
    CrashBeforeRename() : EnvWrapper(Env::Default()) {}
    bool SyncFile(int fd) override {
        EnvWrapper::SyncFile(fd);
        ::raise(SIGKILL);
        return false;
    }
};

TEST_F(FstabRewrite, CrashBetweenTheWriteAndTheRenameLeavesTheOldTable) {
    const std::string original = "/dev/sdb1 /data ext3 defaults 0 0\n";
    dir_.Write("fstab", original);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static CrashBeforeRename crash;
        SetEnv(&crash);
        Put("/dev/sdb1");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(ReadFile(files_.table), original);
    EXPECT_TRUE(TempLeft());

    // The next rewrite starts afresh over the stale temporary file.
    ASSERT_TRUE(Put("/dev/sdb1"));
    EXPECT_EQ(ReadFile(files_.table),
              "#kzvol:/dev/qnbf/qnbf3:" + original +
                  "/dev/qnbf/qnbf3\t/data\text3\tdefaults,noatime\t1\t2 \n");
    EXPECT_FALSE(TempLeft());
}

// A rewriter that waited for the lock while another replaced the table edits the
// new table, not the old file it had opened: no rewrite is lost.
TEST_F(FstabRewrite, RewriterThatWaitedEditsTheTableThatReplacedTheOne) {
    dir_.Write("fstab", "/dev/sdb1 /data ext3 defaults 0 0\n");
    UniqueFile held(std::fopen(files_.table.c_str(), "r+"));
    ASSERT_EQ(lock(held.get(), F_WRLCK), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SetEnv(nullptr);  // real sleeps between lock requests
        ::_exit(Put("/dev/sdb1") ? 0 : 1);
    }
    // While the child waits for the lock, another rewrite replaces the table.
    ::usleep(300 * 1000);
    dir_.Write("fstab.new", "/dev/sdb1 /data ext3 defaults 0 0\n/dev/sdc /c ext3 defaults 0 0\n");
    ASSERT_EQ(::rename(dir_.File("fstab.new").c_str(), files_.table.c_str()), 0);
    held.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(
        ReadFile(files_.table),
        "#kzvol:/dev/qnbf/qnbf3:/dev/sdb1 /data ext3 defaults 0 0\n/dev/sdc /c ext3 defaults 0 0\n"
        "/dev/qnbf/qnbf3\t/data\text3\tdefaults,noatime\t1\t2 \n");
}

TEST(FstabFirstWord, LongWordsNameNoDevice) {
    EXPECT_EQ(FstabFirstWord(" \t/dev/sdb1\t/data"), "/dev/sdb1");
    EXPECT_EQ(FstabFirstWord("\n"), "");
    EXPECT_EQ(FstabFirstWord(std::string(1023, 'a') + " x"), std::string(1023, 'a'));
    EXPECT_EQ(FstabFirstWord(std::string(1024, 'a') + " x"), "");
}

}  // namespace
}  // namespace kzvol::testing
