// kzvol acl-dump, metadata, volinfo-file and content-snap where no driver is
// needed: the ACL file and its index read back through libacl, refusals that
// leave nothing, a volume-information file printed by field or refused, and the
// content list file saved, never overwritten, and checked before any release.
#include <acl/libacl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>

#include "tests/support/Kzvol.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

// The access ACL of `path` as text; with `bytes`, of the external form in them.
std::string AclTextOf(const std::string& path, const std::string* bytes = nullptr) {
    acl_t acl =
        bytes ? ::acl_copy_int(bytes->data()) : ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    char* text = acl ? ::acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS) : nullptr;
    const std::string result = text ? text : "(none)";
    ::acl_free(text);
    ::acl_free(acl);
    return result;
}

std::string Listing(const std::string& dir) {
    std::string left;
    RunCommandLine("ls -A " + dir, &left);
    return left;
}

// Each distinct ACL once (the deduplication itself: AclDumpTest); the list in
// inode order, each entry decoding to the file's own ACL.
TEST(CliAclDump, EachDistinctAclOnceAndTheListInInodeOrder) {
    TempDir dir;
    const std::string tree = dir.File("tree");
    ASSERT_EQ(RunCommandLine("mkdir " + tree + " && cd " + tree + " && touch f1 f2 f3 f4"), 0);
    std::map<unsigned long long, std::string> byInode;
    for (const std::string name : {"", "/f1", "/f2", "/f3", "/f4"}) {
        if (name == "/f2" || name == "/f4") {
            acl_t acl = ::acl_from_text("u::rw-,u:4001:r--,g::r--,m::r--,o::---");
            ASSERT_EQ(::acl_set_file((tree + name).c_str(), ACL_TYPE_ACCESS, acl), 0);
            ::acl_free(acl);
        }
        struct stat st {};
        ::lstat((tree + name).c_str(), &st);
        byInode[st.st_ino] = tree + name;
    }
    const std::string out = dir.File("acls");
    std::string text;
    ASSERT_EQ(Kzvol("acl-dump " + tree + " --out " + out, &text), 0) << text;
    EXPECT_NE(text.find("files: 5\nacls dumped: 5\nacls written: 3\n"), npos) << text;
    const std::string bytes = ReadFile(out);
    std::ifstream list(out + ".idx");
    unsigned long long inode, offset, previous = 0;
    unsigned size;
    std::set<unsigned long long> offsets;
    size_t lines = 0;
    while (list >> inode >> offset >> size) {
        ++lines;
        EXPECT_LT(previous, inode);
        previous = inode;
        ASSERT_EQ(byInode.count(inode), 1u) << inode;
        ASSERT_LE(offset + size, bytes.size());
        const std::string stored = bytes.substr(offset, size);
        EXPECT_EQ(AclTextOf("", &stored), AclTextOf(byInode[inode])) << byInode[inode];
        offsets.insert(offset);
    }
    EXPECT_EQ(lines, byInode.size());
    EXPECT_EQ(offsets.size(), 3u);
}

TEST(CliAclDump, RefusalsLeaveNothingAndNeverWriteThroughAnotherUsersLink) {
    TempDir dir;
    std::string text;
    EXPECT_EQ(Kzvol("acl-dump " + dir.File("absent") + " --out " + dir.File("acls"), &text), 1);
    EXPECT_EQ(Kzvol("acl-dump " + dir.path(), &text), 2);
    EXPECT_EQ(Kzvol("acl-dump " + dir.path() + " --out " + dir.File("no/such/dir/acls"), &text), 1);
    EXPECT_NE(text.find("cannot write " + dir.File("no/such/dir/acls")), npos);
    EXPECT_EQ(Listing(dir.path()), "");
    if (::geteuid() != 0)
        return;  // a link owned by another user needs root
    const std::string shared = dir.File("shared"), link = shared + "/acls";
    ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string target = dir.Write("target", "keep");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Kzvol("acl-dump " + dir.File("shared") + " --out " + link, &text), 1);
    EXPECT_NE(text.find("cannot write " + link + ": Operation not permitted"), npos) << text;
    EXPECT_EQ(ReadFile(target), "keep");
}

TEST(CliMetadata, RefusesWhatItCannotReplaceSafely) {
    TempDir dir;
    std::string text;
    EXPECT_EQ(Kzvol("metadata /mnt --table " + dir.File("t") + " --volinfo /dev/null", &text), 2);
    EXPECT_EQ(Kzvol("metadata /mnt --table " + dir.File("t"), &text), 2);
    // Nothing mounted there: refused, and nothing is left beside the targets.
    EXPECT_EQ(Kzvol("metadata " + dir.path() + " --table " + dir.File("t") + " --volinfo " +
                        dir.File("vi") + " --skip-snap-mount",
                    &text),
              1);
    EXPECT_EQ(Listing(dir.path()), "");
}

