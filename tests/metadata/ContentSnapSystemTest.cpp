// Content snapshots end to end through the stand-in driver in devices mode: three
// filter volumes under one prefix (home, "home/x y" below it, home2 beside it),
// snapshotted, mounted under /snapmnt and released again by the library and by
// kzvol content-snap; afterwards no snapshot mount, snapshot or loop device of
// a snapshot is left.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "emulator/Emulator.h"
#include "filter/QnbfProtocol.h"
#include "host/ShellQuote.h"
#include "metadata/ContentSnap.h"
#include "tests/support/Kzvol.h"
#include "tests/support/MemoryDriver.h"
#include "tests/support/StandInSystemTest.h"

namespace kzvol::testing {
namespace {

using Lines = std::vector<std::string>;

// The recording doubles, over the real mount table and real commands. Shell
// lines (the driver's boot script, rewritten in /sbin after a release) are
// answered without running.
class LiveEnv : public TestEnv {
  public:
    LiveEnv() { set_run_commands(true); }
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        return target()->ReadMountTable(entries);
    }
    int RunShell(const std::string&) override { return 0; }
};

// Mount points of this namespace under /snapmnt, innermost last.
Lines SnapMounts() {
    std::vector<MountTableEntry> table;
    Env::Default()->ReadMountTable(&table);
    Lines out;
    for (const auto& e : table) {
        if (e.fields[1].rfind("/snapmnt/", 0) == 0)
            out.push_back(e.fields[1]);
    }
    return out;
}

// What the driver says of filter device `minor`.
qn_getinfo_arg DriverInfo(int minor) {
    qn_getinfo_arg info{};
    info.minor = static_cast<uint32_t>(minor);
    EXPECT_EQ(Send(QNBF_GET_INFO, &info), 0);
    return info;
}
int SnapshotCount(int minor) {
    return DriverInfo(minor).snap_minor_cnt;
}

// One ext2 volume holding f.txt ("v<name>") and the directory "x y", under a
// filter device, mounted on `dir`.
struct FilterVolume {
    std::unique_ptr<LoopDevice> loop;
    int minor = -1;
    std::unique_ptr<ScopedMount> mount;
    std::string node() const { return FilterNode(minor); }
};

class ContentSnapSystem : public StandInSystemTest {
  protected:
    void SetUp() override {
        StandInSystemTest::SetUp();
        if (IsSkipped())
            return;
        // kzvol runs the driver's tools from here; the snapshot tool has nothing to do.
        ::mkdir(dir_.File("driver/sbin").c_str(), 0700);
        ASSERT_EQ(::chmod(dir_.Write("driver/sbin/kzsnap", "#!/bin/sh\n").c_str(), 0700), 0);
        ::mkdir(dir_.File("cow").c_str(), 0700);
        ::setenv("KZ_SNAP_PARTITION", dir_.File("cow").c_str(), 1);
        prefix_ = dir_.File("p");
        ::mkdir(prefix_.c_str(), 0755);
        for (const char* name : {"home", "home/x y", "home2"})
            ASSERT_NO_FATAL_FAILURE(AddVolume(name));
    }
    void TearDown() override {
        if (!driver_)
            return;
        Lines left = SnapMounts();
        for (auto it = left.rbegin(); it != left.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
        for (auto it = volumes_.rbegin(); it != volumes_.rend(); ++it)
            it->mount.reset();
        StandInSystemTest::TearDown();
        ::unsetenv("KZ_SNAP_PARTITION");
    }

    std::string driverDir() const { return dir_.File("driver"); }
    std::string At(const std::string& name) const { return prefix_ + "/" + name; }

    void AddVolume(const std::string& name) {
        const std::string tag = std::to_string(volumes_.size());
        const std::string src = dir_.File("src" + tag), image = dir_.File("vol" + tag + ".img");
        ::mkdir(src.c_str(), 0755);
        ::mkdir((src + "/x y").c_str(), 0755);
        dir_.Write("src" + tag + "/f.txt", "v" + name);
        std::string out;
        ASSERT_EQ(RunCommandLine(
                      "mke2fs -q -F -t ext2 -b 1024 -d " + src + " " + image + " 8192 2>&1", &out),
                  0)
            << out;
        FilterVolume v;
        v.loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(v.loop->ok()) << v.loop->error();
        v.minor = AddFilter(v.loop->path(), 1 << 20);
        ASSERT_GE(v.minor, 0);
        ::mkdir(At(name).c_str(), 0755);
        v.mount = std::make_unique<ScopedMount>(v.node(), At(name), "ext2");
        ASSERT_TRUE(v.mount->ok()) << v.mount->error();
        volumes_.push_back(std::move(v));
    }

    // Nothing of a snapshot is left: no mount under /snapmnt, no snapshot.
    void ExpectNothingLeft() {
        EXPECT_EQ(SnapMounts(), Lines{});
        for (const auto& v : volumes_)
            EXPECT_EQ(SnapshotCount(v.minor), 0) << v.node();
    }

    std::string prefix_;
    std::vector<FilterVolume> volumes_;
};

std::string RecordText(const kz_snapdevmntpath& r) {
    return r.mntPath + "|" + r.devName + "|" + r.snapMntPath + "|" + std::to_string(r.status);
}

Lines Records(const kz_contenttosnapmnt& item) {
    Lines out;
    for (const auto& r : item.snaps)
        out.push_back(RecordText(r));
    EXPECT_EQ(item.snapCount, static_cast<int>(item.snaps.size()));
    return out;
}

TEST_F(ContentSnapSystem, SnapshotsTheVolumesAtAndBelowAPathAndReleasesThemAll) {
    LiveEnv env;
    const std::string home = At("home"), xy = At("home/x y");
    const std::string nodeHome = volumes_[0].node(), nodeXy = volumes_[1].node();
    kz_subclient_contentlist list;
    list.contents = {{0, {}, home}, {0, {}, xy + "/f.txt"}, {0, {}, "/"}};
    list.count = 3;
    const int descriptors = OpenDescriptorCount();
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);

