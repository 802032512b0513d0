// Metadata collection on real mounts in the system harness: an ext3 loop volume
// mounted at a path with a blank, indexed by the reader (read through the
// descriptor callback from the block device) and by the walk, each against
// debugfs' view of the device, itself checked against the kernel's. (Other file
// system types are refused in CollectionTest.)
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/MountedImage.h"
#include "tests/support/SystemHarness.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class CollectionSystemTest : public SystemTest {
  protected:
    bool Collect(const std::string& mnt) {
        return kzvol::testing::Collect(volume_, mnt, info_, table_);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string info_ = tmp_.File("volinfo"), table_ = tmp_.File("table");
    KZVolumeUnix volume_{-1};
};

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
    const std::vector<FsTreeRow> debugfs = DebugfsTableRows(loop.path(), "ROOT");

    // The kernel's view of the volume is debugfs' view.
    EXPECT_EQ(SortedRows(debugfs), ExpectedTreeRows(mnt, "ROOT"));
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

    // A file system mounted inside is not the volume's: the walk leaves out the
    // mount point and all below it.
    ScopedMount inner("tmpfs", mnt + "/emptydir", "tmpfs");
    ASSERT_TRUE(inner.ok()) << inner.error();
    ASSERT_EQ(RunCommandLine("echo x >'" + mnt + "/emptydir/on-tmpfs'"), 0);
    ASSERT_TRUE(Collect(mnt));
    std::vector<FsTreeRow> volumeRows;
    for (const FsTreeRow& r : SortedRows(debugfs))
        if (r.name != "emptydir")
            volumeRows.push_back(r);
    EXPECT_EQ(SortedRows(TableRows(table_)), volumeRows);
}

}  // namespace
}  // namespace kzvol::testing
