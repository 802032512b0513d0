// Host services: the registry, SHA-512, the recording doubles, the mount table's parser,
// commands and children; the safety of shell quoting, atomic rewrites and traces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "host/AtomicFile.h"
#include "host/EvEvent.h"
#include "host/KZPI_Focus.h"
#include "host/KZPlatformInfo.h"
#include "host/KzMntTab.h"
#include "host/KzProcess.h"
#include "host/KzcSHA512.h"
#include "host/MountTableStream.h"
#include "host/ShellQuote.h"
#include "host/TraceFile.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// Comments, blanks, CRLF and lines without a key; a short buffer truncates and is
// told the length; the cluster flag needs "1".
TEST(KZPlatformInfo, RegistryLookups) {
    TempDir dir;
    std::string value;
    const std::string text =
        "# comment\n; another\n[Base]\ndBASEHOME = /opt/kzvol/base \nsInstanceName=Instance001\n"
        "[Machines/grp]\r\nbClusterGroupClient=1\r\nnot a key line\n[Machines/solo]\n"
        "bClusterGroupClient=0\n[Empty]\nkey=\n";
    ::setenv("KZVOL_CONFIG", dir.Write("registry.ini", text).c_str(), 1);
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
    ::setenv("KZVOL_CONFIG", dir.File("absent").c_str(), 1);  // no file, no values
    EXPECT_EQ(KZPlatformInfo().getString("Base", "dBASEHOME", &value), 0);
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

// The runner's and the shell's lines kept apart, answered from the queue unrun.
TEST(HostDoubles, EventsMountTableAndCommandsAreRecorded) {
    TestEnv env;
    (EvEvent() << "/mnt/data" << std::string("sdb1") << 7LL).CriticalEvent(0x7000068, 0, 0);
    ASSERT_EQ(env.Events().size(), 1u);
    EXPECT_EQ(env.Events()[0].code, 0x7000068);
    EXPECT_EQ(env.Events()[0].args, (std::vector<std::string>{"/mnt/data", "sdb1", "7"}));

    env.SetMountTable({{{"/dev/sdb1", "/mnt/data", "ext3", "rw", "0", "0"}}});
    std::list<KzMntTab::Entry> entries;
    ASSERT_EQ(KzMntTab::getAll(entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.front()[0] + "|" + entries.front()[3] + "|" + entries.front()[9],
              "/dev/sdb1|rw|");

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

// A child's wait that times out, the status of one killed or failing, a failed start.
TEST(KzProcessReal, CommandsAndChildrenReportOutputAndStatus) {
    KzProcess p, f, missing;
    std::string out, err;
    EXPECT_EQ(p.system("printf 'a b'; echo oops >&2; exit 3", &out, &err, 0, false), 3);
    EXPECT_EQ(out + "|" + err, "a b|oops\n");
    EXPECT_NE(p.system("/nonexistent/command", &out, nullptr, 0, false), 0);

    ASSERT_EQ(p.StartProcess("/bin/sleep", "sleep 30", &err, 0), 1) << err;
    ASSERT_GT(p.GetChildPid(), 0);
    int code = -1;
    EXPECT_EQ(p.WaitForProcessToEnd(&code, &err, 0), 0);
    EXPECT_EQ(err, "timedout");
    ASSERT_EQ(::kill(p.GetChildPid(), SIGINT), 0);
    EXPECT_EQ(p.WaitForProcessToEnd(&code, &err, -1), 1);
    EXPECT_EQ(code, 128 + SIGINT);
    ASSERT_EQ(f.StartProcess("/bin/false", "false", &err, 0), 1);
    EXPECT_EQ(f.WaitForProcessToEnd(&code, &err, 10), 1);
    EXPECT_EQ(code, 1);

    EXPECT_EQ(missing.StartProcess("/nonexistent/script.sh", "x", &err, 0), 0);
    EXPECT_NE(err.find("/nonexistent/script.sh"), std::string::npos);
    EXPECT_EQ(missing.GetChildPid(), -1);
    EXPECT_EQ(missing.WaitForProcessToEnd(&code, &err, 1), 0);
}

// Ordinary words pass as they are, others are quoted (a tilde would expand); the
// shell sees the original words and runs nothing hidden in them.
TEST(ShellQuote, TheShellSeesTheOriginalWords) {
    TempDir dir;
    const std::vector<std::string> words = {
        "a@b:c=d+e%f-g/dev/sdb1,rw",          "",     "/mnt/my disk", "it's", "~root",
        "a;b|c&d`touch pwned`$(touch pwned)", "-x\n*"};
    std::string quoted, joined, out;
    for (const std::string& word : words)
        quoted += " " + ShellQuote(word), joined += word + "|";
    EXPECT_EQ(quoted,
              " a@b:c=d+e%f-g/dev/sdb1,rw '' '/mnt/my disk' 'it'\\''s' '~root' "
              "'a;b|c&d`touch pwned`$(touch pwned)' '-x\n*'");
    ASSERT_EQ(RunCommandLine("cd " + ShellQuote(dir.path()) + " && printf '%s|'" + quoted, &out),
              0);
    EXPECT_EQ(out, joined);
    EXPECT_NE(::access(dir.File("pwned").c_str(), F_OK), 0);
}

TEST(ReplaceFileContents, KeepsModeLeavesNoTemporaryAndFailsWithoutADirectory) {
    TempDir dir;
    std::string path = dir.Write("list", "old\n"), listing;
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(ReplaceFileContents(path, "new\n"));
    RunCommandLine("cd " + ShellQuote(dir.path()) + " && ls -A && stat -c %a list && cat list",
                   &listing);
    EXPECT_EQ(listing, "list\n640\nnew\n");
    EXPECT_FALSE(ReplaceFileContents(dir.File("absent/list"), "x"));
    // The directory synced after the rename, for files at the top and without one.
    EXPECT_EQ(DirectoryOf("/fstab") + DirectoryOf("fstab"), "/.");
}

// What another user plants at a trace path is never followed, truncated or waited
// for, nor counts as the switch. (Truncating, appending: RawIO, Bitmaps tests.)
TEST(TraceFiles, OffWithoutTheSwitchTruncatedPerCallAndPlantedFilesLeftAlone) {
    TempDir dir;
    const std::string old = SetTraceDirectory(dir.path()), victim = dir.Write("victim", "precious");
    EXPECT_FALSE(TraceFile("readvollog").open());  // off without the switch
    ASSERT_EQ(::symlink(victim.c_str(), dir.File("readvollog").c_str()), 0);
    ASSERT_EQ(::link(victim.c_str(), dir.File("wrtevollog").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.File("writevollog").c_str(), 0600), 0);
    dir.Write("debugkzvol", "");
    TraceFile("tracelog").Printf("an older call\n");
    for (TraceFile::Mode mode : {TraceFile::Truncate, TraceFile::Append})  // each call truncates
        TraceFile("tracelog", mode).Printf("call\n");                      // unless appending
    EXPECT_EQ(ReadFile(dir.File("tracelog")), "call\ncall\n");
    for (const char* name : {"readvollog", "wrtevollog"}) {
        TraceFile trace(name);
        EXPECT_FALSE(trace.open()) << name;
        trace.Printf("overwrite\n");
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    auto opened = std::async(std::launch::async, [] { return TraceFile("writevollog").open(); });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ::close(::open(dir.File("writevollog").c_str(), O_RDONLY | O_NONBLOCK));  // unblock
        ADD_FAILURE() << "opening a FIFO at a trace path waits for a reader";
    }
    EXPECT_FALSE(opened.get());
    ASSERT_EQ(::unlink(dir.File("debugkzvol").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), dir.File("debugkzvol").c_str()), 0);
    EXPECT_FALSE(TraceEnabled());
    SetTraceDirectory(old);
}

}  // namespace
}  // namespace kzvol::testing
