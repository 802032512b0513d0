// kzvol acl-dump, metadata, volinfo-file and content-snap where no driver is
// needed: outputs read back, refusals that leave nothing, the content list checked.
#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>

#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

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

// (The deduplication itself: AclDumpTest.)
TEST(CliAclDump, EachDistinctAclOnceAndTheListInInodeOrder) {
    TempDir dir;
    const std::string tree = dir.File("tree"), out = dir.File("acls");
    std::istringstream stats(Sh(
        0, "mkdir " + tree + " && cd " + tree + " && touch f1 f2 f3 f4 && stat -c '%i %n' . f*"));
    std::map<unsigned long long, std::string> byInode;
    for (std::string inode, name; stats >> inode >> name;)
        byInode[std::stoull(inode)] = tree + "/" + name;
    acl_t acl = ::acl_from_text("u::rw-,u:4001:r--,g::r--,m::r--,o::---");
    for (const char* name : {"/f2", "/f4"})
        ASSERT_EQ(::acl_set_file((tree + name).c_str(), ACL_TYPE_ACCESS, acl), 0);
    ::acl_free(acl);
    EXPECT_THAT(Kz(0, "acl-dump " + tree + " --out " + out),
                HasSubstr("files: 5\nacls dumped: 5\nacls written: 3\n"));
    const std::string bytes = ReadFile(out);
    std::ifstream list(out + ".idx");
    std::set<unsigned long long> offsets;
    unsigned long long previous = 0, inode, offset, size;
    size_t lines = 0;
    for (; list >> inode >> offset >> size; ++lines, previous = inode) {
        ASSERT_TRUE(previous < inode && byInode.count(inode) && offset + size <= bytes.size())
            << inode;
        const std::string stored = bytes.substr(offset, size);
        EXPECT_EQ(AclTextOf("", &stored), AclTextOf(byInode[inode])) << byInode[inode];
        offsets.insert(offset);
    }
    EXPECT_TRUE(lines == byInode.size() && offsets.size() == 3u) << lines;
}

TEST(CliAclDumpAndMetadata, RefusalsLeaveNothingAndNeverWriteThroughAnotherUsersLink) {
    TempDir dir;
    const std::string metadata = "metadata /mnt --table " + dir.File("t");
    Kz(2, metadata + " --volinfo /dev/null");
    Kz(2, metadata);
    Kz(1, "metadata " + dir.path() + " --table " + dir.File("t") + " --volinfo " + dir.File("vi") +
              " --skip-snap-mount");
    Kz(1, "acl-dump " + dir.File("absent") + " --out " + dir.File("acls"));
    Kz(2, "acl-dump " + dir.path());
    EXPECT_THAT(Kz(1, "acl-dump " + dir.path() + " --out " + dir.File("no/such/dir/acls")),
                HasSubstr("cannot write " + dir.File("no/such/dir/acls")));
    EXPECT_EQ(Sh(0, "ls -A " + dir.path()), "");
    if (::geteuid() != 0)
        return;  // a link owned by another user needs root
    const std::string shared = dir.File("shared"), link = shared + "/acls",
                      target = dir.Write("target", "keep");
    ASSERT_TRUE(::mkdir(shared.c_str(), 01777) == 0 && ::chmod(shared.c_str(), 01777) == 0);
    ASSERT_TRUE(::symlink(target.c_str(), link.c_str()) == 0 &&
                ::lchown(link.c_str(), 65534, 65534) == 0);
    EXPECT_THAT(Kz(1, "acl-dump " + shared + " --out " + link),
                HasSubstr("cannot write " + link + ": Operation not permitted"));
    EXPECT_EQ(ReadFile(target), "keep");
}

TEST(CliVolinfoFileAndContentSnap, PrintedFieldsAndListsRefusedWhenMalformed) {
    TempDir dir;
    const std::string good = dir.Write(
        "vi",
        "extentsize=1024 \ngdc=2 \nitableblock=5 \nitableblock=8197 \nextentsize=1024 \n"
        "blocksize=1024 \nfragsize=0 \nblockcount=16384 \nfirstdatablock=1 \nbpg=8192 \n"
        "ipg=2048 \nisize=128 \nipb=8 \ndpb=32 \ndescblock=1 \nfirstinode=11 \nicount=4096 \n"
        "aclenabled=1 \nselinuxlabels=0 \nfstype=ext3\n");
    EXPECT_THAT(
        Kz(0, "volinfo-file " + good),
        AllOf(StartsWith("extentsize      1024\ngdc             2\nitableblock     5 8197\n"),
              HasSubstr("\nselinuxlabels   0\nfstype          ext3\n")));
    for (const char* bad :
         {"extentsize=1 \ngdc=2 \nitableblock=5 \nextentsize=1 \n",
          "extentsize=1 \ngdc=1 \nitableblock=5 \nextentsize=2 \n", "extentsize=1 \ngarbage\n",
          "extentsize=1 \ngdc=1 \nitableblock=5 \nextentsize=1 \nextentsize=1 \n"})
        EXPECT_EQ(Split(Kz(1, "volinfo-file " + dir.Write("bad", bad))).size(), 1u) << bad;
    Kz(2, "volinfo-file");

    // The list is saved, never overwritten, checked before release. (Snaps: ContentSnapSystem.)
    const std::string list = dir.File("list");
    for (const std::string args :
         {"", "/home", "--list", "/home --list a --release b", "/home --release x", "--bogus x"})
        Kz(2, "content-snap " + args);
    // A content path without a snapshot still gets its item.
    EXPECT_THAT(Kz(1, "content-snap / --list " + list), HasSubstr("critical event 0x7000068"));
    EXPECT_EQ(ReadFile(list), "kzvol-content-list 1\nitem\t/\n");
    Kz(1, "content-snap / --list " + list);
    EXPECT_EQ(ReadFile(list), "kzvol-content-list 1\nitem\t/\n");
    EXPECT_EQ(Kz(0, "content-snap --release " + list), "");

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
        EXPECT_THAT(Kz(1, "content-snap --release " + file), HasSubstr(error)) << text;
    }
}

}  // namespace
}  // namespace kzvol::testing
