// The kzvol tool's commands on filter devices against a memory-mode stand-in
// driver, run as a user runs them: the stand-in's life in a state directory that
// holds only its own, a volume put under it and taken out again, its information,
// its change bitmaps, a snapshot's whole life and the usage errors.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "tests/support/Kzvol.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

TEST(CliEmulator, StartsStopsAndTouchesOnlyItsOwnState) {
    TempDir dir;
    std::string out;
    const std::string users = dir.File("users");
    ASSERT_EQ(::mkdir(users.c_str(), 0700), 0);
    dir.Write("users/state", "my notes");
    EXPECT_EQ(Kzvol("--emulator " + users + " devices", &out), 1);
    EXPECT_EQ(Kzvol("emulator start --memory --state " + users, &out), 1);
    EXPECT_EQ(Kzvol("emulator stop --state " + users, &out), 1);
    EXPECT_EQ(ReadFile(users + "/state"), "my notes");

    // A name the shell would expand runs nothing; the boot script lands in the
    // state directory, and stop leaves nothing of the stand-in behind.
    const std::string odd = dir.File("emu$(touch pwned)"), state = "'" + odd + "'";
    const std::string image = dir.Write("vol.img", std::string(1 << 20, 'v'));
    ASSERT_EQ(Kzvol("emulator start --memory --state " + state, &out), 0) << out;
    EXPECT_NE(out.find("export KZVOL_EMULATOR=" + odd), npos) << out;
    EXPECT_EQ(Kzvol("emulator start --memory --state " + state, &out), 1);
    ASSERT_EQ(Kzvol("--emulator " + state + " emulator add " + image, &out), 0) << out;
    ASSERT_EQ(
        Kzvol("--emulator " + state + " snap create /dev/qnbf/qnbf0 --cow-dir " + dir.path(), &out),
        0)
        << out;
    ASSERT_EQ(Kzvol("emulator status --state " + state, &out), 0);
    EXPECT_NE(out.find("running in memory mode"), npos);
    EXPECT_NE(out.find("2 device(s)"), npos);
    // The listing, through the option or the variable, shows the snapshot's minor.
    ASSERT_EQ(Kzvol("--emulator " + state + " devices", &out), 0);
    std::string viaVariable;
    ASSERT_EQ(RunCommandLine("KZVOL_EMULATOR=" + state + " " + Cli() + " devices", &viaVariable),
              0);
    EXPECT_EQ(viaVariable, out);
    EXPECT_NE(out.find("qnbf0        vol.img                           1048576 1"), npos) << out;
    ASSERT_EQ(Kzvol("--emulator " + state + " snap stop /dev/qnbf/qnbf0", &out), 0) << out;
    EXPECT_NE(ReadFile(odd + "/sbin/qnbf-bootscript1.rc")
                  .find("'" + odd + "/sbin/kzsnap' -a " + image + " -e 2097152\n"),
              npos);
    dir.Write("emu$(touch pwned)/notes", "mine");
    ASSERT_EQ(Kzvol("emulator stop --state " + state, &out), 0) << out;
    EXPECT_EQ(ReadFile(odd + "/notes"), "mine");
    EXPECT_EQ(Kzvol("emulator status --state " + state, &out), 3);
    ASSERT_EQ(::unlink((odd + "/notes").c_str()), 0);
    ASSERT_EQ(Kzvol("emulator start --memory --state " + state, &out), 0);
    ASSERT_EQ(Kzvol("emulator start --memory --force --state " + state, &out), 0);
    ASSERT_EQ(Kzvol("emulator stop --state " + state, &out), 0) << out;
    EXPECT_NE(::access(odd.c_str(), F_OK), 0);
    EXPECT_NE(::access("pwned", F_OK), 0);
    EXPECT_NE(::access(dir.File("pwned").c_str(), F_OK), 0);
}

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

    TempDir dir_;
    const std::string state_ = dir_.File("driver");
};

