// Collection without root: the mount table names an image of the "mount point" tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "metadata/DirectoryWalk.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {
namespace {

// Reports `dir` as the mounted snapshot without mounting anything.
struct FakeSnapshot : KZVolumeUnix {
    explicit FakeSnapshot(std::string dir) : KZVolumeUnix(-1), dir(std::move(dir)) {}
    bool MountSnap(char*, std::string& path) override { return path = dir, true; }
    std::string dir;
};

class CollectionTest : public ::testing::Test {
  protected:
    void SetUp() override { Prepare(40); }
    void Prepare(int files) {
        mnt_ = tmp_.File("mnt" + std::to_string(files));
        BuildTree(mnt_, files);
        image_ = tmp_.File("image" + std::to_string(files));
        MakeImage(mnt_, image_, "ext3", 1024, 8192);
        volume_.m_bSkipSnapMount = true;
    }
    void Table(const std::string& device, const std::string& type) {
        env_.SetMountTable({{{device, mnt_, type, "rw,acl"}}});
    }
    void Registry(const std::string& text) { registry_.emplace(tmp_.File("registry.ini"), text); }
    bool Collect() { return kzvol::testing::Collect(volume_, mnt_, info_, table_); }
    bool LeftNothing() const {  // access() answers -1 for a missing file
        return ::access(info_.c_str(), F_OK) && ::access((table_ + ".dat").c_str(), F_OK) &&
               ::access((table_ + ".idx").c_str(), F_OK);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string mnt_, image_, info_ = tmp_.File("volinfo"), table_ = tmp_.File("table");
    std::optional<ScopedRegistry> registry_;
    KZVolumeUnix volume_{-1};
};

TEST_F(CollectionTest, ReaderOnExt3AndTheWalkOtherwise) {
    Table(image_, "ext3");
    ASSERT_TRUE(Collect());
    EXPECT_EQ(TableRows(table_), DebugfsTableRows(image_, "ROOT"));
    const std::string readerInfo = ReadFile(info_);
    EXPECT_NE(readerInfo.find("aclenabled=1 \nselinuxlabels=0 \nfstype=ext3\n"), std::string::npos);
    EXPECT_TRUE(env_.Commands().empty());  // nothing mounted, nothing unmounted

    Registry("[UnixImagePOD]\ndNoMtimeNoSize=1\ndEnableIMetaDataLog=0\n");
    ASSERT_TRUE(Collect());
    for (const FsTreeRow& r : TableRows(table_))
        EXPECT_TRUE(r.type == 1 || r.size + r.mtime == 0) << r.name;
    EXPECT_EQ(std::make_tuple(volume_.m_bExtraMetadataLog, DebugLog), std::make_tuple(1, 1));
    DebugLog = 0;

    // An extent-mapped file system the reader refuses, an ext2 mount, the switch.
    MemoryDevice dev;
    dev.bytes = ReadFile(image_);
    dev.Put(1024 + 96, dev.Get32(1024 + 96) | 0x40);
    const std::string damaged = tmp_.Write("damaged", dev.bytes);
    for (const auto& [device, type, registry] :
         {std::tuple<std::string, const char*, const char*>{damaged, "ext3", "[UnixImagePOD]\n"},
          {image_, "ext2", "[UnixImagePOD]\n"},
          {image_, "ext3", "[UnixImagePOD]\ndDisableNewMetaData=0\n"}}) {
        Table(device, type);
        Registry(registry);
        ASSERT_TRUE(Collect()) << type;
        ExpectWalked(TableRows(table_), ExpectedTreeRows(mnt_, "ROOT"));
        EXPECT_EQ(ReadFile(info_) + "fstype=ext3\n", readerInfo);
    }
}

// The live device is unreadable; a failed unmount changes no result.
TEST_F(CollectionTest, TheSnapshotIsReadAndUnmountedOnceAtEitherExit) {
    env_.SetMountTable(
        {{{tmp_.File("live-absent"), "/live/vol", "ext3", "rw"}}, {{image_, mnt_, "ext3", "ro"}}});
    FakeSnapshot volume(mnt_);
    env_.QueueCommandResult(32);  // the unmount fails
    ASSERT_TRUE(kzvol::testing::Collect(volume, "/live/vol", info_, table_));
    EXPECT_EQ(TableRows(table_), DebugfsTableRows(image_, "ROOT"));
    EXPECT_NE(ReadFile(info_).find("fstype=ext3\n"), std::string::npos);
    EXPECT_EQ(env_.Commands(), std::vector<std::string>{"/bin/umount -- " + mnt_});

    table_ = tmp_.File("no/such/dir/table");
    EXPECT_FALSE(kzvol::testing::Collect(volume, "/live/vol", info_, table_));
    EXPECT_EQ(env_.Commands().size(), 2u);
}

TEST_F(CollectionTest, RefusedBeforeAnythingIsWrittenAndAQuitLeavesNoIndex) {
    for (const char* type : {"xfs", "ext4"})
        EXPECT_FALSE((Table(image_, type), Collect())) << type;
    EXPECT_FALSE((env_.SetMountTable({}), Collect()));
    Table(image_, "ext3");
    volume_.m_bSkipSnapMount = false;
    EXPECT_FALSE(Collect());
    EXPECT_TRUE(LeftNothing() && env_.Commands().empty());
    volume_.m_bSkipSnapMount = true;
    std::string root = "r", mnt = mnt_, info = info_, table = table_;
    EXPECT_FALSE(volume_.DumpMetadataInformation(root.data(), mnt.data(), info.data(), nullptr,
                                                 root.data(), table.data(), 0));
    EXPECT_FALSE(volume_.DumpMetadataInformation(root.data(), mnt.data(), info.data(), root.data(),
                                                 root.data(), table.data(), 1ul << 32));
    EXPECT_TRUE(LeftNothing());
    Prepare(1100);  // past the reader's first quit poll, at 1000 inodes
    Table(image_, "ext3");
    QuitAt job(1);
    volume_.m_pJobCtrlClient = &job;
    EXPECT_TRUE(Collect());
    EXPECT_TRUE(LeftNothing());
}

using MountSnapTest = MemoryDriver;
TEST_F(MountSnapTest, RefusalsRunNoCommand) {
    KZVolumeUnix volume(-1);
    std::string snapPath, mnt = "/data/my vol";
    auto mountSnap = [&](std::string path) { return volume.MountSnap(path.data(), snapPath); };
    const int minor = AddDevice("/dev/fake-volume", 8 << 20);
    ASSERT_GE(minor, 0);
    Snap(minor);
    env_.SetMountTable(
        {{{FilterNode(minor), mnt, "ext3", "rw"}}, {{"/dev/sdz1", "/plain", "ext3", "rw"}}});
    for (const std::string& path : {mnt, std::string("/plain"), std::string("/nowhere")})
        EXPECT_FALSE(mountSnap(path)) << path;
    env_.SetMountTable({{{"/dev/qnbf/qnbf0", mnt, "xfs", "rw"}}});
    EXPECT_FALSE(mountSnap(mnt));
    EXPECT_TRUE(env_.Commands().empty());
}

}  // namespace
}  // namespace kzvol::testing