    EXPECT_EQ(Records(list.contents[0]), Lines({home + "|" + nodeHome + "|/snapmnt" + home + "|0",
                                                xy + "|" + nodeXy + "|/snapmnt" + xy + "|0"}));
    // The second path's volume was snapshotted for the first: recorded, not mounted again.
    EXPECT_EQ(Records(list.contents[1]), Lines{xy + "|" + nodeXy + "|/snapmnt" + xy + "|0"});
    EXPECT_TRUE(list.contents[2].snaps.empty());
    ASSERT_EQ(env.Events().size(), 1u);
    EXPECT_EQ(env.Events()[0].code, 0x7000068);
    EXPECT_EQ(SnapMounts(), Lines({"/snapmnt" + home, "/snapmnt" + xy}));
    EXPECT_EQ(env.Commands(),
              Lines({"mkdir -p -- /snapmnt" + home,
                     "mount -o ro -- " + FilterNode(DriverInfo(volumes_[0].minor).snap_minor[0]) +
                         " /snapmnt" + home,
                     "mkdir -p -- '/snapmnt" + xy + "'",
                     "mount -o ro -- " + FilterNode(DriverInfo(volumes_[1].minor).snap_minor[0]) +
                         " '/snapmnt" + xy + "'"}));
    EXPECT_EQ(SnapshotCount(volumes_[2].minor), 0);  // home2 is not below home

    // The snapshots are frozen and read-only.
    ASSERT_EQ(RunCommandLine("echo changed > " + ShellQuote(xy + "/f.txt") + " && sync"), 0);
    EXPECT_EQ(ReadFile("/snapmnt" + xy + "/f.txt"), "vhome/x y");
    EXPECT_EQ(ReadFile("/snapmnt" + home + "/f.txt"), "vhome");
    EXPECT_NE(RunCommandLine("touch " + ShellQuote("/snapmnt" + home + "/new") + " 2>/dev/null"),
              0);

