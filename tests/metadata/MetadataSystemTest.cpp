// Metadata on real mounts: collection from an ext3 loop volume, content snapshots.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <memory>

#include "filter/QnbfProtocol.h"
#include "host/ShellQuote.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/Kzvol.h"
#include "tests/support/MountedImage.h"
#include "tests/support/StandInSystemTest.h"
#include "tests/support/SystemHarness.h"

namespace kzvol::testing {
namespace {

using CollectionSystemTest = SystemTest;
TEST_F(CollectionSystemTest, Ext3AtAPathWithABlankByTheReaderAndByTheWalk) {
    TestEnv env;
    TempDir tmp;
    const std::string info = tmp.File("volinfo"), table = tmp.File("table"),
                      tree = tmp.File("tree"), mnt = tmp.File("mount point");
    KZVolumeUnix volume(-1);
    BuildTree(tree, 300);
    ::unlink((tree + "/fifo").c_str());
    MakeImage(tree, tmp.File("image"), "ext3", 4096, 65536);
    LoopDevice loop(tmp.File("image"), true);
    ASSERT_TRUE(loop.ok()) << loop.error();
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    ScopedMount mount(loop.path(), mnt, "ext3", MS_RDONLY);
    ASSERT_TRUE(mount.ok()) << mount.error();
    env.SetMountTable({RealMountOn(mnt)});
    volume.m_bSkipSnapMount = true;
    const std::vector<FsTreeRow> debugfs = DebugfsTableRows(loop.path(), "ROOT");
    EXPECT_EQ(SortedRows(debugfs), ExpectedTreeRows(mnt, "ROOT"));
    ASSERT_TRUE(Collect(volume, mnt, info, table));
    EXPECT_EQ(TableRows(table), debugfs);
    const std::string readerInfo = ReadFile(info);
    ScopedRegistry registry(tmp.File("registry.ini"), "[UnixImagePOD]\ndDisableNewMetaData=1\n");
    ASSERT_TRUE(Collect(volume, mnt, info, table));
    ExpectWalked(TableRows(table), SortedRows(debugfs));
    EXPECT_EQ(ReadFile(info) + "fstype=ext3\n", readerInfo);
    EXPECT_TRUE(env.Commands().empty());  // nothing mounted, nothing unmounted

    // The walk leaves out a file system mounted inside, with its mount point.
    ScopedMount inner("tmpfs", mnt + "/emptydir", "tmpfs");
    ASSERT_TRUE(inner.ok()) << inner.error();
    ASSERT_EQ(RunCommandLine("echo x >'" + mnt + "/emptydir/on-tmpfs'"), 0);
    ASSERT_TRUE(Collect(volume, mnt, info, table));
    std::vector<FsTreeRow> rows = TableRows(table);
    rows.push_back(*std::find_if(debugfs.begin(), debugfs.end(),
                                 [](const FsTreeRow& r) { return r.name == "emptydir"; }));
    EXPECT_EQ(SortedRows(rows), SortedRows(debugfs));
}

// The real mount table and commands, recorded; shell lines (the driver's boot script) unrun.
struct LiveEnv : TestEnv {
    LiveEnv() { set_run_commands(true); }
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        return target()->ReadMountTable(entries);
    }
    int RunShell(const std::string&) override { return 0; }
};

// Mount points of this namespace under /snapmnt, innermost last.
Lines SnapMounts() {
    std::vector<MountTableEntry> table;
    Lines out;
    Env::Default()->ReadMountTable(&table);
    for (const auto& e : table)
        if (e.fields[1].rfind("/snapmnt/", 0) == 0)
            out.push_back(e.fields[1]);
    return out;
}

// Each record of `item` as the tool lists it.
Lines Records(const kz_contenttosnapmnt& item) {
    Lines out;
    for (const auto& r : item.snaps)
        out.push_back(r.mntPath + "\t" + r.devName + "\t" + r.snapMntPath + "\t" +
                      std::to_string(r.status));
    EXPECT_EQ(item.snapCount, static_cast<int>(item.snaps.size()));
    return out;
}

class ContentSnapSystem : public StandInSystemTest {
  protected:
    void SetUp() override {
        StandInSystemTest::SetUp();
        if (IsSkipped())
            return;
        // kzvol runs the driver's tools from here; the snapshot tool has nothing to do.
        for (const char* d : {"driver/sbin", "cow", "p"})
            ::mkdir(dir_.File(d).c_str(), 0755);
        ASSERT_EQ(::chmod(dir_.Write("driver/sbin/kzsnap", "#!/bin/sh\n").c_str(), 0700), 0);
        ::setenv("KZ_SNAP_PARTITION", dir_.File("cow").c_str(), 1);
        for (const char* name : {"home", "home/x y", "home2"})
            ASSERT_NO_FATAL_FAILURE(AddVolume(name));
    }
    void TearDown() override {
        if (!driver_)
            return;
        Lines left = SnapMounts();
        std::for_each(left.rbegin(), left.rend(),
                      [](auto& m) { ::umount2(m.c_str(), MNT_DETACH); });
        std::for_each(mounts_.rbegin(), mounts_.rend(), [](auto& m) { m.reset(); });
        StandInSystemTest::TearDown();
        ::unsetenv("KZ_SNAP_PARTITION");
    }

