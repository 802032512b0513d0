// The kzvol tool's commands on filter devices against a memory-mode stand-in
// driver, run as a user runs them: a volume put under the stand-in and taken out
// again, its information, its change bitmaps, a snapshot's whole life and the
// usage errors.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <sstream>

#include "tests/support/MemoryDriver.h"
#include "tests/support/Kzvol.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

class CliStandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string out;
        ASSERT_EQ(Kzvol("emulator start --memory --state " + state_, &out), 0) << out;
    }
    void TearDown() override {
        std::string out;
        Kzvol("emulator stop --state " + state_, &out);
    }
    // kzvol with the stand-in selected.
    int Run(const std::string& args, std::string* out) {
        return Kzvol("--emulator " + state_ + " " + args, out);
    }
    // Puts a file of `bytes` bytes under the stand-in: its node.
    std::string AddVolume(const std::string& name, size_t bytes, const std::string& extent) {
        std::string out;
        std::string path = dir_.Write(name, std::string(bytes, '\0'));
        EXPECT_EQ(Run("emulator add " + path + " --extent-size " + extent, &out), 0) << out;
        size_t blank = out.find(' ');
        return blank == npos ? "" : out.substr(blank + 1, out.size() - blank - 2);
    }

    TempDir dir_;
    const std::string state_ = dir_.File("driver");
};

TEST_F(CliStandIn, VolumeGoesUnderTheStandInAndOutAgain) {
    std::string out;
    const std::string image = dir_.Write("vol.img", std::string(1 << 20, 'x'));
    ASSERT_EQ(Run("emulator add " + image + " --extent-size 65536", &out), 0);
    EXPECT_EQ(out, "0 /dev/qnbf/qnbf0\n");
    EXPECT_EQ(Run("emulator add " + image, &out), 1);
    EXPECT_EQ(out, "kzvol: " + image + " is already under the stand-in (kzvol devices lists it)\n");
    EXPECT_EQ(Run("emulator add " + image + " --extent-size 1000", &out), 2);
    EXPECT_EQ(Run("emulator add", &out), 2);
    ASSERT_EQ(Run("devices", &out), 0);
    std::vector<std::string> row;
    std::istringstream fields(Split(out).at(1));
    for (std::string f; fields >> f;)
        row.push_back(f);
    EXPECT_EQ(row, std::vector<std::string>({"0", "qnbf0", "vol.img", "1048576", "-", "2", "2"}));
    ASSERT_EQ(Run("emulator remove /dev/qnbf/qnbf0", &out), 0);
    EXPECT_EQ(out, "removed /dev/qnbf/qnbf0\n");
    EXPECT_EQ(Run("emulator remove /dev/qnbf/qnbf0", &out), 1);
    EXPECT_EQ(Kzvol("emulator add " + image + " --state " + dir_.File("none"), &out), 1);
    EXPECT_NE(out.find("no stand-in driver in " + dir_.File("none")), npos) << out;
    EXPECT_EQ(ReadFile(image), std::string(1 << 20, 'x'));  // the caller's file is only read
}

