// Content snapshots on test mount tables; no driver is reachable, so each volume fails.
#include <gtest/gtest.h>

#include <cerrno>

#include "tests/metadata/MetadataTestSupport.h"

namespace kzvol::testing {
namespace {

struct TableEnv : TestEnv {
    bool readable = true;
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        errno = EACCES;
        return readable && TestEnv::ReadMountTable(entries);
    }
};

// Whether getAllDeviceMntPath finds any, then the list it leaves (one entry before).
Lines Found(const std::string& search) {
    std::vector<kz_devmntpath> found = {{"earlier", "/kept"}};
    Lines out = {getAllDeviceMntPath(search, found) ? "any" : "none"};
    for (const auto& f : found)
        out.push_back(f.devName + " " + f.mntPath);
    return out;
}

TEST(DeviceMntPath, MatchesTheMountPointAndBelowByWholeComponents) {
    TableEnv env;
    env.SetMountTable({Entry("/dev/qnbf/qnbf0", "/home"), Entry("/dev/qnbf/qnbf1", "/home2"),
                       Entry("/dev/qnbf/qnbf2", "/mnt/home"), Entry("/dev/sdb1", "/home/y"),
                       Entry("/dev/qnbf/qnbf3", "/home/x"), Entry("/dev/qnbf/qnbf4", "/")});
    const Lines home = {"any", "earlier /kept", "/dev/qnbf/qnbf0 /home", "/dev/qnbf/qnbf3 /home/x"};
    EXPECT_EQ(Found("/home"), home);
    EXPECT_EQ(Found("/home/"), home);
    EXPECT_EQ(Found("/home/x"), Lines({"any", "earlier /kept", "/dev/qnbf/qnbf3 /home/x"}));
    EXPECT_EQ(Found("/"),
              Lines({"any", "earlier /kept", "/dev/qnbf/qnbf0 /home", "/dev/qnbf/qnbf1 /home2",
                     "/dev/qnbf/qnbf2 /mnt/home", "/dev/qnbf/qnbf3 /home/x", "/dev/qnbf/qnbf4 /"}));
    EXPECT_EQ(Found("/hom"), Lines({"none", "earlier /kept"}));
    env.readable = false;
    EXPECT_EQ(Found("/"), Found("/hom"));
}

class ContentSnapUnit : public ::testing::Test {
  protected:
    std::string Dir(const std::string& name) {
        return ::mkdir(dir_.File(name).c_str(), 0755), dir_.File(name);
    }
    // Snapshots `paths` under mount table `table`: the events it raised, as text.
    Lines Snap(const std::vector<MountTableEntry>& table, const Lines& paths) {
        env_.SetMountTable(table);
        const size_t before = env_.Events().size();
        list_ = ListOf(paths);
        EXPECT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list_), 1);
        Lines events = EventText(env_);
        return Lines(events.begin() + before, events.end());
    }
    TempDir dir_;
    TableEnv env_;
    kz_subclient_contentlist list_;
};

kz_snapdevmntpath Record(const std::string& mnt, int minor) {
    return {mnt, "/dev/qnbf/qnbf" + std::to_string(minor), "/snapmnt" + mnt, 0};
}