    std::string At(const std::string& name) const { return prefix_ + "/" + name; }
    std::string Record(const std::string& mnt, int volume, int status) const {
        return mnt + "\t" + FilterNode(minors_[volume]) + "\t/snapmnt" + mnt + "\t" +
               std::to_string(status);
    }

    // An ext2 volume holding f.txt ("v<name>") and the directory "x y", filtered, on At(name).
    void AddVolume(const std::string& name) {
        const std::string tag = "src" + std::to_string(minors_.size()), src = dir_.File(tag);
        ASSERT_EQ(RunCommandLine("mkdir -p " + ShellQuote(src + "/x y")), 0);
        dir_.Write(tag + "/f.txt", "v" + name);
        ASSERT_NO_FATAL_FAILURE(MakeImage(src, src + ".img", "ext2", 1024, 8192));
        loops_.push_back(std::make_unique<LoopDevice>(src + ".img"));
        ASSERT_TRUE(loops_.back()->ok()) << loops_.back()->error();
        minors_.push_back(AddFilter(loops_.back()->path(), 1 << 20));
        ASSERT_GE(minors_.back(), 0);
        ::mkdir(At(name).c_str(), 0755);
        mounts_.push_back(
            std::make_unique<ScopedMount>(FilterNode(minors_.back()), At(name), "ext2"));
        ASSERT_TRUE(mounts_.back()->ok()) << mounts_.back()->error();
    }

    void ExpectNothingLeft() {
        EXPECT_EQ(SnapMounts(), Lines{});
        for (int minor : minors_)
            EXPECT_EQ(DriverInfo(minor).snap_minor_cnt, 0) << minor;
    }

    std::string prefix_ = dir_.File("p");
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    std::vector<int> minors_;
    std::vector<std::unique_ptr<ScopedMount>> mounts_;
};

TEST_F(ContentSnapSystem, TheVolumesAtAndBelowAPathAreSnappedAndReleasedByLibraryAndTool) {
    LiveEnv env;
    const std::string home = At("home"), xy = At("home/x y");
    const Lines made = {Record(home, 0, 0), Record(xy, 1, 0)},
                snapMounts = {"/snapmnt" + home, "/snapmnt" + xy};
    auto list = ListOf({home, xy + "/f.txt", "/"});
    const int descriptors = OpenDescriptorCount();
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);

    EXPECT_EQ(Records(list.contents[0]), made);
    // The second path's volume was snapshotted for the first: recorded, not mounted again.
    EXPECT_EQ(Records(list.contents[1]), Lines{Record(xy, 1, 0)});
    EXPECT_TRUE(list.contents[2].snaps.empty());
    EXPECT_EQ(std::make_tuple(EventText(env), SnapMounts()),
              std::make_tuple(Lines{"0x7000068:/"}, snapMounts));
    auto snapNode = [&](int v) { return FilterNode(DriverInfo(minors_[v]).snap_minor[0]); };
    EXPECT_EQ(env.Commands(), Lines({"mkdir -p -- /snapmnt" + home,
                                     "mount -o ro -- " + snapNode(0) + " /snapmnt" + home,
                                     "mkdir -p -- '/snapmnt" + xy + "'",
                                     "mount -o ro -- " + snapNode(1) + " '/snapmnt" + xy + "'"}));
    EXPECT_EQ(DriverInfo(minors_[2]).snap_minor_cnt, 0);  // home2 is not below home

