// The kzvol tool as a user runs it where no mount of its own is needed: help and
// the manual page, the read command and its log, lookups in the live mount
// table, exclusive's refusals, the handler script and probes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "host/Env.h"
#include "host/ShellQuote.h"
#include "tests/support/Kzvol.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

TEST(CliRead, CopiesSectorsToFileAndStdout) {
    TempDir dir;
    std::string data, out;
    for (int k = 0; k < 8; ++k)
        data.append(512, static_cast<char>('a' + k));
    std::string image = dir.Write("img", data);
    ASSERT_EQ(Kzvol("read " + image + " --offset 2 --count 3 --out " + dir.File("out"), &out), 0);
    EXPECT_EQ(ReadFile(dir.File("out")), data.substr(1024, 1536));
    out.clear();
    ASSERT_EQ(RunCommandLine(Cli() + " read " + image + " --offset 7 --count 1", &out), 0);
    EXPECT_EQ(out, std::string(512, 'h'));
    // A read that fails (here: is killed while it waits to try again) leaves what
    // the output file held.
    dir.Write("out", "precious");
    RunCommandLine("timeout -s KILL 1 " + Cli() + " read " + image +
                   " --offset 6 --count 4 --out " + dir.File("out"));
    EXPECT_EQ(ReadFile(dir.File("out")), "precious");
}

TEST(CliRead, HelpVersionAndOneLineFailures) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(Kzvol("--help", &out), 0);
    EXPECT_NE(out.find("read SOURCE --offset SECTORS --count SECTORS [--out FILE]"), npos);
    EXPECT_EQ(Kzvol("--version", &out), 0);
    EXPECT_EQ(out.rfind("kzvol ", 0), 0u);
    EXPECT_EQ(Kzvol("read " + dir.File("absent") + " --offset 0 --count 1", &out), 1);
    EXPECT_EQ(out, "kzvol: cannot open " + dir.File("absent") + ": No such file or directory\n");
    EXPECT_EQ(Kzvol("read x --offset -1 --count 1", &out), 2);
    EXPECT_EQ(out,
              "kzvol read: --offset wants an unsigned number, not '-1' (see kzvol read --help)\n");
    EXPECT_EQ(Kzvol("read x --offset=1 --count", &out), 2);
    EXPECT_EQ(out, "kzvol read: option --count needs a value (see kzvol read --help)\n");
    EXPECT_EQ(Kzvol("", &out), 2);
    EXPECT_NE(out.find("usage: kzvol"), npos);
    EXPECT_EQ(Kzvol("frobnicate", &out), 2);
    EXPECT_NE(out.find("unknown command"), npos);
}

// The manual page and --help come from the one command table: every command of
// --help has its usage (exit 0) and an entry in a page groff reads without warning.
TEST(CliHelp, ManualPageListsEveryCommand) {
    std::string help, page, usage;
    ASSERT_EQ(RunCommandLine(Cli() + " --help", &help), 0);
    ASSERT_EQ(RunCommandLine(Cli() + " --manpage", &page), 0);
    const std::vector<std::string> lines = Split(help);
    auto line = std::find(lines.begin(), lines.end(), "Commands:");
    ASSERT_NE(line, lines.end()) << help;
    int commands = 0;
    for (++line; line != lines.end() && !line->empty(); ++line) {
        if (line->rfind("  ", 0) != 0 || line->rfind("      ", 0) == 0)
            continue;  // a summary line
        const std::string name = line->substr(2, line->find(' ', 2) - 2);
        std::string roff;  // the page writes every hyphen as \-
        for (char c : name)
            roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(page.find("\n.B kzvol " + roff), npos) << name;
        EXPECT_EQ(Kzvol(name + " --help", &usage), 0) << name;
        EXPECT_EQ(usage.rfind("usage: kzvol " + name, 0), 0u) << usage;
        ++commands;
    }
    EXPECT_GE(commands, 13);
    EXPECT_NE(page.find(".SH EXIT STATUS"), npos);
    std::string warnings;
    EXPECT_EQ(RunCommandLine(Cli() + " --manpage | groff -man -ww -z 2>&1", &warnings), 0);
    EXPECT_EQ(warnings, "");
}

