// kzvol's filter-device commands against a memory-mode stand-in: its state
// directory, volumes in and out, information, bitmaps, snapshots, usage errors.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/MemoryDriver.h"
#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

TEST(CliEmulator, StartsStopsAndTouchesOnlyItsOwnState) {
    TempDir dir;
    const std::string users = dir.File("users");
    ASSERT_EQ(::mkdir(users.c_str(), 0700), 0);
    dir.Write("users/state", "my notes");
    Kz(1, "--emulator " + users + " devices");
    Kz(1, "emulator start --memory --state " + users);
    Kz(1, "emulator stop --state " + users);
    EXPECT_EQ(ReadFile(users + "/state"), "my notes");

    // A name the shell would expand runs nothing; stop leaves nothing behind.
    const std::string odd = dir.File("emu$(touch pwned)"), state = "'" + odd + "'",
                      emulator = "--emulator " + state + " ",
                      image = dir.Write("vol.img", std::string(1 << 20, 'v'));
    EXPECT_THAT(Kz(0, "emulator start --memory --state " + state),
                HasSubstr("export KZVOL_EMULATOR=" + odd));
    Kz(1, "emulator start --memory --state " + state);
    Kz(0, emulator + "emulator add " + image);
    Kz(0, emulator + "snap create /dev/qnbf/qnbf0 --cow-dir " + dir.path());
    EXPECT_THAT(Kz(0, "emulator status --state " + state),
                AllOf(HasSubstr("running in memory mode"), HasSubstr("2 device(s)")));
    // The listing, through the option or the variable, shows the snapshot's minor.
    const std::string devices = Kz(0, emulator + "devices");
    EXPECT_EQ(Sh(0, "KZVOL_EMULATOR=" + state + " " + Cli() + " devices"), devices);
    EXPECT_THAT(devices, HasSubstr("qnbf0        vol.img                           1048576 1"));
    Kz(0, emulator + "snap stop /dev/qnbf/qnbf0");
    EXPECT_THAT(ReadFile(odd + "/sbin/qnbf-bootscript1.rc"),
                HasSubstr("'" + odd + "/sbin/kzsnap' -a " + image + " -e 2097152\n"));
    dir.Write("emu$(touch pwned)/notes", "mine");
    Kz(0, "emulator stop --state " + state);
    EXPECT_EQ(ReadFile(odd + "/notes"), "mine");
    Kz(3, "emulator status --state " + state);
    ASSERT_EQ(::unlink((odd + "/notes").c_str()), 0);
    Kz(0, "emulator start --memory --state " + state);
    Kz(0, "emulator start --memory --force --state " + state);
    Kz(0, "emulator stop --state " + state);
    for (const std::string& path : {odd, std::string("pwned"), dir.File("pwned")})
        EXPECT_NE(::access(path.c_str(), F_OK), 0) << path;
}

using CliStandIn = StandInCli;