// Other operations, a null list or a count of 0 touch nothing. A volume whose mount point
// merely begins the same is not below the path.
TEST_F(ContentSnapUnit, OtherOperationsTouchNothingEachFailureEndsOnlyItsItemWithItsEvent) {
    env_.SetMountTable({Entry("/dev/qnbf/qnbf0", "/")});
    kz_subclient_contentlist list{{{1, {Record("/x", 0)}, "/"}}, 1};
    for (int op : {2, -1})
        EXPECT_EQ(KZVolSnap(op, &list), 0) << op;
    EXPECT_EQ(KZVolSnap(KZVOLSNAP_SNAP, nullptr) + KZVolSnap(KZVOLSNAP_RELEASE, nullptr), 0);
    list.count = 0;
    EXPECT_EQ(KZVolSnap(KZVOLSNAP_SNAP, &list), 1);
    EXPECT_TRUE(env_.Events().empty() && env_.Commands().empty());
    EXPECT_EQ(list.contents[0].snaps[0].status, 0);
    const std::string mnt = Dir("mnt"), data = Dir("mnt/data"), vol = Dir("mnt/vol");
    const std::string missing = dir_.File("missing"), plain = Dir("plain");
    EXPECT_EQ(
        Snap({Entry("/dev/sdz1", mnt), Entry("/dev/qnbf/qnbf9", vol)}, {"/", missing, data, vol}),
        Lines({"0x7000068:/", "0x7000069:" + missing, "0x700006b:" + vol, "0x700006b:" + vol}));
    for (const auto& item : list_.contents)
        EXPECT_TRUE(item.snapCount == 0 && item.snaps.empty()) << item.contentPath;
    EXPECT_TRUE(env_.Commands().empty());
    for (const auto& table :
         {std::vector{Entry("/dev/sdz1", plain), Entry("/dev/qnbf/qnbf1", plain + "2")},
          std::vector{Entry("/dev/sdy1", dir_.File("gone")), Entry("/dev/sdz1", plain)}})
        EXPECT_EQ(Snap(table, {plain}), Lines{"0x700006b:" + plain});
    env_.readable = false;
    EXPECT_EQ(Snap({}, {plain}), Lines{"0x700006a:"});
    EXPECT_EQ(list_.contents[0].snapCount, 0);
}

// "home/." and "home//" are "home": home2 is still not below it, home/vol is.
TEST_F(ContentSnapUnit, OnTheRootFileSystemTheContentPathItselfIsSearched) {
    const std::string home = Dir("home"), vol = Dir("home/vol");
    struct stat root, here;
    if (::stat("/", &root) || ::stat(home.c_str(), &here) || root.st_dev != here.st_dev)
        GTEST_SKIP() << "the temporary directory is not on the root file system";
    EXPECT_EQ(Snap({Entry("/dev/root", "/"), Entry("/dev/qnbf/qnbf5", home + "2")},
                   {home, home + "/.", home + "//"}),
              Lines(3, "0x700006b:" + home));
    EXPECT_EQ(Snap({Entry("/dev/root", "/"), Entry("/dev/qnbf/qnbf5", vol)}, {home + "/."}),
              Lines{"0x700006b:" + vol});
}

// Command lines quote blanks and metacharacters, and keep a path like an option a path.
TEST_F(ContentSnapUnit, ReleaseRetriesTwentyTimesNewestRecordFirstOnQuotedCommandLines) {
    const std::string b = "/b;touch pwned'$(id)";
    kz_subclient_contentlist list{{{2, {Record("/a b", 1), Record(b, 2)}, "/a"},
                                   {1, {{"/c", "/dev/qnbf/qnbf3", "-c", 0}}, "/c"}},
                                  2};
    for (int i = 0; i < 22; ++i)
        env_.QueueCommandResult(32, "");  // b: 1 + 20 attempts; "/a b": one attempt
    EXPECT_EQ(KZVolSnap(KZVOLSNAP_RELEASE, &list), 1);

    Lines expected(21, "umount -- '/snapmnt/b;touch pwned'\\''$(id)'");
    expected.insert(expected.end(), {"umount -- '/snapmnt/a b'", "umount -- -c"});
    EXPECT_EQ(env_.Commands(), expected);
    EXPECT_EQ(env_.Sleeps(), std::vector<unsigned long>(20, 3000));
    // Every snapshot is released whatever its unmount gave; with no driver each fails.
    EXPECT_EQ(EventText(env_), Lines({"0x700006d:" + b, "0x700006d:/a b", "0x700006d:/c"}));
    for (const auto& item : list.contents)
        for (const auto& r : item.snaps)
            EXPECT_EQ(r.status, 2) << r.mntPath;
    EXPECT_EQ(list.contents[0].snapCount, 2);
}

}  // namespace
}  // namespace kzvol::testing
