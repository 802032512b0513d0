// The reader on a real block device: an ext3 image on a read-only loop device, read
// through a descriptor with lseek and read as the library's callers do, against the
// kernel's own view of the same file system mounted read-only.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "host/Handles.h"
#include "tests/support/ReaderTestSupport.h"
#include "tests/support/SystemHarness.h"

namespace kzvol::testing {
namespace {

unsigned int ReadFd(void* context, char* buffer, unsigned int size, unsigned long long offset) {
    const int fd = *static_cast<int*>(context);
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        return 0;
    const ssize_t n = ::read(fd, buffer, size);
    return n < 0 ? 0 : static_cast<unsigned int>(n);
}

// Rows as the mounted file system shows them: directories, and regular files and
// symbolic links with one link.
std::vector<Row> KernelRows(const std::string& mountPoint) {
    namespace fs = std::filesystem;
    std::vector<Row> rows;
    struct stat st {};
    EXPECT_EQ(::lstat(mountPoint.c_str(), &st), 0);
    rows.push_back(Row{0, st.st_ino, static_cast<unsigned long long>(st.st_size),
                       static_cast<unsigned int>(st.st_mtime), true, "/"});
    for (const auto& entry : fs::recursive_directory_iterator(mountPoint)) {
        struct stat parent {};
        EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(::lstat(entry.path().parent_path().c_str(), &parent), 0);
        const bool dir = S_ISDIR(st.st_mode);
        if (!dir && !((S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && st.st_nlink == 1))
            continue;
        rows.push_back(Row{parent.st_ino, st.st_ino, static_cast<unsigned long long>(st.st_size),
                           static_cast<unsigned int>(st.st_mtime), dir,
                           entry.path().filename().string()});
    }
    return rows;
}

class ReaderSystemTest : public SystemTest {};

TEST_F(ReaderSystemTest, BothWalkersOnALoopDeviceMatchTheMountedFileSystem) {
    TestEnv env;
    TempDir tmp;
    const std::string tree = tmp.File("tree");
    BuildTree(tree, 300);
    const std::string image = tmp.File("image");
    MakeImage(tree, image, "ext3", 4096, 65536);

    LoopDevice loop(image, true);
    ASSERT_TRUE(loop.ok()) << loop.error();
    UniqueFd fd(::open(loop.path().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    int raw = fd.get();
    char root[] = "/", ext3[] = "ext3", platform[] = "linux";
    RowCollector depthFirst, optimized;
    ASSERT_TRUE(RDFDInterfaceForImgPod(root, ReadFd, &raw, RowCollector::Add, &depthFirst, nullptr,
                                       ext3, platform, 0, 0, 0, false, nullptr, nullptr));
    std::string fsType;
    ASSERT_TRUE(RDFDInterfaceForVirtualPod(root, ReadFd, &raw, RowCollector::Add, &optimized,
                                           nullptr, &fsType, nullptr, 0, nullptr, nullptr, nullptr,
                                           nullptr, 0, nullptr));
    EXPECT_EQ(depthFirst.rows, DebugfsRows(loop.path(), "/"));

    const std::string mnt = tmp.File("mnt");
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    ScopedMount mount(loop.path(), mnt, "ext3", MS_RDONLY);
    ASSERT_TRUE(mount.ok()) << mount.error();
    const std::vector<Row> kernel = Sorted(KernelRows(mnt));
    EXPECT_EQ(Sorted(depthFirst.rows), kernel);
    EXPECT_EQ(Sorted(optimized.rows), kernel);
}

}  // namespace
}  // namespace kzvol::testing
