// The kzvol lookup, exclusive and handler commands where no mount of their own is
// needed: answers from the live table, argument checks, refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host/Env.h"
#include "host/ShellQuote.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

std::string Cli() {
    return KZVOL_CLI;
}

// Exit status and the output of both streams.
std::pair<int, std::string> Kzvol(const std::string& args) {
    std::string out;
    int rc = RunCommandLine(Cli() + " " + args + " 2>&1", &out);
    return {rc, out};
}

TEST(CliMountTable, AnswersFromTheLiveTable) {
    std::vector<MountTableEntry> table;
    ASSERT_TRUE(Env::Default()->ReadMountTable(&table));
    std::string rootDevice, firstDir;
    for (const auto& e : table) {
        if (rootDevice.empty() && e.fields[1] == "/")
            rootDevice = e.fields[0];
    }
    for (const auto& e : table) {
        if (firstDir.empty() && e.fields[0] == rootDevice)
            firstDir = e.fields[1];
    }
    EXPECT_EQ(Kzvol("device /"), std::make_pair(0, rootDevice + "\n"));
    EXPECT_EQ(Kzvol("mountpoint " + ShellQuote(rootDevice)), std::make_pair(0, firstDir + "\n"));
    EXPECT_EQ(Kzvol("device /kzvol-absent/"),
              std::make_pair(1, std::string("kzvol: nothing is mounted on /kzvol-absent/\n")));
    EXPECT_EQ(Kzvol("mountpoint"),
              std::make_pair(1, std::string("kzvol: usage: kzvol mountpoint DEVICE\n")));
}

TEST(CliExclusive, RefusalsAndAVolumeThatIsNotMounted) {
    TempDir dir;
    EXPECT_EQ(Kzvol("exclusive /dev/x --options ro -- true"),
              std::make_pair(1, std::string("kzvol: --options needs --type\n")));
    EXPECT_NE(Kzvol("exclusive /dev/x").second.find("usage: kzvol exclusive"), std::string::npos);
    // A device that cannot be opened is not locked, and the command does not run.
    auto [rc, out] = Kzvol("exclusive /dev/kzvol-absent -- touch " + dir.File("ran"));
    EXPECT_EQ(rc, 1);
    EXPECT_NE(out.find("the command did not run"), std::string::npos) << out;
    EXPECT_EQ(::access(dir.File("ran").c_str(), F_OK), -1);
    // Nothing mounted on the directory: the command runs and gives the status.
    EXPECT_EQ(Kzvol("exclusive " + dir.path() + " -- sh -c 'exit 5'"),
              std::make_pair(
                  5, "kzvol: " + dir.path() + " is not mounted; running the command as it is\n"));
}

TEST(CliHandler, RunsTheScriptOfTheConfiguredHome) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.File("Base").c_str(), 0755), 0);
    std::string script = dir.Write("Base/ImgPodSnapHandler.sh",
                                   "#!/bin/sh\necho \"$@\" > " + dir.File("args") + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    const std::string config =
        "KZVOL_CONFIG=" + dir.Write("registry.ini", "[Base]\ndTALMARHOME=" + dir.path() + "\n");
    EXPECT_EQ(RunCommandLine(config + " " + Cli() + " handler ' -a' ' -b' 42"), 0);
    EXPECT_EQ(ReadFile(dir.File("args")), "-b -a -jobid 42\n");
    EXPECT_EQ(RunCommandLine(config + " " + Cli() + " handler ' -a' ' -b' x 2>/dev/null"), 1);
}

}  // namespace
}  // namespace kzvol::testing
