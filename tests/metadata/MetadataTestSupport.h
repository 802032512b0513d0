// Shared by the metadata tests: index rows, collection, content lists and events.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fstree/UnixFsTreeReader.h"
#include "metadata/ContentSnap.h"
#include "tests/support/ReaderTestSupport.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::fstree {
inline void PrintTo(const Row& r, std::ostream* out) {
    *out << "{" << r.parent << " " << r.inode << " " << r.size << " " << r.mtime << " "
         << int{r.type} << " '" << r.name << "'}";
}
}  // namespace kzvol::fstree

namespace kzvol::testing {

inline std::vector<FsTreeRow> TableRows(const std::string& table) {
    UnixFsTreeReader reader;
    std::string error;
    std::vector<FsTreeRow> rows;
    EXPECT_TRUE(reader.Open(table, &error) &&
                reader.ForEachRow([&](auto& r) { return rows.push_back(r), true; }, &error))
        << error;
    return rows;
}

inline std::vector<FsTreeRow> SortedRows(std::vector<FsTreeRow> rows) {
    std::sort(rows.begin(), rows.end(), [](const FsTreeRow& a, const FsTreeRow& b) {
        return std::tie(a.parent, a.name, a.inode) < std::tie(b.parent, b.name, b.inode);
    });
    return rows;
}

// A walk's rows of `dir` as lstat sees them, sorted: directories and singly linked entries.
inline std::vector<FsTreeRow> ExpectedTreeRows(const std::string& dir,
                                               const std::string& rootName) {
    struct stat st = {}, parent = {};
    auto row = [&](uint64_t parentInode, const std::string& name) {
        return FsTreeRow{parentInode,           st.st_ino,           uint64_t(st.st_size),
                         uint32_t(st.st_mtime), S_ISDIR(st.st_mode), name};
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

inline std::vector<FsTreeRow> DebugfsTableRows(const std::string& image,
                                               const std::string& rootName) {
    std::vector<FsTreeRow> out;
    for (const Row& r : DebugfsRows(image, rootName))
        out.push_back(FsTreeRow{r.parent, r.inode, r.size, r.mtime, r.isDir, r.name});
    return out;
}

// Collects the volume mounted on `mnt` into `table` and `info` (root "ROOT", 1 MiB extents).
inline bool Collect(KZVolumeUnix& volume, const std::string& mnt, const std::string& info,
                    const std::string& table) {
    std::string root = "ROOT", m = mnt, i = info, t = table, aux = "aux";
    return volume.DumpMetadataInformation(root.data(), m.data(), i.data(), aux.data(), aux.data(),
                                          t.data(), 1048576);
}

// Expects `rows` in an order where every row's parent comes first, and, sorted, `expected`.
inline void ExpectWalked(const std::vector<FsTreeRow>& rows,
                         const std::vector<FsTreeRow>& expected) {
    std::set<uint64_t> seen{0};
    for (const auto& r : rows)
        EXPECT_TRUE(seen.count(r.parent) && (seen.insert(r.inode), true)) << r.name;
    EXPECT_EQ(SortedRows(rows), expected);
}

using Lines = std::vector<std::string>;

inline MountTableEntry Entry(const std::string& device, const std::string& dir) {
    return {{device, dir, "ext3", "rw", "0", "0"}};
}

inline kz_subclient_contentlist ListOf(const Lines& paths) {
    kz_subclient_contentlist list;
    for (const auto& p : paths)
        list.contents.push_back({0, {}, p});
    list.count = static_cast<int>(paths.size());
    return list;
}

// "code:arg,arg" per event, in the order raised.
inline Lines EventText(const TestEnv& env) {
    Lines out;
    for (const Event& e : env.Events()) {
        std::ostringstream line;
        line << std::hex << std::showbase << e.code << ":";
        for (size_t i = 0; i < e.args.size(); ++i)
            line << (i ? "," : "") << e.args[i];
        out.push_back(line.str());
    }
    return out;
}

struct QuitAt : KZJobCtrlClient {
    explicit QuitAt(int quitAt) : quitAt(quitAt) {}
    bool checkQuitFlag() override { return ++polls >= quitAt; }
    int quitAt, polls = 0;
};

// Points KZVOL_CONFIG at a file holding `text` until the end of the scope.
struct ScopedRegistry {
    ScopedRegistry(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
        ::setenv("KZVOL_CONFIG", path.c_str(), 1);
    }
    ~ScopedRegistry() { ::unsetenv("KZVOL_CONFIG"); }
};

}  // namespace kzvol::testing
