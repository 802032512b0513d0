// In-memory device, row collector, image builder and debugfs oracle for the reader's
// tests.
#include "tests/rdfd/ReaderTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "host/ShellQuote.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

unsigned int MemoryDevice::Read(void* context, char* buffer, unsigned int size,
                                unsigned long long offset) {
    auto* device = static_cast<MemoryDevice*>(context);
    ++device->reads;
    if (device->keepLog)
        device->log.emplace_back(offset, size);
    if (device->failRead != 0 && device->reads == device->failRead)
        return 0;
    if (offset >= device->bytes.size())
        return 0;
    const size_t n = std::min<size_t>(size, device->bytes.size() - offset);
    std::memcpy(buffer, device->bytes.data() + offset, n);
    device->bytesRead += n;
    return static_cast<unsigned int>(n);
}

void MemoryDevice::Put32(size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>(value >> (8 * i));
}
void MemoryDevice::Put16(size_t offset, uint16_t value) {
    for (int i = 0; i < 2; ++i)
        bytes[offset + i] = static_cast<char>(value >> (8 * i));
}
uint32_t MemoryDevice::Get32(size_t offset) const {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

bool Row::operator<(const Row& o) const {
    return std::tie(parent, inode, name, size, mtime, isDir) <
           std::tie(o.parent, o.inode, o.name, o.size, o.mtime, o.isDir);
}

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << "{" << row.parent << " " << row.inode << " " << row.size << " " << row.mtime
               << " " << (row.isDir ? "dir" : "file") << " '" << row.name << "'}";
}

bool RowCollector::Add(void* context, unsigned long long parent, unsigned long long inode,
                       unsigned long long size, unsigned int mtime, bool isDir, char* name) {
    auto* collector = static_cast<RowCollector*>(context);
    collector->rows.push_back(Row{parent, inode, size, mtime, isDir, name});
    return collector->refuseAt == 0 || collector->rows.size() < collector->refuseAt;
}

int QuitProbe::Check(int, void* context, void* flag) {
    auto* probe = static_cast<QuitProbe*>(context);
    ++probe->polls;
    *static_cast<bool*>(flag) = probe->quitAt != 0 && probe->polls >= probe->quitAt;
    return 0;
}

void MakeImage(const std::string& dir, const std::string& image, const std::string& fsType,
               unsigned blockSize, unsigned sizeKiB, const std::string& extra) {
    std::string output;
    // Sized first: mke2fs leaves a new file shorter than the file system.
    const std::string command = "truncate -s " + std::to_string(sizeKiB) + "k " +
                                ShellQuote(image) + " && mke2fs -q -F -t " + fsType + " -b " +
                                std::to_string(blockSize) + " " + extra + " -d " + ShellQuote(dir) +
                                " " + ShellQuote(image) + " " + std::to_string(sizeKiB) + "k 2>&1";
    ASSERT_EQ(RunCommandLine(command, &output), 0) << command << "\n" << output;
}

std::string LoadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

namespace {

// Runs debugfs on `image` with one command per line of `commands`; returns the
// output split per command (the text after each "debugfs: <command>" echo).
std::vector<std::string> RunDebugfs(const std::string& image,
                                    const std::vector<std::string>& commands) {
    TempDir tmp;
    std::string script;
    for (const auto& c : commands)
        script += c + "\n";
    const std::string file = tmp.Write("cmds", script);
    std::string output;
    RunCommandLine("debugfs -f " + ShellQuote(file) + " " + ShellQuote(image) + " 2>/dev/null",
                   &output);
    std::vector<std::string> parts;
    std::istringstream in(output);
    std::string line, current;
    bool started = false;
    while (std::getline(in, line)) {
        if (line.rfind("debugfs: ", 0) == 0) {
            if (started)
                parts.push_back(current);
            current.clear();
            started = true;
            continue;
        }
        current += line + "\n";
    }
    if (started)
        parts.push_back(current);
    return parts;
}

struct ListedEntry {
    unsigned long long inode;
    unsigned mode;
    std::string name;
};

// "/inode/mode/uid/gid/name/size/" lines of ls -p; names never hold a slash.
std::vector<ListedEntry> ParseListing(const std::string& text) {
    std::vector<ListedEntry> entries;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 2 || line[0] != '/')
            continue;
        std::vector<std::string> fields;
        size_t start = 1;
        for (int i = 0; i < 5; ++i) {
            const size_t slash = line.find('/', start);
            fields.push_back(line.substr(start, slash - start));
            start = slash + 1;
        }
        if (fields[4] == "." || fields[4] == "..")
            continue;
        entries.push_back(ListedEntry{std::stoull(fields[0]),
                                      static_cast<unsigned>(std::stoul(fields[1], nullptr, 8)),
                                      fields[4]});
    }
    return entries;
}

