// The kzvol tool where no mount of its own is needed: help and manual page, read
// and its log, the live mount table, exclusive's refusals, handler and probe.
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "host/Env.h"
#include "host/ShellQuote.h"
#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

TEST(CliReadAndHelp, CopiesSectorsFailsInOneLineAndTheManualListsEveryCommand) {
    TempDir dir;
    std::string data;
    for (int k = 0; k < 8; ++k)
        data.append(512, static_cast<char>('a' + k));
    const std::string image = dir.Write("img", data), out = dir.File("out");
    Kz(0, "read " + image + " --offset 2 --count 3 --out " + out);
    EXPECT_EQ(ReadFile(out), data.substr(1024, 1536));
    EXPECT_EQ(Sh(0, Cli() + " read " + image + " --offset 7 --count 1"), std::string(512, 'h'));
    // A read that fails (is killed while it waits to try again) leaves the output file as it was.
    dir.Write("out", "precious");
    RunCommandLine("timeout -s KILL 1 " + Cli() + " read " + image +
                   " --offset 6 --count 4 --out " + out);
    EXPECT_EQ(ReadFile(out), "precious");

    EXPECT_THAT(Kz(0, "--help"),
                HasSubstr("read SOURCE --offset SECTORS --count SECTORS [--out FILE]"));
    EXPECT_THAT(Kz(0, "--version"), StartsWith("kzvol "));
    EXPECT_EQ(Kz(1, "read " + dir.File("absent") + " --offset 0 --count 1"),
              "kzvol: cannot open " + dir.File("absent") + ": No such file or directory\n");
    EXPECT_EQ(Kz(2, "read x --offset -1 --count 1"),
              "kzvol read: --offset wants an unsigned number, not '-1' (see kzvol read --help)\n");
    EXPECT_EQ(Kz(2, "read x --offset=1 --count"),
              "kzvol read: option --count needs a value (see kzvol read --help)\n");
    EXPECT_THAT(Kz(2, ""), HasSubstr("usage: kzvol"));
    EXPECT_THAT(Kz(2, "frobnicate"), HasSubstr("unknown command"));

    const std::string help = Sh(0, Cli() + " --help"), page = Sh(0, Cli() + " --manpage");
    const size_t from = help.find("\nCommands:\n");
    ASSERT_NE(from, std::string::npos) << help;
    const std::string list = help.substr(from, help.find("\n\n", from) - from);
    const std::regex command("\n  ([a-z][-a-z]*)");  // summaries are indented further
    int commands = 0;
    for (std::sregex_iterator m(list.begin(), list.end(), command), end; m != end;
         ++m, ++commands) {
        const std::string name = (*m)[1];
        // The page writes every hyphen as \-.
        EXPECT_THAT(page,
                    HasSubstr("\n.B kzvol " + std::regex_replace(name, std::regex("-"), "\\-")));
        EXPECT_THAT(Kz(0, name + " --help"), StartsWith("usage: kzvol " + name));
    }
    EXPECT_GE(commands, 13);
    EXPECT_THAT(page, HasSubstr(".SH EXIT STATUS"));
    EXPECT_EQ(Sh(0, Cli() + " --manpage | groff -man -ww -z 2>&1"), "");
}

// Detail lines up to KZVOL_LOG_LEVEL, Debug lines always, also on stderr with --verbose.
TEST(CliLog, LogFileAndLevel) {
    TempDir dir;
    const std::string image = dir.File("fs.img"),
                      index = " index " + image + " --table " + dir.File("t");
    Sh(0, "mkdir -p " + dir.File("tree/sub") + " && echo x > " + dir.File("tree/sub/f") +
              " && mke2fs -q -F -t ext3 -d " + dir.File("tree") + " " + image + " 4M");
    for (const std::string level : {"0", "4"}) {
        const std::string log = dir.File("log" + level);
        Sh(0,
           "KZVOL_LOG=" + log + " KZVOL_LOG_LEVEL=" + level + " " + Cli() + index + " >/dev/null");
        const std::string text = ReadFile(log);
        EXPECT_EQ(text.find(" DEBUG4 RDFDGetInodeNameCallBack ") != std::string::npos,
                  level == "4");
        EXPECT_THAT(text, HasSubstr(" DEBUG "));
    }
    EXPECT_THAT(
        Sh(0, "env -u KZVOL_LOG -u KZVOL_LOG_LEVEL " + Cli() + " --verbose" + index + " 2>&1"),
        AllOf(HasSubstr(" DEBUG ReadExt3DirFromDevice :: "), Not(HasSubstr(" DEBUG4 "))));
}

TEST(CliPaths, DeviceAndMountpointFromTheLiveTableAndProbeClassifies) {
    std::vector<MountTableEntry> table;
    ASSERT_TRUE(Env::Default()->ReadMountTable(&table));
    // The other field of the first entry whose field `field` is `value`.
    const auto other = [&](int field, const std::string& value) {
        return std::find_if(table.begin(), table.end(),
                            [&](const MountTableEntry& e) { return e.fields[field] == value; })
            ->fields[1 - field];
    };
    const std::string root = other(1, "/");
    EXPECT_EQ(Kz(0, "device /"), root + "\n");
    EXPECT_EQ(Kz(0, "mountpoint " + ShellQuote(root)), other(0, root) + "\n");
    EXPECT_EQ(Kz(1, "device /kzvol-absent/"), "kzvol: nothing is mounted on /kzvol-absent/\n");
    EXPECT_EQ(Kz(2, "mountpoint"),
              "kzvol mountpoint: wants one DEVICE (see kzvol mountpoint --help)\n");

    TempDir dir;
    EXPECT_THAT(Kz(0, "probe /dev/null"),
                HasSubstr("device: yes\nkind: character\nfilter device: none\n"));
    EXPECT_THAT(Kz(0, "probe " + dir.Write("f", "x")), HasSubstr("device: no\nkind: file\n"));
    EXPECT_EQ(Kz(1, "probe " + dir.File("absent")),
              "kzvol: cannot examine " + dir.File("absent") + ": No such file or directory\n");
}

TEST(CliExclusiveAndHandler, RefusalsAndTheScriptOfTheConfiguredHome) {
    TempDir dir;
    EXPECT_EQ(Kz(2, "exclusive /dev/x --options ro -- true"),
              "kzvol exclusive: --options needs --type (see kzvol exclusive --help)\n");
    Kz(2, "exclusive /dev/x");
    // Nothing unopenable, a directory or a missing path is exclusive.
    for (const std::string& target :
         {std::string("/dev/kzvol-absent"), dir.path(), dir.File("absent")}) {
        EXPECT_THAT(Kz(1, "exclusive " + target + " -- touch " + dir.File("ran")),
                    HasSubstr("the command did not run"));
        EXPECT_NE(::access(dir.File("ran").c_str(), F_OK), 0);
    }

    Sh(0, "mkdir " + dir.File("Base"));
    Sh(0, "chmod 755 " + dir.Write("Base/ImgPodSnapHandler.sh",
                                   "#!/bin/sh\necho \"$@\" > " + dir.File("args") + "\n"));
    const std::string run =
        "KZVOL_CONFIG=" + dir.Write("registry.ini", "[Base]\ndTALMARHOME=" + dir.path() + "\n") +
        " " + Cli() + " handler ";
    Sh(0, run + "first second 42");
    EXPECT_EQ(ReadFile(dir.File("args")), "second first -jobid 42\n");
    Sh(2, run + "' -a' ' -b' x 2>/dev/null");
}

}  // namespace
}  // namespace kzvol::testing
