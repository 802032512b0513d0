// kzvol content-snap where nothing reaches a driver: its argument checks, the
// list file it saves even when a content path got no snapshot (with the critical
// event shown), the refusal to overwrite a list, and the checks of a list file
// before anything is released.
#include <gtest/gtest.h>

#include "tests/support/Kzvol.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

TEST(CliContentSnap, ArgumentsAreCheckedBeforeAnything) {
    TempDir dir;
    std::string out;
    for (const char* args :
         {"", "/home", "--list", "/home --list a --release b", "/home --release x", "--bogus x"}) {
        EXPECT_EQ(Kzvol(std::string("content-snap ") + args, &out), 2) << args << ": " << out;
        EXPECT_NE(out.find("kzvol content-snap: "), npos) << out;
    }
}

TEST(CliContentSnap, SavesTheListEvenWithoutSnapshotsAndNeverOverwritesOne) {
    TempDir dir;
    const std::string list = dir.File("list");
    std::string out;
    EXPECT_EQ(Kzvol("content-snap / --list " + list, &out), 1);
    EXPECT_NE(out.find("critical event 0x7000068"), npos) << out;
    EXPECT_NE(out.find("no snapshot for /"), npos) << out;
    EXPECT_EQ(ReadFile(list), "kzvol-content-list 1\nitem\t/\n");

    // A list in place keeps its snapshots tracked: it is never replaced.
    EXPECT_EQ(Kzvol("content-snap / --list " + list, &out), 1);
    EXPECT_NE(out.find("already exists"), npos) << out;
    EXPECT_EQ(ReadFile(list), "kzvol-content-list 1\nitem\t/\n");

    // Releasing a list without records does nothing and succeeds.
    EXPECT_EQ(Kzvol("content-snap --release " + list, &out), 0) << out;
    EXPECT_EQ(out, "");
}

TEST(CliContentSnap, ABadListFileReleasesNothing) {
    TempDir dir;
    std::string out;
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"something else\n", "line 1: not a kzvol content list"},
        {"kzvol-content-list 1\nsnap\t/a\t/dev/qnbf/qnbf0\t/snapmnt/a\t0\n",
         "line 2: a snap line before any item"},
        {"kzvol-content-list 1\nitem\t/a\nsnap\t/a\t/dev/qnbf/qnbf0\t/snapmnt/a\t7\n",
         "line 3: bad status"},
        {"kzvol-content-list 1\nitem\t/a\\q\n", "line 2: bad escape"},
        {"kzvol-content-list 1\nitem\t/a\nsnap\t/a\t/dev/qnbf/qnbf0\n",
         "line 3: neither an item nor a snap line"},
        // Only snapshot paths under /snapmnt of filter nodes are ever unmounted.
        {"kzvol-content-list 1\nitem\t/a\nsnap\t/a\t/dev/qnbf/qnbf0\t-a\t0\n",
         "line 3: not a snapshot under /snapmnt of a filter node"},
        {"kzvol-content-list 1\nitem\t/\nsnap\t/../etc\t/dev/qnbf/qnbf0\t/snapmnt/../etc\t0\n",
         "line 3: not a snapshot under /snapmnt of a filter node"},
        {"kzvol-content-list 1\nitem\t/a\nsnap\t/a\t--all\t/snapmnt/a\t0\n",
         "line 3: not a snapshot under /snapmnt of a filter node"},
    };
    for (const auto& c : cases) {
        const std::string file = dir.Write("bad", c.text);
        EXPECT_EQ(Kzvol("content-snap --release " + file, &out), 1) << c.text;
        EXPECT_NE(out.find(c.error), npos) << out;
    }
    EXPECT_EQ(Kzvol("content-snap --release " + dir.File("absent"), &out), 1);
    EXPECT_NE(out.find("cannot read"), npos) << out;
}

}  // namespace
}  // namespace kzvol::testing
