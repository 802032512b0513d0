// Host services: the registry, SHA-512, the recording doubles (events, mount table,
// commands) and the mount table's text parser fed from memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "host/EvEvent.h"
#include "host/KZPI_Focus.h"
#include "host/KZPlatformInfo.h"
#include "host/KzMntTab.h"
#include "host/KzProcess.h"
#include "host/KzcSHA512.h"
#include "host/MountTableStream.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// The registry: comments, blanks and lines without a key skipped, CRLF ends, names
// and values trimmed, sections with slashes; lookups into a short buffer truncate
// and report the length; the cluster flag needs "1"; the instance name.
TEST(KZPlatformInfo, RegistryLookups) {
    TempDir dir;
    std::string value;
    ::setenv("KZVOL_CONFIG", dir.File("absent").c_str(), 1);
    EXPECT_EQ(KZPlatformInfo().getString("Base", "dBASEHOME", &value), 0);
    const std::string registry = dir.Write(
        "registry.ini",
        "# comment\n; another\n[Base]\ndBASEHOME = /opt/kzvol/base \nsInstanceName=Instance001\n"
        "[Machines/grp]\r\nbClusterGroupClient=1\r\nnot a key line\n[Machines/solo]\n"
        "bClusterGroupClient=0\n[Empty]\nkey=\n");
    ::setenv("KZVOL_CONFIG", registry.c_str(), 1);
    KZPlatformInfo info;
    auto get = [&](const char* section, const char* key) {
        return info.getString(section, key, &value) ? value : "(none)";
    };
    EXPECT_EQ(get("Empty", "key"), "");
    EXPECT_EQ(get("Machines/grp", "bClusterGroupClient"), "1");
    EXPECT_EQ(get("Base", "bClusterGroupClient") + get("Machines", "bClusterGroupClient") +
                  get("Base", "# comment"),
              "(none)(none)(none)");
    char buf[8], untouched[4] = "xyz";
    int len = sizeof buf;
    EXPECT_NE(info.getString("Base", "dBASEHOME", buf, &len), 0);
    EXPECT_STREQ(buf, "/opt/kz");
    EXPECT_EQ(len, 15);
    len = sizeof untouched;
    EXPECT_EQ(info.getString("Base", "missing", untouched, &len), 0);
    EXPECT_STREQ(untouched, "xyz");
    EXPECT_EQ(len, 4);
    EXPECT_TRUE(info.isClusterGroupClient("grp"));
    EXPECT_FALSE(info.isClusterGroupClient("solo"));
    EXPECT_FALSE(info.isClusterGroupClient("nobody"));
    EXPECT_EQ(KZPI_Focus::getFocus(), "Instance001");
    dir.Write("registry.ini", "[Base]\n");
    EXPECT_EQ(KZPI_Focus::getFocus(), "");
    ::unsetenv("KZVOL_CONFIG");
}

TEST(KzcSHA512, PublishedVectorsAndReset) {
    auto hex = [](KzcSHA512& sha) {
        unsigned char out[64];
        sha._finish(out, sizeof out);
        std::string text;
        char two[3];
        for (unsigned char c : out)
            text += (std::snprintf(two, sizeof two, "%02x", c), two);
        return text;
    };
    KzcSHA512 sha;
    // FIPS 180-2 test vector "abc", fed in two pieces.
    sha.addData("a", 1);
    sha.addData("bc", 2);
    EXPECT_EQ(hex(sha),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    sha.reset();
    EXPECT_EQ(hex(sha),
              "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
              "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
}

// Events with their arguments, the mount table as the services give it, and the
// runner's and the shell's lines kept apart, answered from the queue without running.
TEST(HostDoubles, EventsMountTableAndCommandsAreRecorded) {
    TestEnv env;
    EvEvent ev;
    ev << "/mnt/data" << std::string("sdb1") << 7LL;
    ev.CriticalEvent(0x7000068, 0, 0);
    ASSERT_EQ(env.Events().size(), 1u);
    EXPECT_EQ(env.Events()[0].code, 0x7000068);
    EXPECT_EQ(env.Events()[0].args, (std::vector<std::string>{"/mnt/data", "sdb1", "7"}));

    env.SetMountTable({{{"/dev/sdb1", "/mnt/data", "ext3", "rw", "0", "0"}}});
    std::list<KzMntTab::Entry> entries;
    ASSERT_EQ(KzMntTab::getAll(entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.front()[0], "/dev/sdb1");
    EXPECT_EQ(entries.front()[3], "rw");
    EXPECT_EQ(entries.front()[9], "");

    env.QueueCommandResult(1, "first");
    std::string out;
    EXPECT_EQ(KzProcess().system("/bin/umount /mnt/a", &out, nullptr, 0, false), 1);
    EXPECT_EQ(out, "first");
    EXPECT_EQ(RunShell("mkdir -p /nonexistent/x"), 0);
    EXPECT_EQ(env.Commands(), std::vector<std::string>{"/bin/umount /mnt/a"});
    EXPECT_EQ(env.ShellCommands(), std::vector<std::string>{"mkdir -p /nonexistent/x"});
}

// The rest of an overlong line is not taken for an entry; missing numbers read as 0.
TEST(MountTableStream, DecodesEscapesSkipsCommentsAndSurvivesOverlongLines) {
    std::string text =
        "# comment\n\n/dev/sdb1 /mnt/my\\040disk\\011x ext3 ro 1 2\noverlay /merged overlay " +
        std::string(20000, 'o') + " 0 0\n/dev/sdc1 /mnt/back\\134slash xfs rw\n";
    std::vector<MountTableEntry> entries;
    FILE* stream = ::fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(stream, nullptr);
    ReadMountEntries(stream, &entries);
    std::fclose(stream);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].fields,
              (std::vector<std::string>{"/dev/sdb1", "/mnt/my disk\tx", "ext3", "ro", "1", "2"}));
    EXPECT_EQ(entries[1].fields[1], "/merged");
    EXPECT_EQ(entries[2].fields,
              (std::vector<std::string>{"/dev/sdc1", "/mnt/back\\slash", "xfs", "rw", "0", "0"}));
}

}  // namespace
}  // namespace kzvol::testing