    // Release: the first release of "x y" is refused by the driver once (status
    // 2); the second record of "x y" finds it unmounted (status 1, 20 retries)
    // and releases the snapshot that is still there.
    driver_->FailNext(QNBF_DELETE_NODE, EIO);
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_RELEASE, &list), 1);
    EXPECT_EQ(Records(list.contents[0]), Lines({home + "|" + nodeHome + "|/snapmnt" + home + "|0",
                                                xy + "|" + nodeXy + "|/snapmnt" + xy + "|2"}));
    EXPECT_EQ(Records(list.contents[1]), Lines{xy + "|" + nodeXy + "|/snapmnt" + xy + "|1"});
    EXPECT_EQ(env.Sleeps(), std::vector<unsigned long>(20, 3000));
    ASSERT_EQ(env.Events().size(), 2u);
    EXPECT_EQ(env.Events()[1].code, 0x700006D);
    EXPECT_EQ(env.Events()[1].args, Lines{xy});
    ExpectNothingLeft();
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    // Two content paths on one volume share its snapshot: both records are released
    // by the first release, without unmount retries.
    const std::string home2 = At("home2");
    list.contents = {{0, {}, home2 + "/f.txt"}, {0, {}, home2 + "/x y"}};
    list.count = 2;
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);
    ASSERT_EQ(list.contents[1].snaps.size(), 1u);
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_RELEASE, &list), 1);
    for (const auto& item : list.contents)
        EXPECT_EQ(item.snaps.at(0).status, 0) << item.contentPath;
    EXPECT_EQ(env.Sleeps().size(), 20u);  // none more
    ExpectNothingLeft();
}

// A snapshot that could not be mounted is released again, so that a later run
// does not take the volume for snapped; a snapshot that exists but is not mounted
// where the record would say is not recorded.
TEST_F(ContentSnapSystem, OnlyMountedSnapshotsAreRecordedOrKept) {
    LiveEnv env;
    const std::string home = At("home");
    kz_subclient_contentlist list;
    list.contents = {{0, {}, home}};
    list.count = 1;
    // A file squats on the snapshot's mount directory: mkdir fails.
    ASSERT_EQ(RunCommandLine("mkdir -p " + ShellQuote("/snapmnt" + prefix_) + " && touch " +
                             ShellQuote("/snapmnt" + home)),
              0);
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);
    EXPECT_TRUE(list.contents[0].snaps.empty());
    EXPECT_EQ(SnapshotCount(volumes_[0].minor), 0);
    ASSERT_EQ(env.Events().size(), 1u);
    EXPECT_EQ(env.Events()[0].code, 0x700006B);
    ::unlink(("/snapmnt" + home).c_str());

    ASSERT_GE(SnapFilter(volumes_[0].minor, dir_.File("cow/.earlier"), true), 0);
    ASSERT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);
    EXPECT_TRUE(list.contents[0].snaps.empty());
    ASSERT_EQ(env.Events().size(), 2u);
    EXPECT_EQ(env.Events()[1].code, 0x700006C);
    EXPECT_EQ(env.Events()[1].args, Lines{home});
    EXPECT_EQ(SnapMounts(), Lines{});
    EXPECT_EQ(SnapshotCount(volumes_[1].minor), 0);  // "x y", after home, is skipped
}

TEST_F(ContentSnapSystem, CliSnapsIntoAListFileAndReleasesIt) {
    const std::string list = dir_.File("list"), home = At("home"), xy = At("home/x y");
    const std::string nodeHome = volumes_[0].node(), nodeXy = volumes_[1].node();
    std::string out;
    const std::string cli = "--emulator " + driverDir() + " content-snap ";
    ASSERT_EQ(Kzvol(cli + ShellQuote(home) + " --list " + list, &out), 0) << out;
    const Lines made = {home + "\t" + nodeHome + "\t/snapmnt" + home + "\t0",
                        xy + "\t" + nodeXy + "\t/snapmnt" + xy + "\t0"};
    EXPECT_EQ(Split(out), made);
    EXPECT_EQ(SnapMounts(), Lines({"/snapmnt" + home, "/snapmnt" + xy}));
    ASSERT_EQ(Kzvol(cli + "--release " + list, &out), 0) << out;
    EXPECT_EQ(Split(out), made);
    ExpectNothingLeft();
}

}  // namespace
}  // namespace kzvol::testing
