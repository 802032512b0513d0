// The directory reader's two callbacks of metadata collection: raw reads from a
// descriptor, and rows into the file-index table.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "host/CCreateUNIXFSTree.h"
#include "host/Handles.h"
#include "metadata/ReaderCallBacks.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

TEST(RDFDReadCallBack, ReadsAtOffsetsShortAtTheEndAndZeroOnFailure) {
    TestEnv env;
    TempDir dir;
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data += static_cast<char>(i % 251);
    UniqueFd fd(::open(dir.Write("dev", data).c_str(), O_RDONLY));
    int raw = fd.get();
    char buf[4096];
    EXPECT_EQ(RDFDReadCallBack(&raw, buf, 1024, 1024), 1024u);
    EXPECT_EQ(std::string(buf, 1024), data.substr(1024, 1024));
    // Reads are positioned, not sequential: going backwards works.
    EXPECT_EQ(RDFDReadCallBack(&raw, buf, 10, 5), 10u);
    EXPECT_EQ(std::string(buf, 10), data.substr(5, 10));
    EXPECT_EQ(RDFDReadCallBack(&raw, buf, 4096, 2500), 500u);
    EXPECT_EQ(RDFDReadCallBack(&raw, buf, 4096, 3000), 0u);
    EXPECT_EQ(RDFDReadCallBack(&raw, buf, 4096, 1ull << 40), 0u);

    int closed = 1000;
    EXPECT_EQ(RDFDReadCallBack(&closed, buf, 16, 0), 0u);
    UniqueFd dirFd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    int isDir = dirFd.get();
    EXPECT_EQ(RDFDReadCallBack(&isDir, buf, 16, 0), 0u);
    EXPECT_EQ(RDFDReadCallBack(nullptr, buf, 16, 0), 0u);
    // Hints are advice: a bad descriptor or none at all is no failure.
    RDFDReadAheadCallBack(&closed, 0, 4096);
    RDFDReadAheadCallBack(nullptr, 0, 4096);
    RDFDReadAheadCallBack(&raw, 0, 1ull << 63);
}

TEST(RDFDGetInodeNameCallBack, AddsRowsAndReportsRefusals) {
    TestEnv env;
    TempDir dir;
    long long handle = 0;
    CCreateUNIXFSTree table;
    ASSERT_EQ(table.Init(&handle), 0);
    char root[] = "/", file[] = "file";
    // No table open yet: refused, logged with the writer's code.
    EXPECT_FALSE(RDFDGetInodeNameCallBack(&table, 0, 2, 4096, 7, true, root));
    ASSERT_EQ(table.Open(dir.File("t").c_str()), 0);
    EXPECT_TRUE(RDFDGetInodeNameCallBack(&table, 0, 2, 4096, 7, true, root));
    EXPECT_TRUE(RDFDGetInodeNameCallBack(&table, 2, 12, 5ull << 32, 4294967295u, false, file));
    EXPECT_FALSE(RDFDGetInodeNameCallBack(nullptr, 2, 13, 0, 0, false, file));
    EXPECT_FALSE(RDFDGetInodeNameCallBack(&table, 2, 13, 0, 0, false, nullptr));
    ASSERT_EQ(table.Close(), 0);

    EXPECT_EQ(TableRows(dir.File("t")),
              (std::vector<FsTreeRow>{{0, 2, 4096, 7, 1, "/"},
                                      {2, 12, 5ull << 32, 4294967295u, 0, "file"}}));
}

}  // namespace
}  // namespace kzvol::testing