struct InodeFacts {
    unsigned long long size = 0;
    unsigned links = 0;
    unsigned mtime = 0;
};

InodeFacts ParseStat(const std::string& text) {
    InodeFacts facts;
    const size_t size = text.find("Size: ");
    if (size != std::string::npos)
        facts.size = std::stoull(text.substr(size + 6));
    const size_t links = text.find("Links: ");
    if (links != std::string::npos)
        facts.links = std::stoul(text.substr(links + 7));
    const size_t mtime = text.find("mtime: 0x");
    if (mtime != std::string::npos)
        facts.mtime = std::stoul(text.substr(mtime + 9, 8), nullptr, 16);
    return facts;
}

constexpr unsigned kTypeMask = 0170000, kDir = 0040000, kRegular = 0100000, kSymlink = 0120000;

}  // namespace

std::vector<Row> DebugfsRows(const std::string& image, const std::string& rootName) {
    // Directory listings, breadth first, one debugfs run per level.
    std::map<unsigned long long, std::vector<ListedEntry>> listings;
    std::vector<unsigned long long> level{2};
    std::set<unsigned long long> inodes{2};
    while (!level.empty()) {
        std::vector<std::string> commands;
        for (auto dir : level)
            commands.push_back("ls -p <" + std::to_string(dir) + ">");
        const auto parts = RunDebugfs(image, commands);
        EXPECT_EQ(parts.size(), level.size());
        std::vector<unsigned long long> next;
        for (size_t i = 0; i < level.size() && i < parts.size(); ++i) {
            listings[level[i]] = ParseListing(parts[i]);
            for (const auto& e : listings[level[i]]) {
                inodes.insert(e.inode);
                if ((e.mode & kTypeMask) == kDir)
                    next.push_back(e.inode);
            }
        }
        level = next;
    }
    std::vector<std::string> commands;
    std::vector<unsigned long long> order(inodes.begin(), inodes.end());
    for (auto inode : order)
        commands.push_back("stat <" + std::to_string(inode) + ">");
    const auto parts = RunDebugfs(image, commands);
    EXPECT_EQ(parts.size(), order.size());
    std::map<unsigned long long, InodeFacts> facts;
    for (size_t i = 0; i < order.size() && i < parts.size(); ++i)
        facts[order[i]] = ParseStat(parts[i]);

    std::vector<Row> rows;
    rows.push_back(Row{0, 2, facts[2].size, facts[2].mtime, true, rootName});
    // Pre-order, in listing order, as the depth-first walk meets the entries.
    std::vector<std::pair<unsigned long long, size_t>> stack{{2, 0}};
    while (!stack.empty()) {
        auto& [dir, index] = stack.back();
        const auto& entries = listings[dir];
        if (index >= entries.size()) {
            stack.pop_back();
            continue;
        }
        const ListedEntry& e = entries[index++];
        const unsigned type = e.mode & kTypeMask;
        const InodeFacts& f = facts[e.inode];
        if (type == kDir) {
            rows.push_back(Row{dir, e.inode, f.size, f.mtime, true, e.name});
            stack.emplace_back(e.inode, 0);
        } else if ((type == kRegular || type == kSymlink) && f.links <= 1) {
            rows.push_back(Row{dir, e.inode, f.size, f.mtime, false, e.name});
        }
    }
    return rows;
}

size_t FindDirEntry(const std::string& bytes, const std::string& name) {
    size_t found = std::string::npos;
    for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1)) {
        if (at < 8 || static_cast<unsigned char>(bytes[at - 2]) != name.size())
            continue;
        EXPECT_EQ(found, std::string::npos) << name << " occurs twice";
        found = at - 8;
    }
    return found;
}

size_t InodeOffset(const std::string& image, unsigned inode) {
    const auto parts = RunDebugfs(image, {"imap <" + std::to_string(inode) + ">"});
    // "Inode N is part of block group G\n\tlocated at block B, offset 0xOOOO"
    const std::string& text = parts.at(0);
    const size_t at = text.find("located at block ");
    const size_t off = text.find("offset 0x");
    const std::string stats = RunDebugfs(image, {"stats"}).at(0);
    const size_t bs = std::stoul(stats.substr(stats.find("Block size:") + 11));
    return std::stoul(text.substr(at + 17)) * bs + std::stoul(text.substr(off + 9), nullptr, 16);
}

unsigned InodeOf(const std::string& image, const std::string& path) {
    const std::string text = RunDebugfs(image, {"stat " + path}).at(0);
    return static_cast<unsigned>(std::stoul(text.substr(text.find("Inode: ") + 7)));
}

std::vector<Row> Sorted(std::vector<Row> rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace kzvol::testing
