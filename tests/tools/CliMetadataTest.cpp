// kzvol acl-dump and kzvol volinfo-file as a user runs them: the ACL file and its
// index list read back against libacl's view of every file, and a volume-
// information file printed by field or refused when malformed.
#include <acl/libacl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "tests/support/Kzvol.h"

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

TEST(CliAclDump, EachDistinctAclOnceAndTheListInInodeOrder) {
    TempDir dir;
    const std::string tree = dir.File("tree");
    ASSERT_EQ(RunCommandLine("mkdir -p " + tree + "/sub && cd " + tree +
                             " && for i in $(seq 1 30); do echo $i >f$i; echo $i >sub/g$i; done"
                             " && ln -s f1 link"),
              0);
    std::map<unsigned long long, std::string> byInode;
    for (int i = 1; i <= 30; ++i) {
        for (const std::string& name : {"/f" + std::to_string(i), "/sub/g" + std::to_string(i)}) {
            const std::string path = tree + name;
            if (i % 2 == 0) {  // three extended ACLs on half of the files
                acl_t acl = ::acl_from_text(
                    ("u::rw-,u:" + std::to_string(4000 + i % 3) + ":r--,g::r--,m::r--,o::---")
                        .c_str());
                ASSERT_EQ(::acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl), 0);
                ::acl_free(acl);
            }
            struct stat st {};
            ::lstat(path.c_str(), &st);
            byInode[st.st_ino] = path;
        }
    }
    for (const std::string& d : {tree, tree + "/sub"}) {
        struct stat st {};
        ::lstat(d.c_str(), &st);
        byInode[st.st_ino] = d;
    }
    const std::string out = dir.File("acls");
    std::string text;
    ASSERT_EQ(Kzvol("acl-dump " + tree + " --out " + out, &text), 0) << text;
    // Three extended ACLs, the minimal one of the files and that of the directories.
    EXPECT_NE(text.find("files: 62\nacls dumped: 62\nacls written: 5\n"), std::string::npos)
        << text;
    const std::string bytes = ReadFile(out);
    std::ifstream list(out + ".idx");
    unsigned long long inode, offset, previous = 0;
    unsigned size;
    size_t lines = 0;
    std::map<std::string, unsigned long long> offsetOfAcl;
    while (list >> inode >> offset >> size) {
        ++lines;
        EXPECT_LT(previous, inode);
        previous = inode;
        ASSERT_EQ(byInode.count(inode), 1u) << inode;
        ASSERT_LE(offset + size, bytes.size());
        const std::string stored = bytes.substr(offset, size);
        const std::string expected = AclTextOf(byInode[inode]);
        EXPECT_EQ(AclTextOf("", &stored), expected) << byInode[inode];
        // One place in the file per distinct ACL.
        EXPECT_EQ(offsetOfAcl.emplace(expected, offset).first->second, offset);
    }
    EXPECT_EQ(lines, byInode.size());
    EXPECT_EQ(offsetOfAcl.size(), 5u);
}

TEST(CliAclDump, RefusalsLeaveNothing) {
    TempDir dir;
    std::string text;
    EXPECT_EQ(Kzvol("acl-dump " + dir.File("absent") + " --out " + dir.File("acls"), &text), 1);
    EXPECT_EQ(Kzvol("acl-dump " + dir.path(), &text), 2);
    EXPECT_EQ(Kzvol("acl-dump " + dir.path() + " --out " + dir.File("no/such/dir/acls"), &text), 1);
    EXPECT_NE(text.find("cannot write " + dir.File("no/such/dir/acls")), std::string::npos);
    std::string left;
    EXPECT_EQ(RunCommandLine("ls -A " + dir.path(), &left), 0);
    EXPECT_EQ(left, "");
}

TEST(CliAclDump, AnotherUsersLinkInASharedDirectoryIsNotWrittenThrough) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "making a link owned by another user needs root";
    TempDir dir;
    const std::string shared = dir.File("shared"), link = shared + "/acls";
    ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string target = dir.Write("target", "keep");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    std::string text;
    EXPECT_EQ(Kzvol("acl-dump " + dir.path() + " --out " + link, &text), 1);
    EXPECT_NE(text.find("cannot write " + link + ": Operation not permitted"), std::string::npos)
        << text;
    EXPECT_EQ(ReadFile(target), "keep");
}

TEST(CliMetadata, RefusesWhatItCannotReplaceSafely) {
    TempDir dir;
    std::string text;
    EXPECT_EQ(Kzvol("metadata /mnt --table " + dir.File("t") + " --volinfo /dev/null", &text), 2);
    EXPECT_NE(text.find("--volinfo must name a regular file"), std::string::npos);
    EXPECT_EQ(Kzvol("metadata /mnt --table " + dir.File("t"), &text), 2);
    // Nothing mounted there: refused, and nothing is left beside the targets.
    EXPECT_EQ(Kzvol("metadata " + dir.path() + " --table " + dir.File("t") + " --volinfo " +
                        dir.File("vi") + " --skip-snap-mount",
                    &text),
              1);
    EXPECT_NE(text.find("supported only for ext2/ext3 . FS:UnKnown"), std::string::npos) << text;
    std::string left;
    EXPECT_EQ(RunCommandLine("ls -A " + dir.path(), &left), 0);
    EXPECT_EQ(left, "");
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
    EXPECT_NE(text.find("\nselinuxlabels   0\nfstype          ext3\n"), std::string::npos);
    const std::string bad[] = {"extentsize=1 \ngdc=2 \nitableblock=5 \nextentsize=1 \n",
                               "extentsize=1 \ngdc=1 \nitableblock=5 \nextentsize=2 \n",
                               "extentsize=1 \ngarbage\n"};
    for (const std::string& contents : bad) {
        EXPECT_EQ(Kzvol("volinfo-file " + dir.Write("bad", contents), &text), 1) << contents;
        EXPECT_EQ(Split(text).size(), 1u) << text;
    }
    EXPECT_EQ(Kzvol("volinfo-file", &text), 2);
}

}  // namespace
}  // namespace kzvol::testing
