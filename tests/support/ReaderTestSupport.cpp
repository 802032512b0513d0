// Image builder, debugfs oracle and small-image fixture for the reader's tests.
#include "tests/support/ReaderTestSupport.h"

#include <pthread.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "host/ShellQuote.h"

namespace kzvol::testing {

void MakeImage(const std::string& dir, const std::string& image, const std::string& fsType,
               unsigned blockSize, unsigned sizeKiB, const std::string& extra) {
    std::string output;  // sized first: mke2fs leaves a new file shorter than the fs
    const std::string command = "truncate -s " + std::to_string(sizeKiB) + "k " +
                                ShellQuote(image) + " && mke2fs -q -F -t " + fsType + " -b " +
                                std::to_string(blockSize) + " " + extra + " -d " + ShellQuote(dir) +
                                " " + ShellQuote(image) + " " + std::to_string(sizeKiB) + "k 2>&1";
    ASSERT_EQ(RunCommandLine(command, &output), 0) << command << "\n" << output;
}

void BuildTree(const std::string& root, int manyFiles) {
    const char* script = R"sh(mkdir -p "$1" && cd "$1" && echo hello >a.txt && : >empty &&
        echo linked twice >h1 && ln h1 h2 && echo dots >..dots && mkdir .hidden &&
        ln -s a.txt short-link && ln -s "$(printf %0100d 0 | tr 0 t)" long-link && mkfifo fifo &&
        truncate -s 5G big && echo long name >"$(printf %0255d 0 | tr 0 f)" &&
        d=$(printf %0255d 0 | tr 0 d) && mkdir emptydir many $d && echo x >$d/inside &&
        c=$(seq -f level%g -s / 0 39) && mkdir -p $c && echo deep >$c/bottom &&
        for i in $(seq -f %04g 0 $(($2 - 1))); do echo $i >many/file-with-long-name-$i; done)sh";
    ASSERT_EQ(RunCommandLine(std::string("set -- ") + ShellQuote(root) + " " +
                             std::to_string(manyFiles) + "; " + script),
              0);
}

namespace {

// Runs debugfs `commands` on `image`: the output of each (after its "debugfs: " echo).
std::vector<std::string> RunDebugfs(const std::string& image,
                                    const std::vector<std::string>& commands) {
    std::string script, output;
    for (const auto& c : commands)
        script += c + "\n";
    RunCommandLine(
        "printf %s " + ShellQuote(script) + " | debugfs -f - " + ShellQuote(image) + " 2>/dev/null",
        &output);
    std::vector<std::string> parts;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("debugfs: ", 0) == 0)
            parts.emplace_back();
        else if (!parts.empty())
            parts.back() += line + "\n";
    }
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
    ListedEntry e;
    char name[256];
    for (std::string line; std::getline(in, line);)
        if (std::sscanf(line.c_str(), "/%llu/%o/%*u/%*u/%255[^/]/", &e.inode, &e.mode, name) == 3 &&
            std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            entries.push_back(ListedEntry{e.inode, e.mode, name});
    return entries;
}

struct InodeFacts {
    unsigned long long size = 0, links = 0;
    unsigned mtime = 0;
};

// The number after `key` in debugfs output; 0 when there is none.
unsigned long long Field(const std::string& text, const std::string& key, int base = 10) {
    const size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + key.size()), nullptr, base);
}

constexpr unsigned kTypeMask = 0170000, kDir = 0040000, kRegular = 0100000, kSymlink = 0120000;

}  // namespace

