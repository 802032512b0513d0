// kzvol mount: the incremental point served through FUSE reads as exactly the
// image a full restore writes, and a damaged extent answers EIO for its range
// while the rest still reads; kzvol umount ends the server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

// Reads `length` bytes at `offset` of `path`: the errno of a failed read, else 0.
int ReadAt(const std::string& path, uint64_t offset, size_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    std::string data(length, '\0');
    const ssize_t n = ::pread(fd, data.data(), length, static_cast<off_t>(offset));
    const int error = n < 0 ? errno : 0;
    ::close(fd);
    return error;
}

TEST_F(MountSystem, TheImageEqualsTheRestoreAndADamagedExtentAnswersEio) {
    TempDir dir;
    PointRepository point(dir, 1024);
    ASSERT_TRUE(point.ok()) << point.why();
    const std::string mnt = dir.File("mnt"), image = mnt + "/image", restored = dir.File("r.img");
    ::mkdir(mnt.c_str(), 0700);
    // Whatever the test's outcome, no server outlives it.
    struct Unmount {
        const PointRepository& point;
        std::string mnt;
        ~Unmount() {
            std::string ignored;
            point.Run("umount " + mnt, &ignored);
        }
    } unmount{point, mnt};
    std::string out;
    ASSERT_EQ(point.Run("restore " + point.repo() + " --to " + restored, &out), 0) << out;
    ASSERT_EQ(point.Run("mount " + point.repo() + " " + mnt, &out), 0) << out;
    EXPECT_EQ(RunCommandLine("cmp " + image + " " + restored, &out), 0) << out;
    struct stat st;
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);
    EXPECT_EQ(point.Run("umount " + mnt, &out), 0) << out;
    EXPECT_NE(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(point.Run("umount " + mnt, &out), 1);

    // Extent 3 of the full backup damaged: its range fails, the others read.
    DamageExtent(point.repo(), "000001", 3);
    ASSERT_EQ(point.Run("mount " + point.repo() + " --backup 000001 " + mnt, &out), 0) << out;
    EXPECT_EQ(ReadAt(image, 3 * 65536 + 4096, 4096), EIO);
    EXPECT_EQ(ReadAt(image, 5 * 65536, 4096), 0);
    EXPECT_EQ(point.Run("umount " + mnt, &out), 0) << out;
}

}  // namespace
}  // namespace kzvol::testing
