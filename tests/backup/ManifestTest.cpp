// The manifest parser at the bounds of every field: each case edits one line of a
// valid manifest to the last value it must take, or to one past it.
#include <gtest/gtest.h>

#include <string>

#include "backup/Manifest.h"

namespace kzvol::testing {
namespace {

// 150528 bytes in extents of 4096: 37 extents, the last one 3072 bytes.
std::string Text(const std::string& from = "", const std::string& to = "") {
    const std::string digest(128, 'a');
    std::string text =
        "kzvol backup manifest 1\nid 000002\nkind incremental\nparent 000001\ntime 1796570762\n"
        "volume-bytes 150528\nextent-bytes 4096\nindex no\nextents 2\n"
        "extent 35 143360 4096 " +
        digest + " zstd:4095\nextent 36 147456 3072 " + digest + "\nend\n";
    if (!from.empty())
        text.replace(text.find(from), from.size(), to);
    return text;
}

// A manifest listing `n` other files, named f00, f01...
std::string WithFiles(int n) {
    std::string files = "files " + std::to_string(n) + "\n";
    for (int i = 0; i < n; ++i)
        files += "file f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + " 1 " +
                 std::string(128, 'b') + "\n";
    return Text("end\n", files + "end\n");
}

TEST(Manifest, EveryFieldIsTakenUpToItsBoundAndRefusedPastIt) {
    const std::string digest(128, 'a');
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {Text(), true},
        // Extent numbers below the volume's count, each once, ascending.
        {Text("extent 36 147456 3072", "extent 37 151552 0"), false},
        {Text("extent 35 143360", "extent 36 147456"), false},
        {Text("extent 36 147456", "extent 34 139264"), false},
        // Offsets and lengths as the volume gives them, the short last one included.
        {Text("147456 3072", "147456 3073"), false},
        {Text("147456 3072", "147456 3071"), false},
        {Text("143360 4096", "143360 4097"), false},
        {Text("143360 4096", "143361 4096"), false},
        // A stored length shorter than the extent, never zero.
        {Text("zstd:4095", "zstd:4096"), false},
        {Text("zstd:4095", "zstd:1"), true},
        {Text("zstd:4095", "zstd:0"), false},
        // More extents than the volume has; a full backup lacking some.
        {Text("extents 2", "extents 38"), false},
        {Text("kind incremental\nparent 000001", "kind full\nparent -"), false},
        {Text("parent 000001", "parent -"), false},
        {Text("parent 000001", "parent 00001"), false},
        {WithFiles(64), true},
        {WithFiles(65), false},
        {Text("time 1796570762", "time 9223372036854775807"), true},
        {Text("time 1796570762", "time 9223372036854775808"), false},
        {Text("end\n", "end\nextra\n"), false},
        // Each extent after the one before it, not merely after the first.
        {Text("extents 2\nextent 35 143360 4096 " + digest + " zstd:4095\nextent 36 147456 3072 " +
                  digest,
              "extents 3\nextent 33 135168 4096 " + digest + "\nextent 36 147456 3072 " + digest +
                  "\nextent 35 143360 4096 " + digest),
         false},
    };
    for (const auto& c : cases) {
        backup::Manifest m;
        std::string error;
        EXPECT_EQ(backup::ParseManifest(c.text, &m, &error), c.ok) << c.text << error;
    }
    // The volume's size, a positive multiple of 512 up to 2^56; extent sizes, powers
    // of two from 512 bytes to 256 MiB.
    const struct {
        std::string volume, extent;
        bool ok;
    } sizes[] = {
        {"512", "512", true},           {"72057594037927936", "268435456", true},
        {"0", "4096", false},           {"72057594037928448", "4096", false},
        {"1000", "4096", false},        {"150528", "256", false},
        {"150528", "536870912", false}, {"150528", "6144", false},
    };
    for (const auto& s : sizes) {
        const std::string text = Text("volume-bytes 150528\nextent-bytes 4096",
                                      "volume-bytes " + s.volume + "\nextent-bytes " + s.extent);
        const std::string head = text.substr(0, text.find("extents 2")) + "extents 0\nend\n";
        backup::Manifest m;
        std::string error;
        EXPECT_EQ(backup::ParseManifest(head, &m, &error), s.ok) << head << error;
    }
    // Backup ids of six digits; listed names of at most 64 characters.
    EXPECT_TRUE(backup::IsBackupId("000001"));
    EXPECT_FALSE(backup::IsBackupId("0000001"));
    EXPECT_TRUE(backup::IsListableFileName(std::string(64, 'a')));
    EXPECT_FALSE(backup::IsListableFileName(std::string(65, 'a')));
}

}  // namespace
}  // namespace kzvol::testing