TEST_F(CliStandIn, VolumeInAndOutBitmapsASnapshotAndOneLineUsageErrors) {
    std::string data;
    for (int i = 0; i < 2048; ++i)  // 1 MiB, sector i filled with 'a' + i % 26
        data.append(512, static_cast<char>('a' + i % 26));
    const std::string image = dir_.Write("vol.img", data), node = " /dev/qnbf/qnbf0",
                      incr = node + " --type incr", diff = node + " --type diff";
    EXPECT_EQ(Run(0, "emulator add " + image + " --extent-size 65536"), "0 /dev/qnbf/qnbf0\n");
    Run(1, "emulator add " + image);
    Run(2, "emulator add " + image + " --extent-size 1000");
    Run(2, "emulator add");
    EXPECT_THAT(Split(Run(0, "devices")).at(1),
                ::testing::MatchesRegex(" *0 +qnbf0 +vol\\.img +1048576 +- +2 +2 *"));
    ::unsetenv("KZ_SNAP_PARTITION");
    for (const char* args :
         {"volinfo", "bitmap get /dev/qnbf/qnbf0", "bitmap set /dev/qnbf/qnbf0 --type incr",
          "bitmap clear /dev/qnbf/qnbf0 --type diff --file x",
          "bitmap flip /dev/qnbf/qnbf0 --type incr", "snap read /dev/qnbf/qnbf0 --offset 0",
          "snap stop /dev/qnbf/qnbf0 --cow-dir /tmp", "snap create /dev/qnbf/qnbf0"})
        EXPECT_THAT(Run(2, args),
                    ::testing::MatchesRegex("kzvol " + Split(args, ' ')[0] + ": [^\n]*\n"));
    EXPECT_EQ(Run(1, "volinfo /dev/qnbf/qnbf9"),
              "kzvol: no filter device /dev/qnbf/qnbf9 (kzvol devices lists them)\n");
    EXPECT_EQ(Run(0, "emulator remove /dev/qnbf/qnbf0"), "removed /dev/qnbf/qnbf0\n");
    Run(1, "emulator remove /dev/qnbf/qnbf0");
    Kz(1, "emulator add " + image + " --state " + dir_.File("none"));
    EXPECT_EQ(ReadFile(image), data);  // the caller's file is only read

    Run(0, "emulator add " + image + " --extent-size 65536");
    EXPECT_THAT(Run(0, "volinfo" + node),
                AllOf(HasSubstr("total_blocks: 2048\nincr_bmp_size: 2\nincr_tracked: 1\n"),
                      HasSubstr("dev_name: vol.img\n"), HasSubstr("has_snapshot: 0\n")));

    // Writes to extents 1 and 15 show in both bitmaps, numbered from 0.
    ASSERT_TRUE(WriteSector(image, 128 * 512, 'X') && WriteSector(image, 2047 * 512, 'X'));
    EXPECT_EQ(Run(0, "bitmap get" + incr), "1\n15\n");
    const std::string raw = dir_.File("incr.bmp");
    Run(0, "bitmap getclr" + incr + " --file " + raw);
    EXPECT_EQ(ReadFile(raw), std::string("\x02\x80", 2));
    EXPECT_EQ(Run(0, "bitmap get" + incr), "");
    Run(0, "bitmap merge" + incr + " --file " + raw);
    EXPECT_EQ(Run(0, "bitmap get" + incr), "1\n15\n");
    Run(0, "bitmap set" + diff + " --file " + dir_.Write("one.bmp", std::string("\x00\x01", 2)));
    EXPECT_EQ(Run(0, "bitmap get" + diff), "8\n");
    Run(1, "bitmap merge" + diff + " --file " + image);
    Run(0, "bitmap clear" + diff);
    EXPECT_EQ(Run(0, "bitmap get" + diff), "");
    Run(0, "bitmap save" + incr);

    // The snapshot keeps sector 5 as it was; stopping it regenerates the boot script.
    const std::string cow = dir_.File("cow");
    ASSERT_EQ(::mkdir(cow.c_str(), 0700), 0);
    EXPECT_EQ(Run(0, "snap create" + node + " --cow-dir " + cow), "/dev/qnbf/qnbf1\n");
    Run(1, "snap create" + node + " --cow-dir " + cow);
    ASSERT_TRUE(WriteSector(image, 5 * 512, 'Y'));
    Run(0, "snap read" + node + " --offset 4 --count 2 --out " + dir_.File("old"));
    EXPECT_EQ(ReadFile(dir_.File("old")), data.substr(4 * 512, 1024));
    Run(1, "snap remove" + node + " --cow-dir " + cow);
    EXPECT_EQ(Run(0, "snap stop" + node), "stopped /dev/qnbf/qnbf1\n");
    EXPECT_THAT(ReadFile(state_ + "/sbin/qnbf-bootscript1.rc"),
                HasSubstr(state_ + "/sbin/kzsnap -a " + image + " -e 65536\n"));
    Run(0, "snap remove" + node + " --cow-dir " + cow);
    EXPECT_EQ(Sh(0, "ls -A " + cow), "");
    Run(1, "snap read" + node + " --offset 0 --count 1");
}

}  // namespace
}  // namespace kzvol::testing
