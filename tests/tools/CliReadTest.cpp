// The kzvol tool as a user runs it: help, version, and the read command.
#include <gtest/gtest.h>

#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

std::string Cli() {
    return KZVOL_CLI;
}

TEST(CliRead, HelpAndVersion) {
    std::string out;
    EXPECT_EQ(RunCommandLine(Cli() + " --help", &out), 0);
    EXPECT_NE(out.find("read SOURCE --offset SECTORS --count SECTORS [--out FILE]"),
              std::string::npos);
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " --version", &out), 0);
    EXPECT_EQ(out.rfind("kzvol ", 0), 0u);
}

TEST(CliRead, CopiesSectorsToFileAndStdout) {
    TempDir dir;
    std::string data;
    for (int k = 0; k < 8; ++k)
        data.append(512, static_cast<char>('a' + k));
    std::string image = dir.Write("img", data);
    ASSERT_EQ(
        RunCommandLine(Cli() + " read " + image + " --offset 2 --count 3 --out " + dir.File("out")),
        0);
    EXPECT_EQ(ReadFile(dir.File("out")), data.substr(1024, 1536));
    std::string out;
    ASSERT_EQ(RunCommandLine(Cli() + " read " + image + " --offset 7 --count 1", &out), 0);
    EXPECT_EQ(out, std::string(512, 'h'));
}

TEST(CliRead, FailuresPrintOneLineAndExitOne) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(
        RunCommandLine(Cli() + " read " + dir.File("absent") + " --offset 0 --count 1 2>&1", &out),
        1);
    EXPECT_EQ(out, "kzvol: cannot open " + dir.File("absent") + ": No such file or directory\n");
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " read x --offset -1 --count 1 2>&1", &out), 1);
    EXPECT_EQ(out, "kzvol: --offset wants an unsigned number, not '-1'\n");
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " frobnicate 2>&1", &out), 1);
    EXPECT_NE(out.find("unknown command"), std::string::npos);
}

TEST(CliRead, LogGoesToKzvolLogFile) {
    TempDir dir;
    std::string image = dir.Write("img", std::string(1024, 'q'));
    std::string log = dir.File("kzvol.log");
    ASSERT_EQ(RunCommandLine("KZVOL_LOG=" + log + " " + Cli() + " read " + image +
                             " --offset 0 --count 1 >/dev/null"),
              0);
    std::string text = ReadFile(log);
    EXPECT_NE(text.find(" DEBUG KZVolumeUnix::open: Opening " + image + " \n"), std::string::npos)
        << text;
}

}  // namespace
}  // namespace kzvol::testing

namespace kzvol::testing {
namespace {

// Detail lines appear only up to KZVOL_LOG_LEVEL; Error and Debug lines always do.
TEST(CliLog, LogLevelSelectsDetailLines) {
    TempDir dir;
    ASSERT_EQ(RunCommandLine("mkdir -p " + dir.File("tree/sub") + " && echo x > " +
                             dir.File("tree/sub/f") + " && mke2fs -q -F -t ext3 -d " +
                             dir.File("tree") + " " + dir.File("img") + " 4M"),
              0);
    for (int level : {0, 4}) {
        std::string log = dir.File("log" + std::to_string(level));
        ASSERT_EQ(RunCommandLine("KZVOL_LOG=" + log + " KZVOL_LOG_LEVEL=" + std::to_string(level) +
                                 " " + Cli() + " index " + dir.File("img") + " --table " +
                                 dir.File("t" + std::to_string(level)) + " >/dev/null"),
                  0);
        std::string text = ReadFile(log);
        EXPECT_EQ(text.find(" DEBUG4 RDFDGetInodeNameCallBack ") != std::string::npos, level == 4)
            << text;
        EXPECT_NE(text.find(" DEBUG "), std::string::npos);
    }
}

}  // namespace
}  // namespace kzvol::testing
