// The manifest parser at the bounds of every field: each case edits one line of a
// valid manifest to the last value it must take, or to one past it.
#include <gtest/gtest.h>

#include "tests/backup/BackupTestSupport.h"

namespace kzvol::testing {
namespace {

// Extent `n` of 150528 bytes in extents of 4096 (37 extents, the last one 3072 bytes).
std::string Extent(int n, int length = 4096) {
    return "extent " + std::to_string(n) + " " + std::to_string(4096 * n) + " " +
           std::to_string(length) + " " + std::string(128, 'a');
}
std::string Text(const std::string& from = "", const std::string& to = "") {
    return Replaced(
        "kzvol backup manifest 1\nid 000002\nkind incremental\nparent 000001\n"
        "time 1796570762\nvolume-bytes 150528\nextent-bytes 4096\nindex no\n"
        "extents 2\n" +
            Extent(35) + " zstd:4095\n" + Extent(36, 3072) + "\nend\n",
        from, to);
}
// A manifest listing `n` other files, named f00, f01...
std::string WithFiles(int n) {
    std::string files = "files " + std::to_string(n) + "\n";
    for (int i = 100; i < 100 + n; ++i)
        files += "file f" + std::to_string(i).substr(1) + " 1 " + std::string(128, 'b') + "\n";
    return Text("end\n", files + "end\n");
}
bool Parses(const std::string& text) {
    backup::Manifest m;
    std::string error;
    return backup::ParseManifest(text, &m, &error);
}

TEST(Manifest, EveryFieldIsTakenUpToItsBoundAndRefusedPastIt) {
    EXPECT_TRUE(Parses(Text()));
    const char* refused[][2] = {{"extent 36 147456 3072", "extent 37 151552 0"},
                                {"extent 35 143360", "extent 36 147456"},
                                {"extent 36 147456", "extent 34 139264"},
                                {"147456 3072", "147456 3073"},
                                {"147456 3072", "147456 3071"},
                                {"143360 4096", "143360 4097"},
                                {"143360 4096", "143361 4096"},
                                {"zstd:4095", "zstd:4096"},
                                {"zstd:4095", "zstd:0"},
                                {"extents 2", "extents 38"},
                                {"kind incremental\nparent 000001", "kind full\nparent -"},
                                {"parent 000001", "parent -"},
                                {"parent 000001", "parent 00001"},
                                {"time 1796570762", "time 9223372036854775808"},
                                {"end\n", "end\nextra\n"}};
    for (const auto& c : refused)
        EXPECT_FALSE(Parses(Text(c[0], c[1]))) << c[1];
    EXPECT_FALSE(
        Parses(Text("extents 2\n" + Extent(35) + " zstd:4095\n" + Extent(36, 3072),
                    "extents 3\n" + Extent(33) + "\n" + Extent(36, 3072) + "\n" + Extent(35))));
    EXPECT_TRUE(Parses(Text("zstd:4095", "zstd:1")));
    EXPECT_TRUE(Parses(Text("time 1796570762", "time 9223372036854775807")));
    EXPECT_TRUE(Parses(WithFiles(64)) && !Parses(WithFiles(65)));

    // Volume sizes: multiples of 512 up to 2^56; extent sizes: powers of two, 512 to 256 MiB.
    const auto sizes = [](const std::string& volume, const std::string& extent) {
        return Parses(Text().substr(0, Text().find("volume-bytes")) + "volume-bytes " + volume +
                      "\nextent-bytes " + extent + "\nindex no\nextents 0\nend\n");
    };
    EXPECT_TRUE(sizes("512", "512"));
    EXPECT_TRUE(sizes("72057594037927936", "268435456"));
    const char* badSizes[][2] = {{"0", "4096"},           {"72057594037928448", "4096"},
                                 {"1000", "4096"},        {"150528", "256"},
                                 {"150528", "536870912"}, {"150528", "6144"}};
    for (const auto& c : badSizes)
        EXPECT_FALSE(sizes(c[0], c[1])) << c[0] << " " << c[1];
    // Backup ids of six digits; listed names of at most 64 characters.
    EXPECT_TRUE(backup::IsBackupId("000001") && !backup::IsBackupId("0000001"));
    EXPECT_TRUE(backup::IsListableFileName(std::string(64, 'a')) &&
                !backup::IsListableFileName(std::string(65, 'a')));
}

}  // namespace
}  // namespace kzvol::testing
