// The kzvol lookups, exclusive and handler commands: argument checks and
// answers that need no mounts of their own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include "host/Env.h"
#include "host/ShellQuote.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

std::string Cli() {
    return KZVOL_CLI;
}

// The first entry of the live table for which `match` holds.
MountTableEntry FirstLive(const std::function<bool(const MountTableEntry&)>& match) {
    std::vector<MountTableEntry> table;
    Env::Default()->ReadMountTable(&table);
    for (const auto& e : table) {
        if (match(e))
            return e;
    }
    return {};
}

TEST(CliMountTable, LookupsOfTheLiveTable) {
    const MountTableEntry root = FirstLive(
        [](const MountTableEntry& e) { return e.fields.size() > 1 && e.fields[1] == "/"; });
    ASSERT_FALSE(root.fields.empty());
    const std::string device = root.fields[0];
    const MountTableEntry first =
        FirstLive([&](const MountTableEntry& e) { return e.fields[0] == device; });
    std::string out;
    EXPECT_EQ(RunCommandLine(Cli() + " device /", &out), 0);
    EXPECT_EQ(out, device + "\n");
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " mountpoint " + ShellQuote(device), &out), 0);
    EXPECT_EQ(out, first.fields[1] + "\n");
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " device /kzvol-absent/ 2>&1", &out), 1);
    EXPECT_EQ(out, "kzvol: nothing is mounted on /kzvol-absent/\n");
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " mountpoint /dev/kzvol-absent 2>&1", &out), 1);
    EXPECT_EQ(out, "kzvol: /dev/kzvol-absent is not mounted\n");
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " mountpoint 2>&1", &out), 1);
    EXPECT_EQ(out, "kzvol: usage: kzvol mountpoint DEVICE\n");
}

TEST(CliExclusive, ArgumentsAreCheckedBeforeAnythingIsUnmounted) {
    std::string out;
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive /dev/kzvol-absent 2>&1", &out), 1);
    EXPECT_NE(out.find("usage: kzvol exclusive"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive /dev/x --options ro -- true 2>&1", &out), 1);
    EXPECT_EQ(out, "kzvol: --options needs --type\n");
    out.clear();
    // A device that cannot be opened is not locked, and the command does not run.
    TempDir dir;
    EXPECT_EQ(
        RunCommandLine(Cli() + " exclusive /dev/kzvol-absent -- touch " + dir.File("ran") + " 2>&1",
                       &out),
        1);
    EXPECT_NE(out.find("the command did not run"), std::string::npos) << out;
    EXPECT_EQ(::access(dir.File("ran").c_str(), F_OK), -1);
}

TEST(CliExclusive, NothingMountedRunsTheCommandAsItIs) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(RunCommandLine(Cli() + " exclusive " + dir.path() + " -- sh -c 'exit 5' 2>&1", &out),
              5);
    EXPECT_EQ(out, "kzvol: " + dir.path() + " is not mounted; running the command as it is\n");
}

TEST(CliHandler, RunsTheScriptWithItsArguments) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.File("Base").c_str(), 0755), 0);
    std::string script = dir.Write("Base/ImgPodSnapHandler.sh",
                                   "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/args\"\nexit 4\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    std::string config = dir.Write("registry.ini", "[Base]\ndTALMARHOME=" + dir.path() + "\n");
    const std::string run = "KZVOL_CONFIG=" + ShellQuote(config) + " " + Cli() + " handler ";
    EXPECT_EQ(RunCommandLine(run + "' -a' ' -b' 42"), 0);
    EXPECT_EQ(ReadFile(dir.File("Base/args")), "-b -a -jobid 42\n");
    std::string out;
    EXPECT_EQ(RunCommandLine(run + "' -a' ' -b' x 2>&1", &out), 1);
    EXPECT_EQ(out, "kzvol: --jobid wants an unsigned number, not 'x'\n");
    ::unlink(script.c_str());
    out.clear();
    EXPECT_EQ(RunCommandLine(run + "' -a' ' -b' 42 2>&1", &out), 1);
    EXPECT_NE(out.find("did not run to its end"), std::string::npos) << out;
}

}  // namespace
}  // namespace kzvol::testing
