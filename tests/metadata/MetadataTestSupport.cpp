// Table rows, expected tree rows, the collection call and the scoped registry of
// the metadata tests.
#include "tests/metadata/MetadataTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

namespace kzvol::testing {

std::vector<FsTreeRow> TableRows(const std::string& table) {
    UnixFsTreeReader reader;
    std::string error;
    std::vector<FsTreeRow> rows;
    EXPECT_TRUE(reader.Open(table, &error)) << error;
    EXPECT_TRUE(
        reader.ForEachRow([&](const FsTreeRow& r) { return rows.push_back(r), true; }, &error))
        << error;
    return rows;
}

std::vector<FsTreeRow> ExpectedTreeRows(const std::string& dir, const std::string& rootName) {
    struct stat st {
    }, parent{};
    auto row = [&](uint64_t parentInode, const std::string& name) {
        const uint8_t type = S_ISDIR(st.st_mode) ? 1 : 0;
        const auto size = static_cast<uint64_t>(st.st_size);
        const auto mtime = static_cast<uint32_t>(st.st_mtime);
        return FsTreeRow{parentInode, st.st_ino, size, mtime, type, name};
    };
    EXPECT_EQ(::stat(dir.c_str(), &st), 0);
    std::vector<FsTreeRow> rows{row(0, rootName)};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(::lstat(entry.path().parent_path().c_str(), &parent), 0);
        if (S_ISDIR(st.st_mode) || st.st_nlink == 1)
            rows.push_back(row(parent.st_ino, entry.path().filename().string()));
    }
    return SortedRows(rows);
}

std::vector<FsTreeRow> DebugfsTableRows(const std::string& image, const std::string& rootName) {
    std::vector<FsTreeRow> out;
    for (const Row& r : DebugfsRows(image, rootName))
        out.push_back(FsTreeRow{r.parent, r.inode, r.size, r.mtime,
                                static_cast<uint8_t>(r.isDir ? 1 : 0), r.name});
    return out;
}

bool Collect(KZVolumeUnix& volume, const std::string& mnt, const std::string& info,
             const std::string& table) {
    std::string root = "ROOT", m = mnt, i = info, t = table, aux = "aux";
    return volume.DumpMetadataInformation(root.data(), m.data(), i.data(), aux.data(), aux.data(),
                                          t.data(), 1048576);
}

std::vector<FsTreeRow> SortedRows(std::vector<FsTreeRow> rows) {
    std::sort(rows.begin(), rows.end(), [](const FsTreeRow& a, const FsTreeRow& b) {
        return std::tie(a.parent, a.name, a.inode) < std::tie(b.parent, b.name, b.inode);
    });
    return rows;
}

void ExpectWalked(const std::vector<FsTreeRow>& rows, const std::vector<FsTreeRow>& expected) {
    std::set<uint64_t> seen{0};
    for (const auto& r : rows)
        EXPECT_TRUE(seen.count(r.parent) && (seen.insert(r.inode), true)) << r.name;
    EXPECT_EQ(SortedRows(rows), expected);
}

ScopedRegistry::ScopedRegistry(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
    ::setenv("KZVOL_CONFIG", path.c_str(), 1);
}

ScopedRegistry::~ScopedRegistry() {
    ::unsetenv("KZVOL_CONFIG");
}

}  // namespace kzvol::testing
