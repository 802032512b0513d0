// Metadata collection on real mounts in the system harness: an ext3 loop volume
// mounted at a path with a blank, indexed by the reader and by the walk, each
// against debugfs' view of the device; an xfs mount refused.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/metadata/MetadataTestSupport.h"
#include "tests/rdfd/ReaderTestSupport.h"
#include "tests/support/MountedImage.h"
#include "tests/support/SystemHarness.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class CollectionSystemTest : public SystemTest {
  protected:
    bool Collect(const std::string& mountPoint) {
        std::string root = "ROOT", mnt = mountPoint, info = info_, table = table_, aux = "aux";
        return volume_.DumpMetadataInformation(root.data(), mnt.data(), info.data(), aux.data(),
                                               aux.data(), table.data(), 1048576);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string info_ = tmp_.File("volinfo"), table_ = tmp_.File("table");
    KZVolumeUnix volume_{-1};
};

// debugfs' rows as table rows, sorted, without what the reader never reports
// but a walk of the mount does (the pipe).
std::vector<FsTreeRow> DebugfsTableRows(const std::string& device) {
    std::vector<FsTreeRow> out;
    for (const Row& r : DebugfsRows(device, "ROOT")) {
        FsTreeRow row;
        row.parent = r.parent;
        row.inode = r.inode;
        row.size = r.size;
        row.mtime = r.mtime;
        row.type = r.isDir ? 1 : 0;
        row.name = r.name;
        out.push_back(row);
    }
    return out;
}

TEST_F(CollectionSystemTest, Ext3AtAPathWithABlankByTheReaderAndByTheWalk) {
    const std::string tree = tmp_.File("tree"), image = tmp_.File("image");
    BuildTree(tree, 300);
    ::unlink((tree + "/fifo").c_str());
    MakeImage(tree, image, "ext3", 4096, 65536);
    LoopDevice loop(image, true);
    ASSERT_TRUE(loop.ok()) << loop.error();
    const std::string mnt = tmp_.File("mount point");
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    ScopedMount mount(loop.path(), mnt, "ext3", MS_RDONLY);
    ASSERT_TRUE(mount.ok()) << mount.error();
    env_.SetMountTable({RealMountOn(mnt)});
    volume_.m_bSkipSnapMount = true;
    const std::vector<FsTreeRow> debugfs = DebugfsTableRows(loop.path());

    ASSERT_TRUE(Collect(mnt));
    EXPECT_EQ(TableRows(table_), debugfs);
    const std::string readerInfo = ReadFile(info_);

    ScopedRegistry registry(tmp_.File("registry.ini"), "[UnixImagePOD]\ndDisableNewMetaData=1\n");
    ASSERT_TRUE(Collect(mnt));
    const std::vector<FsTreeRow> walked = TableRows(table_);
    EXPECT_TRUE(ParentsComeFirst(walked));
    EXPECT_EQ(SortedRows(walked), SortedRows(debugfs));
    EXPECT_EQ(ReadFile(info_) + "fstype=ext3\n", readerInfo);
    EXPECT_TRUE(env_.Commands().empty());  // nothing mounted, nothing unmounted
}

TEST_F(CollectionSystemTest, XfsIsRefusedBeforeAnythingIsWritten) {
    MountedImage xfs(tmp_.path(), "xfs", tmp_.File("xfs mnt"), 300ull << 20);
    ASSERT_TRUE(xfs.ok()) << xfs.error();
    env_.SetMountTable({RealMountOn(xfs.dir())});
    EXPECT_FALSE(Collect(xfs.dir()));
    EXPECT_EQ(env_.CountLogs("Metadat Collection is supported only for ext2/ext3 . FS:xfs"), 1);
    EXPECT_NE(::access(info_.c_str(), F_OK), 0);
    EXPECT_NE(::access((table_ + ".dat").c_str(), F_OK), 0);
    EXPECT_TRUE(env_.Commands().empty());
}

}  // namespace
}  // namespace kzvol::testing