// A backup's round through the tool: information, the change bitmaps, a snapshot.
TEST_F(CliStandIn, BitmapsAndASnapshotOfOneVolume) {
    std::string data;
    for (int i = 0; i < 2048; ++i)  // 1 MiB, sector i filled with 'a' + i % 26
        data.append(512, static_cast<char>('a' + i % 26));
    const std::string image = dir_.Write("vol.img", data);
    std::string out;
    ASSERT_EQ(Run("emulator add " + image + " --extent-size 65536", &out), 0);
    const std::string node = "/dev/qnbf/qnbf0";
    ASSERT_EQ(Run("volinfo " + node, &out), 0);
    EXPECT_NE(out.find("total_blocks: 2048\nincr_bmp_size: 2\nincr_tracked: 1\n"), npos) << out;
    EXPECT_NE(out.find("dev_name: vol.img\n"), npos);
    EXPECT_NE(out.find("has_snapshot: 0\n"), npos);

    // Writes to extents 1 and 15 show in both bitmaps, numbered from 0.
    ASSERT_TRUE(WriteSector(image, 128 * 512, 'X'));
    ASSERT_TRUE(WriteSector(image, 2047 * 512, 'X'));
    ASSERT_EQ(Run("bitmap get " + node + " --type incr", &out), 0);
    EXPECT_EQ(out, "1\n15\n");
    const std::string raw = dir_.File("incr.bmp");
    ASSERT_EQ(Run("bitmap getclr " + node + " --type incr --file " + raw, &out), 0);
    EXPECT_EQ(ReadFile(raw), std::string("\x02\x80", 2));
    ASSERT_EQ(Run("bitmap get " + node + " --type incr", &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(Run("bitmap merge " + node + " --type incr --file " + raw, &out), 0);
    ASSERT_EQ(Run("bitmap get " + node + " --type incr", &out), 0);
    EXPECT_EQ(out, "1\n15\n");
    dir_.Write("one.bmp", std::string("\x00\x01", 2));
    ASSERT_EQ(Run("bitmap set " + node + " --type diff --file " + dir_.File("one.bmp"), &out), 0);
    ASSERT_EQ(Run("bitmap get " + node + " --type diff", &out), 0);
    EXPECT_EQ(out, "8\n");
    EXPECT_EQ(Run("bitmap merge " + node + " --type diff --file " + dir_.File("vol.img"), &out), 1);
    EXPECT_EQ(out,
              "kzvol: " + image + " holds 1048576 bytes; the diff bitmap of " + node + " has 2\n");
    ASSERT_EQ(Run("bitmap clear " + node + " --type diff", &out), 0);
    ASSERT_EQ(Run("bitmap save " + node + " --type incr", &out), 0);

    // The snapshot keeps sector 5 as it was; stopping it runs the boot-script
    // regeneration inside the state directory.
    const std::string cow = dir_.File("cow");
    ASSERT_EQ(::mkdir(cow.c_str(), 0700), 0);
    ASSERT_EQ(Run("snap create " + node + " --cow-dir " + cow, &out), 0);
    EXPECT_EQ(out, "/dev/qnbf/qnbf1\n");
    EXPECT_EQ(Run("snap create " + node + " --cow-dir " + cow, &out), 1);
    EXPECT_NE(out.find("already holds copy-on-write files"), npos) << out;
    ASSERT_TRUE(WriteSector(image, 5 * 512, 'Y'));
    ASSERT_EQ(Run("snap read " + node + " --offset 4 --count 2 --out " + dir_.File("old"), &out),
              0);
    EXPECT_EQ(ReadFile(dir_.File("old")), data.substr(4 * 512, 1024));
    EXPECT_EQ(Run("snap remove " + node + " --cow-dir " + cow, &out), 1);
    EXPECT_NE(out.find("has an active snapshot: stop it first"), npos) << out;
    ASSERT_EQ(Run("snap stop " + node, &out), 0);
    EXPECT_EQ(out, "stopped /dev/qnbf/qnbf1\n");
    // The boot script re-creates the stand-in's filter device through its kzsnap.
    EXPECT_NE(ReadFile(state_ + "/sbin/qnbf-bootscript1.rc")
                  .find(state_ + "/sbin/kzsnap -a " + image + " -e 65536\n"),
              npos);
    ASSERT_EQ(Run("snap remove " + node + " --cow-dir " + cow, &out), 0);
    EXPECT_EQ(::access((cow + "/.qnbf0-snap").c_str(), F_OK), -1);
    EXPECT_EQ(::access((cow + "/.qnbf0-snapmap").c_str(), F_OK), -1);
    EXPECT_EQ(Run("snap read " + node + " --offset 0 --count 1", &out), 1);
    EXPECT_EQ(out, "kzvol: " + node + " has no snapshot (kzvol snap create " + node + ")\n");
}

TEST_F(CliStandIn, UsageErrorsOfTheFilterCommands) {
    ::unsetenv("KZ_SNAP_PARTITION");
    std::string out;
    const std::string node = AddVolume("v", 1 << 20, "65536");
    struct Case {
        const char* args;
        const char* message;
    } cases[] = {
        {"volinfo", "kzvol volinfo: wants one NODE (see kzvol volinfo --help)\n"},
        {"bitmap get NODE", "kzvol bitmap: --type wants incr or diff (see kzvol bitmap --help)\n"},
        {"bitmap set NODE --type incr",
         "kzvol bitmap: set wants --file F (see kzvol bitmap --help)\n"},
        {"bitmap clear NODE --type diff --file x",
         "kzvol bitmap: clear takes no --file (see kzvol bitmap --help)\n"},
        {"bitmap flip NODE --type incr",
         "kzvol bitmap: unknown action 'flip' (get, getclr, set, clear, merge or save) (see "
         "kzvol bitmap --help)\n"},
        {"snap read NODE --offset 0",
         "kzvol snap: read wants --offset and --count (see kzvol "
         "snap --help)\n"},
        {"snap stop NODE --cow-dir /tmp",
         "kzvol snap: stop takes no --cow-dir (see kzvol snap --help)\n"},
        {"snap create NODE",
         "kzvol snap: wants --cow-dir DIR or the variable KZ_SNAP_PARTITION "
         "(see kzvol snap --help)\n"},
    };
    for (const Case& c : cases) {
        std::string args = c.args;
        size_t at = args.find("NODE");
        if (at != npos)
            args.replace(at, 4, node);
        EXPECT_EQ(Run(args, &out), 2) << args;
        EXPECT_EQ(out, c.message);
    }
    EXPECT_EQ(Run("volinfo /dev/qnbf/qnbf9", &out), 1);
    EXPECT_EQ(out, "kzvol: no filter device /dev/qnbf/qnbf9 (kzvol devices lists them)\n");
}

}  // namespace
}  // namespace kzvol::testing
