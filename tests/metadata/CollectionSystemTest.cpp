// Metadata collection on real mounts in the system harness: an ext3 loop volume
// mounted at a path with a blank, indexed by the reader (read through the
// descriptor callback from the block device) and by the walk, each against
// debugfs' view of the device, itself checked against the kernel's. (Other file
// system types are refused in CollectionTest.)
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/MountedImage.h"
#include "tests/support/SystemHarness.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

using CollectionSystemTest = SystemTest;
TEST_F(CollectionSystemTest, Ext3AtAPathWithABlankByTheReaderAndByTheWalk) {
    TestEnv env;
    TempDir tmp;
    const std::string info = tmp.File("volinfo"), table = tmp.File("table"),
                      tree = tmp.File("tree"), image = tmp.File("image"),
                      mnt = tmp.File("mount point");
    KZVolumeUnix volume(-1);
    BuildTree(tree, 300);
    ::unlink((tree + "/fifo").c_str());
    MakeImage(tree, image, "ext3", 4096, 65536);
    LoopDevice loop(image, true);
    ASSERT_TRUE(loop.ok()) << loop.error();
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    ScopedMount mount(loop.path(), mnt, "ext3", MS_RDONLY);
    ASSERT_TRUE(mount.ok()) << mount.error();
    env.SetMountTable({RealMountOn(mnt)});
    volume.m_bSkipSnapMount = true;
    const std::vector<FsTreeRow> debugfs = DebugfsTableRows(loop.path(), "ROOT");

    // The kernel's view of the volume is debugfs' view.
    EXPECT_EQ(SortedRows(debugfs), ExpectedTreeRows(mnt, "ROOT"));
    ASSERT_TRUE(Collect(volume, mnt, info, table));
    EXPECT_EQ(TableRows(table), debugfs);
    const std::string readerInfo = ReadFile(info);

    ScopedRegistry registry(tmp.File("registry.ini"), "[UnixImagePOD]\ndDisableNewMetaData=1\n");
    ASSERT_TRUE(Collect(volume, mnt, info, table));
    ExpectWalked(TableRows(table), SortedRows(debugfs));
    EXPECT_EQ(ReadFile(info) + "fstype=ext3\n", readerInfo);
    EXPECT_TRUE(env.Commands().empty());  // nothing mounted, nothing unmounted

    // A file system mounted inside is not the volume's: the walk leaves out the
    // mount point and all below it.
    ScopedMount inner("tmpfs", mnt + "/emptydir", "tmpfs");
    ASSERT_TRUE(inner.ok()) << inner.error();
    ASSERT_EQ(RunCommandLine("echo x >'" + mnt + "/emptydir/on-tmpfs'"), 0);
    ASSERT_TRUE(Collect(volume, mnt, info, table));
    std::vector<FsTreeRow> volumeRows = SortedRows(debugfs);
    volumeRows.erase(std::remove_if(volumeRows.begin(), volumeRows.end(),
                                    [](const FsTreeRow& r) { return r.name == "emptydir"; }),
                     volumeRows.end());
    EXPECT_EQ(SortedRows(TableRows(table)), volumeRows);
}

}  // namespace
}  // namespace kzvol::testing