    ASSERT_EQ(RunCommandLine("echo changed > " + ShellQuote(xy + "/f.txt") + " && sync"), 0);
    EXPECT_EQ(ReadFile("/snapmnt" + xy + "/f.txt") + ReadFile("/snapmnt" + home + "/f.txt"),
              "vhome/x yvhome");
    EXPECT_NE(RunCommandLine("touch " + ShellQuote("/snapmnt" + home + "/new") + " 2>/dev/null"),
              0);

    // The first release of "x y" is refused (2); its second record finds it unmounted (1).
    driver_->FailNext(QNBF_DELETE_NODE, EIO);
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_RELEASE, &list), 1);
    EXPECT_EQ(Records(list.contents[0]), Lines({Record(home, 0, 0), Record(xy, 1, 2)}));
    EXPECT_EQ(Records(list.contents[1]), Lines{Record(xy, 1, 1)});
    EXPECT_EQ(env.Sleeps(), std::vector<unsigned long>(20, 3000));
    EXPECT_EQ(EventText(env), Lines({"0x7000068:/", "0x700006d:" + xy}));
    ExpectNothingLeft();
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    // Two paths on one volume share its snapshot, released at once without retries.
    list = ListOf({At("home2/f.txt"), At("home2/x y")});
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);
    ASSERT_EQ(list.contents[1].snaps.size(), 1u);
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_RELEASE, &list), 1);
    EXPECT_EQ(list.contents[0].snaps.at(0).status + list.contents[1].snaps.at(0).status, 0);
    EXPECT_EQ(env.Sleeps().size(), 20u);  // none more
    ExpectNothingLeft();
    // The tool snaps into a list file, listing the records, and releases from it.
    const std::string listFile = dir_.File("list"),
                      cli = "--emulator " + dir_.File("driver") + " content-snap ";
    std::string out;
    ASSERT_EQ(Kzvol(cli + ShellQuote(home) + " --list " + listFile, &out), 0) << out;
    EXPECT_EQ(std::make_tuple(Split(out), SnapMounts()), std::make_tuple(made, snapMounts));
    ASSERT_EQ(Kzvol(cli + "--release " + listFile, &out), 0) << out;
    EXPECT_EQ(Split(out), made);
    ExpectNothingLeft();
}

// Released again, lest a later run take the volume for snapped.
TEST_F(ContentSnapSystem, OnlyMountedSnapshotsAreRecordedOrKept) {
    LiveEnv env;
    const std::string home = At("home");
    auto list = ListOf({home});
    // A file squats on the snapshot's mount directory: mkdir fails.
    ASSERT_EQ(RunCommandLine("mkdir -p " + ShellQuote("/snapmnt" + prefix_)), 0);
    ASSERT_TRUE(std::ofstream("/snapmnt" + home));
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);
    EXPECT_TRUE(list.contents[0].snaps.empty() && DriverInfo(minors_[0]).snap_minor_cnt == 0);
    EXPECT_EQ(EventText(env), Lines{"0x700006b:" + home});
    ::unlink(("/snapmnt" + home).c_str());

    ASSERT_GE(SnapFilter(minors_[0], dir_.File("cow/.earlier"), true), 0);
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);
    EXPECT_TRUE(list.contents[0].snaps.empty());
    EXPECT_EQ(EventText(env), Lines({"0x700006b:" + home, "0x700006c:" + home}));
    EXPECT_EQ(SnapMounts(), Lines{});
    EXPECT_EQ(DriverInfo(minors_[1]).snap_minor_cnt, 0);  // "x y", after home, is skipped
}

}  // namespace
}  // namespace kzvol::testing