TEST_F(CliStandIn, VolumeGoesUnderTheStandInAndOutAgain) {
    std::string out;
    const std::string image = dir_.Write("vol.img", std::string(1 << 20, 'x'));
    ASSERT_EQ(Run("emulator add " + image + " --extent-size 65536", &out), 0);
    EXPECT_EQ(out, "0 /dev/qnbf/qnbf0\n");
    EXPECT_EQ(Run("emulator add " + image, &out), 1);
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
    ASSERT_EQ(Run("bitmap clear " + node + " --type diff", &out), 0);
    ASSERT_EQ(Run("bitmap get " + node + " --type diff", &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(Run("bitmap save " + node + " --type incr", &out), 0);

    // The snapshot keeps sector 5 as it was; stopping it regenerates the boot
    // script, which re-creates the filter device through the stand-in's kzsnap.
    const std::string cow = dir_.File("cow");
    ASSERT_EQ(::mkdir(cow.c_str(), 0700), 0);
    ASSERT_EQ(Run("snap create " + node + " --cow-dir " + cow, &out), 0);
    EXPECT_EQ(out, "/dev/qnbf/qnbf1\n");
    EXPECT_EQ(Run("snap create " + node + " --cow-dir " + cow, &out), 1);
    ASSERT_TRUE(WriteSector(image, 5 * 512, 'Y'));
    ASSERT_EQ(Run("snap read " + node + " --offset 4 --count 2 --out " + dir_.File("old"), &out),
              0);
    EXPECT_EQ(ReadFile(dir_.File("old")), data.substr(4 * 512, 1024));
    EXPECT_EQ(Run("snap remove " + node + " --cow-dir " + cow, &out), 1);
    ASSERT_EQ(Run("snap stop " + node, &out), 0);
    EXPECT_EQ(out, "stopped /dev/qnbf/qnbf1\n");
    EXPECT_NE(ReadFile(state_ + "/sbin/qnbf-bootscript1.rc")
                  .find(state_ + "/sbin/kzsnap -a " + image + " -e 65536\n"),
              npos);
    ASSERT_EQ(Run("snap remove " + node + " --cow-dir " + cow, &out), 0);
    EXPECT_EQ(::access((cow + "/.qnbf0-snap").c_str(), F_OK), -1);
    EXPECT_EQ(::access((cow + "/.qnbf0-snapmap").c_str(), F_OK), -1);
    EXPECT_EQ(Run("snap read " + node + " --offset 0 --count 1", &out), 1);
}

TEST_F(CliStandIn, UsageErrorsOfTheFilterCommandsAreOneLine) {
    ::unsetenv("KZ_SNAP_PARTITION");
    std::string out;
    ASSERT_EQ(Run("emulator add " + dir_.Write("v", std::string(1 << 20, '\0')), &out), 0);
    for (const char* args :
         {"volinfo", "bitmap get /dev/qnbf/qnbf0", "bitmap set /dev/qnbf/qnbf0 --type incr",
          "bitmap clear /dev/qnbf/qnbf0 --type diff --file x",
          "bitmap flip /dev/qnbf/qnbf0 --type incr", "snap read /dev/qnbf/qnbf0 --offset 0",
          "snap stop /dev/qnbf/qnbf0 --cow-dir /tmp", "snap create /dev/qnbf/qnbf0"}) {
        EXPECT_EQ(Run(args, &out), 2) << args;
        EXPECT_EQ(out.rfind("kzvol " + Split(args, ' ')[0] + ": ", 0), 0u) << out;
        EXPECT_EQ(Split(out).size(), 1u) << out;
    }
    EXPECT_EQ(Run("volinfo /dev/qnbf/qnbf9", &out), 1);
    EXPECT_EQ(out, "kzvol: no filter device /dev/qnbf/qnbf9 (kzvol devices lists them)\n");
}

}  // namespace
}  // namespace kzvol::testing