// The log goes to KZVOL_LOG. Detail lines appear only up to KZVOL_LOG_LEVEL;
// Debug lines always do. --verbose shows the log on standard error, Debug lines
// included, though the library alone writes only Error lines there.
TEST(CliLog, LogFileAndLevel) {
    TempDir dir;
    ASSERT_EQ(RunCommandLine("mkdir -p " + dir.File("tree/sub") + " && echo x > " +
                             dir.File("tree/sub/f") + " && mke2fs -q -F -t ext3 -d " +
                             dir.File("tree") + " " + dir.File("fs.img") + " 4M"),
              0);
    for (int level : {0, 4}) {
        std::string log = dir.File("log" + std::to_string(level));
        ASSERT_EQ(RunCommandLine("KZVOL_LOG=" + log + " KZVOL_LOG_LEVEL=" + std::to_string(level) +
                                 " " + Cli() + " index " + dir.File("fs.img") + " --table " +
                                 dir.File("t" + std::to_string(level)) + " >/dev/null"),
                  0);
        std::string text = ReadFile(log);
        EXPECT_EQ(text.find(" DEBUG4 RDFDGetInodeNameCallBack ") != npos, level == 4) << text;
        EXPECT_NE(text.find(" DEBUG "), npos);
    }
    std::string out;
    ASSERT_EQ(RunCommandLine("env -u KZVOL_LOG -u KZVOL_LOG_LEVEL " + Cli() + " --verbose index " +
                                 dir.File("fs.img") + " --table " + dir.File("tv") + " 2>&1",
                             &out),
              0);
    EXPECT_NE(out.find(" DEBUG ReadExt3DirFromDevice :: "), npos) << out;
    EXPECT_EQ(out.find(" DEBUG4 "), npos) << out;
}

TEST(CliMountTable, AnswersFromTheLiveTable) {
    std::vector<MountTableEntry> table;
    ASSERT_TRUE(Env::Default()->ReadMountTable(&table));
    std::string rootDevice, firstDir, out;
    for (const auto& e : table) {
        if (rootDevice.empty() && e.fields[1] == "/")
            rootDevice = e.fields[0];
    }
    for (const auto& e : table) {
        if (firstDir.empty() && e.fields[0] == rootDevice)
            firstDir = e.fields[1];
    }
    EXPECT_EQ(Kzvol("device /", &out), 0);
    EXPECT_EQ(out, rootDevice + "\n");
    EXPECT_EQ(Kzvol("mountpoint " + ShellQuote(rootDevice), &out), 0);
    EXPECT_EQ(out, firstDir + "\n");
    EXPECT_EQ(Kzvol("device /kzvol-absent/", &out), 1);
    EXPECT_EQ(out, "kzvol: nothing is mounted on /kzvol-absent/\n");
    EXPECT_EQ(Kzvol("mountpoint", &out), 2);
    EXPECT_EQ(out, "kzvol mountpoint: wants one DEVICE (see kzvol mountpoint --help)\n");
}

TEST(CliExclusive, RefusalsAndAVolumeThatIsNotMounted) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(Kzvol("exclusive /dev/x --options ro -- true", &out), 2);
    EXPECT_EQ(out, "kzvol exclusive: --options needs --type (see kzvol exclusive --help)\n");
    EXPECT_EQ(Kzvol("exclusive /dev/x", &out), 2);
    // A device that cannot be opened is not locked; a directory or a missing path
    // unmounts nothing, so nothing is exclusive: the command does not run.
    for (const std::string& target :
         {std::string("/dev/kzvol-absent"), dir.path(), dir.File("absent")}) {
        EXPECT_EQ(Kzvol("exclusive " + target + " -- touch " + dir.File("ran"), &out), 1);
        EXPECT_NE(out.find("the command did not run"), npos) << out;
        EXPECT_EQ(::access(dir.File("ran").c_str(), F_OK), -1);
    }
}

TEST(CliHandler, RunsTheScriptOfTheConfiguredHome) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.File("Base").c_str(), 0755), 0);
    std::string script = dir.Write("Base/ImgPodSnapHandler.sh",
                                   "#!/bin/sh\necho \"$@\" > " + dir.File("args") + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    const std::string config =
        "KZVOL_CONFIG=" + dir.Write("registry.ini", "[Base]\ndTALMARHOME=" + dir.path() + "\n");
    EXPECT_EQ(RunCommandLine(config + " " + Cli() + " handler first second 42"), 0);
    EXPECT_EQ(ReadFile(dir.File("args")), "second first -jobid 42\n");
    EXPECT_EQ(RunCommandLine(config + " " + Cli() + " handler ' -a' ' -b' x 2>/dev/null"), 2);
}

TEST(CliProbe, ClassifiesPaths) {
    TempDir dir;
    std::string out;
    ASSERT_EQ(Kzvol("probe /dev/null", &out), 0);
    EXPECT_NE(out.find("device: yes\nkind: character\nfilter device: none\n"), npos) << out;
    ASSERT_EQ(Kzvol("probe " + dir.Write("f", "x"), &out), 0);
    EXPECT_NE(out.find("device: no\nkind: file\n"), npos) << out;
    EXPECT_EQ(Kzvol("probe " + dir.File("absent"), &out), 1);
    EXPECT_EQ(out, "kzvol: cannot examine " + dir.File("absent") + ": No such file or directory\n");
}

}  // namespace
}  // namespace kzvol::testing