TEST(CliVolinfoFile, PrintsByFieldAndRefusesMalformedFiles) {
    TempDir dir;
    const std::string good = dir.Write(
        "vi",
        "extentsize=1024 \ngdc=2 \nitableblock=5 \nitableblock=8197 \nextentsize=1024 \n"
        "blocksize=1024 \nfragsize=0 \nblockcount=16384 \nfirstdatablock=1 \nbpg=8192 \n"
        "ipg=2048 \nisize=128 \nipb=8 \ndpb=32 \ndescblock=1 \nfirstinode=11 \nicount=4096 \n"
        "aclenabled=1 \nselinuxlabels=0 \nfstype=ext3\n");
    std::string text;
    ASSERT_EQ(Kzvol("volinfo-file " + good, &text), 0) << text;
    EXPECT_EQ(text.rfind("extentsize      1024\ngdc             2\nitableblock     5 8197\n", 0),
              0u)
        << text;
    EXPECT_NE(text.find("\nselinuxlabels   0\nfstype          ext3\n"), npos);
    for (const char* bad :
         {"extentsize=1 \ngdc=2 \nitableblock=5 \nextentsize=1 \n",
          "extentsize=1 \ngdc=1 \nitableblock=5 \nextentsize=2 \n", "extentsize=1 \ngarbage\n",
          "extentsize=1 \ngdc=1 \nitableblock=5 \nextentsize=1 \nextentsize=1 \n"}) {
        EXPECT_EQ(Kzvol("volinfo-file " + dir.Write("bad", bad), &text), 1) << bad;
        EXPECT_EQ(Split(text).size(), 1u) << text;
    }
    EXPECT_EQ(Kzvol("volinfo-file", &text), 2);
}

// (Snapshots taken and released through the tool: ContentSnapSystemTest.)
TEST(CliContentSnap, TheListIsSavedNeverOverwrittenAndCheckedBeforeAnyRelease) {
    TempDir dir;
    const std::string list = dir.File("list");
    std::string out;
    for (const char* args :
         {"", "/home", "--list", "/home --list a --release b", "/home --release x", "--bogus x"})
        EXPECT_EQ(Kzvol(std::string("content-snap ") + args, &out), 2) << args << ": " << out;
    // A content path without a snapshot still gets its item in the list.
    EXPECT_EQ(Kzvol("content-snap / --list " + list, &out), 1);
    EXPECT_NE(out.find("critical event 0x7000068"), npos) << out;
    EXPECT_EQ(ReadFile(list), "kzvol-content-list 1\nitem\t/\n");
    EXPECT_EQ(Kzvol("content-snap / --list " + list, &out), 1);
    EXPECT_EQ(ReadFile(list), "kzvol-content-list 1\nitem\t/\n");
    EXPECT_EQ(Kzvol("content-snap --release " + list, &out), 0) << out;
    EXPECT_EQ(out, "");

    const std::string head = "kzvol-content-list 1\n", item = head + "item\t/a\n",
                      notSnap = "line 3: not a snapshot under /snapmnt of a filter node";
    const std::pair<std::string, std::string> bad[] = {
        {"something else\n", "line 1: not a kzvol content list"},
        {head + "snap\t/a\t/dev/qnbf/qnbf0\t/snapmnt/a\t0\n", "line 2: a snap line before any"},
        {item + "snap\t/a\t/dev/qnbf/qnbf0\t/snapmnt/a\t7\n", "line 3: bad status"},
        {head + "item\t/a\\q\n", "line 2: bad escape"},
        {item + "snap\t/a\t/dev/qnbf/qnbf0\n", "line 3: neither an item nor a snap line"},
        // Only snapshot paths under /snapmnt of filter nodes are ever unmounted.
        {item + "snap\t/a\t/dev/qnbf/qnbf0\t-a\t0\n", notSnap},
        {head + "item\t/\nsnap\t/../etc\t/dev/qnbf/qnbf0\t/snapmnt/../etc\t0\n", notSnap},
        {item + "snap\t/a\t--all\t/snapmnt/a\t0\n", notSnap},
        {"", "cannot read"},
    };
    for (const auto& [text, error] : bad) {
        const std::string file = text.empty() ? dir.File("absent") : dir.Write("bad", text);
        EXPECT_EQ(Kzvol("content-snap --release " + file, &out), 1) << text;
        EXPECT_NE(out.find(error), npos) << out;
    }
}

}  // namespace
}  // namespace kzvol::testing
