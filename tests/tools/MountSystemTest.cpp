// kzvol mount: the incremental point served through FUSE reads as exactly the
// image a full restore writes, and a damaged extent answers EIO for its range
// while the rest still reads; kzvol umount ends the server.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/Handles.h"
#include "tests/support/SystemHarness.h"
#include "tests/tools/PointRepository.h"

namespace kzvol::testing {
namespace {

class MountSystem : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (!IsSkipped() && ::access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no usable /dev/fuse: FUSE mounts cannot be tested here";
    }
};

// The errno of reading 4096 bytes at `offset` of `path`; 0 when they read.
int ReadError(const std::string& path, off_t offset) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char data[4096];
    return fd && ::pread(fd.get(), data, sizeof data, offset) >= 0 ? 0 : errno;
}

TEST_F(MountSystem, TheImageEqualsTheRestoreAndADamagedExtentAnswersEio) {
    TempDir dir;
    PointRepository point(dir, 1024);
    ASSERT_TRUE(point.ok()) << point.why();
    const std::string mnt = dir.File("mnt"), image = mnt + "/image", restored = dir.File("r.img");
    ::mkdir(mnt.c_str(), 0700);
    // Whatever the test's outcome, no server outlives it.
    struct Unmount {
        std::string mnt;
        ~Unmount() { RunCommandLine(Cli() + " umount " + mnt + " 2>/dev/null"); }
    } unmount{mnt};
    point.Run(0, "restore " + point.repo() + " --to " + restored);
    point.Run(0, "mount " + point.repo() + " " + mnt);
    Sh(0, "cmp " + image + " " + restored);
    struct stat st;
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);
    point.Run(0, "umount " + mnt);
    EXPECT_NE(::stat(image.c_str(), &st), 0);
    point.Run(1, "umount " + mnt);

    // Extent 3 of the full backup damaged: its range fails, the others read.
    DamageExtent(point.repo(), "000001", 3);
    point.Run(0, "mount " + point.repo() + " --backup 000001 " + mnt);
    EXPECT_EQ(ReadError(image, 3 * 65536 + 4096), EIO);
    EXPECT_EQ(ReadError(image, 5 * 65536), 0);
    point.Run(0, "umount " + mnt);
}

}  // namespace
}  // namespace kzvol::testing