std::vector<Row> DebugfsRows(const std::string& image, const std::string& rootName) {
    // Directory listings, breadth first, one debugfs run per level; then one run to
    // stat every inode listed.
    std::map<unsigned long long, std::vector<ListedEntry>> listings;
    std::vector<unsigned long long> inodes{2};
    for (std::vector<unsigned long long> level{2}; !level.empty();) {
        std::vector<std::string> commands;
        for (auto dir : level)
            commands.push_back("ls -p <" + std::to_string(dir) + ">");
        const auto parts = RunDebugfs(image, commands);
        EXPECT_EQ(parts.size(), level.size());
        std::vector<unsigned long long> next;
        for (size_t i = 0; i < level.size() && i < parts.size(); ++i) {
            for (const auto& e : listings[level[i]] = ParseListing(parts[i])) {
                inodes.push_back(e.inode);
                if ((e.mode & kTypeMask) == kDir)
                    next.push_back(e.inode);
            }
        }
        level = next;
    }
    std::vector<std::string> commands;
    for (auto inode : inodes)
        commands.push_back("stat <" + std::to_string(inode) + ">");
    const auto parts = RunDebugfs(image, commands);
    EXPECT_EQ(parts.size(), inodes.size());
    std::map<unsigned long long, InodeFacts> facts;
    for (size_t i = 0; i < inodes.size() && i < parts.size(); ++i)
        facts[inodes[i]] = InodeFacts{Field(parts[i], "Size: "), Field(parts[i], "Links: "),
                                      static_cast<unsigned>(Field(parts[i], "mtime: 0x", 16))};

    std::vector<Row> rows{Row{0, 2, facts[2].size, facts[2].mtime, true, rootName}};
    // Pre-order, in listing order, as the depth-first walk meets the entries.
    std::function<void(unsigned long long)> visit = [&](unsigned long long dir) {
        for (const ListedEntry& e : listings[dir]) {
            const unsigned type = e.mode & kTypeMask;
            const InodeFacts& f = facts[e.inode];
            if (type == kDir || ((type == kRegular || type == kSymlink) && f.links <= 1))
                rows.push_back(Row{dir, e.inode, f.size, f.mtime, type == kDir, e.name});
            if (type == kDir)
                visit(e.inode);
        }
    };
    visit(2);
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

size_t InodeOffset(const std::string& image, const std::string& path) {
    // "Inode N is part of block group G\n\tlocated at block B, offset 0xOOOO"
    const auto parts = RunDebugfs(image, {"imap " + path, "stats"});
    return Field(parts.at(0), "located at block ") * Field(parts.at(1), "Block size:") +
           Field(parts.at(0), "offset 0x", 16);
}

unsigned InodeOf(const std::string& image, const std::string& path) {
    return static_cast<unsigned>(Field(RunDebugfs(image, {"stat " + path}).at(0), "Inode: "));
}

void RunOnSmallStack(const std::function<void()>& work) {
    pthread_attr_t attr;
    ASSERT_TRUE(pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, 256 << 10) == 0);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    const int rc = pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&work));
    pthread_attr_destroy(&attr);
    ASSERT_EQ(rc, 0);
    pthread_join(thread, nullptr);
}

void ReaderFixture::BuildImage(const std::string& fsType, int bigEntries,
                               const std::string& extra) {
    const std::string tree = tmp_.File("tree");
    ASSERT_EQ(RunCommandLine("set -- " + tree + " " + std::to_string(bigEntries - 1) + R"(
        mkdir -p $1/d1/d2/loopme $1/big && cd $1 && echo f >f.txt && ln -s f.txt link &&
        echo in d1 >d1/in-d1 && for i in $(seq -f %04g 0 $2); do
        echo $i >big/entry-with-a-long-name-$i; done)"),
              0);
    image_ = tmp_.File("image");
    MakeImage(tree, image_, fsType, 1024, extra.empty() ? 4096 : 32768, "-N 2048 " + extra);
    device_.bytes = ReadFile(image_);
}

bool ReaderFixture::RunImgPod(RowCollector* rows, const char* fsTypeName, const char* platform,
                              QuitProbe* quit, bool namesOnly, const char* dump) {
    char root[] = "/";
    return RDFDInterfaceForImgPod(root, MemoryDevice::Read, &device_, RowCollector::Add, rows,
                                  const_cast<char*>(dump), const_cast<char*>(fsTypeName),
                                  const_cast<char*>(platform), 2097152, 0, 0, namesOnly,
                                  quit ? QuitProbe::Check : nullptr, quit, &failure_,
                                  hinting_ ? MemoryDevice::TakeHint : nullptr);
}

bool ReaderFixture::RunVirtualPod(RowCollector* rows, std::string* fsType, bool* isSupported,
                                  QuitProbe* quit) {
    char root[] = "/";
    return RDFDInterfaceForVirtualPod(root, MemoryDevice::Read, &device_, RowCollector::Add, rows,
                                      nullptr, fsType, nullptr, 2097152, nullptr, nullptr,
                                      isSupported, quit ? QuitProbe::Check : nullptr, 0, quit,
                                      &failure_, hinting_ ? MemoryDevice::TakeHint : nullptr);
}

std::string ReaderFixture::Refusal(bool optimized, RowCollector* rows, std::string* fsType,
                                   bool* isSupported) {
    RowCollector own;
    failure_ = RDFDException(RDFD_EXC_APPLICATION, "untouched");
    rows = rows ? rows : &own;
    const bool ok = optimized ? RunVirtualPod(rows, fsType, isSupported) : RunImgPod(rows);
    return ok ? "" : failure_.GetErrorMsg();
}

}  // namespace kzvol::testing
