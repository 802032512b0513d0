// The ACL dump's cache and failures, read back from the offsets the list records.
#include <acl/libacl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/resource.h>

#include <csignal>

#include "host/Handles.h"
#include "metadata/AclDump.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

class AclDumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetAclDumpState();
        ASSERT_TRUE(aclFile_);
    }
    void TearDown() override { ResetAclDumpState(); }

    std::string MakeFile(const std::string& name, int uid) {
        const std::string path = tmp_.Write(name, name), uidText = std::to_string(uid);
        acl_t acl = ::acl_from_text(("u::rw-,u:" + uidText + ":r--,g::r--,m::r--,o::---").c_str());
        EXPECT_EQ(::acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl), 0) << path;
        ::acl_free(acl);
        return path;
    }
    bool Dump(const std::string& path, unsigned long long inode) {
        int fd = aclFile_.get();
        return volume_.DumpACLInfo(const_cast<char*>(path.c_str()), inode, ACL_TYPE_ACCESS, &fd,
                                   &count_);
    }
    static std::vector<acl_info> Records() {
        std::vector<acl_info> records;
        for (const acl_node* n = first; n; n = n->next)
            records.push_back(*n->info);
        return records;
    }
    std::string StoredAcl(const acl_info& r) {
        const std::string bytes = ReadFile(tmp_.File("acls")).substr(r.offset, r.size);
        acl_t acl = ::acl_copy_int(bytes.data());
        char* text = acl ? ::acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS) : nullptr;
        const std::string result = text ? text : "(unreadable)";
        ::acl_free(text);
        ::acl_free(acl);
        return result;
    }
    size_t FileSize() const { return ReadFile(tmp_.File("acls")).size(); }

    TestEnv env_;
    TempDir tmp_;
    UniqueFd aclFile_{::open(tmp_.File("acls").c_str(), O_RDWR | O_CREAT, 0600)};
    KZVolumeUnix volume_{-1};
    unsigned int count_ = 0;
};

TEST_F(AclDumpTest, TheDistinctAclAfterAFullCacheFlushesIt) {
    std::vector<std::string> paths;
    for (int i = 0; i <= KZ_ACL_CACHE_ENTRIES; ++i)
        paths.push_back(MakeFile("g" + std::to_string(i), 2000 + i));
    for (int i = 0; i < KZ_ACL_CACHE_ENTRIES; ++i)
        ASSERT_TRUE(Dump(paths[i], i + 1));
    EXPECT_EQ(acl_in_memory, KZ_ACL_CACHE_ENTRIES);
    const unsigned long long beforeFlush = fileoffset;
    ASSERT_TRUE(Dump(paths[KZ_ACL_CACHE_ENTRIES], 5000));
    EXPECT_EQ(std::make_tuple(acl_in_memory, acllist[0].offset), std::make_tuple(1, beforeFlush));
    // Cached after the flush: found. Cached only before it: written again.
    const unsigned long long afterFlush = fileoffset;
    ASSERT_TRUE(Dump(paths[KZ_ACL_CACHE_ENTRIES], 5001));
    EXPECT_EQ(fileoffset, afterFlush);
    ASSERT_TRUE(Dump(paths[0], 1));  // inode 1 again: listed after its first record
    EXPECT_GT(fileoffset, afterFlush);
    EXPECT_EQ(std::make_tuple(acl_in_memory, count_),
              std::make_tuple(2, KZ_ACL_CACHE_ENTRIES + 3u));
    const std::vector<acl_info> records = Records();
    EXPECT_EQ(std::make_tuple(records.at(1).inode, records[1].offset),
              std::make_tuple(1u, afterFlush));
    EXPECT_EQ(StoredAcl(records[1]), StoredAcl(records[0]));
    EXPECT_EQ(FileSize(), fileoffset);
}

TEST_F(AclDumpTest, FailuresLeaveStateAndFileAsTheyWere) {
    const std::string a = MakeFile("a", 3000), b = MakeFile("b", 3001), c = MakeFile("c", 3002);
    ASSERT_TRUE(Dump(a, 1));
    EXPECT_FALSE(Dump(tmp_.File("missing"), 2));

    // A short write: the file may grow by only a few bytes more.
    const unsigned long long offset = fileoffset;
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit tight = {offset + 5, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool written = Dump(b, 3);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(std::make_tuple(written, count_, acl_in_memory, fileoffset, FileSize()),
              std::make_tuple(false, 1u, 1, offset, size_t{offset}));

    ASSERT_TRUE(Dump(c, 4));
    EXPECT_EQ(Records().back().offset, offset);
    EXPECT_NE(StoredAcl(Records().back()).find("user:3002:r--"), std::string::npos);
    EXPECT_EQ(FileSize(), fileoffset);
}

}  // namespace
}  // namespace kzvol::testing
