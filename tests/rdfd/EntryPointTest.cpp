// The two entry points: refusals and their texts, reader set-up, superblock validation.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <numeric>

#include "tests/support/ReaderTestSupport.h"

namespace kzvol::testing {
namespace {

class EntryPointTest : public ReaderFixture {
  protected:
    // Either reader with its entry point's cache geometry; `prescan` forces the prescan,
    // through the timed probe or, when given, through `resident` with a probe that
    // would decide the other way.
    RowCollector Walk(bool optimized, std::list<std::string>* filter, bool prescan = false,
                      ResidentCallBack resident = nullptr) {
        std::unique_ptr<ReadExt3DirFromDevice> reader(
            optimized ? new OptimizedExt3Parser(MemoryDevice::Read, &device_, nullptr, 0, nullptr,
                                                0, false, 131072, 2, filter)
                      : new ReadExt3DirFromDevice(MemoryDevice::Read, &device_, nullptr, 0, nullptr,
                                                  0, false, 4194304, 512, filter));
        if (prescan || resident) {
            reader->SetReadAhead(MemoryDevice::TakeHint, resident);
            reader->SetPrescanThreshold(resident && prescan ? UINT_MAX : 0);
        }
        reader->ValidateFileSystem(nullptr, nullptr, nullptr);
        RowCollector rows;
        char root[] = "/";
        EXPECT_EQ(reader->GetInodeAnameMapping(RowCollector::Add, &rows, root, 2), 0);
        EXPECT_EQ(reader->Prescanned(), prescan);
        return rows;  // the reader's end joins its hint thread
    }
};

// The optimized entry point names ext4, and leaves the type alone for no ext2/ext3.
TEST_F(EntryPointTest, Ext4AndDevicesWithoutTheMagicAreRefused) {
    const auto typeOfRefused = [&](const std::string& text) {
        std::string fsType = "untouched";
        bool supported = true;
        ExpectBothFail(text, &fsType, &supported);
        return supported ? "supported" : fsType;
    };
    BuildImage("ext4");
    EXPECT_EQ(typeOfRefused("FS\t Fs is ext4"), "Ext4");
    device_.bytes.assign(1 << 20, '\0');
    EXPECT_EQ(typeOfRefused("FS\tFs is not ext3 / empty or swap partition"), "untouched");
}

// Cache buffers: 8 KiB depth first, 64 KiB optimized; block runs of at most 32 KiB.
TEST_F(EntryPointTest, MisuseQuitOrAFailedReadEndTheWalkArgumentsHandedOnReadsSizedAndHinted) {
    BuildImage("ext3", 1200);  // quit is polled every 1000 inodes
    QuitProbe never, quit{0, 1}, quit2{0, 1};
    RowCollector all, rows, stopped;
    ASSERT_TRUE(RunImgPod(&all, "ext3", "linux", &never));
    EXPECT_EQ(never.polls, static_cast<int>(all.rows.size() / 1000));
    EXPECT_FALSE(RunImgPod(&stopped, "ext3", "linux", &quit));
    EXPECT_EQ(quit.polls, 1);
    EXPECT_EQ(stopped.rows.size(), 999u);  // stopped before the 1000th inode is read
    EXPECT_STREQ(failure_.GetErrorMsg(), "APPLICATION\tQuit flag set");
    failure_ = RDFDException(RDFD_EXC_APPLICATION, "untouched");
    EXPECT_FALSE(RunVirtualPod(&stopped, nullptr, nullptr, &quit2));
    EXPECT_STREQ(failure_.GetErrorMsg(), "APPLICATION\tQuit flag set");
    device_.reads = 0;
    EXPECT_FALSE(RunImgPod(&rows, "ext3", "Linux"));
    EXPECT_STREQ(failure_.GetErrorMsg(), "APPLICATION\tUnSupported Platform");
    EXPECT_FALSE(RunImgPod(&rows, "ext2", "linux"));
    EXPECT_STREQ(failure_.GetErrorMsg(), "APPLICATION\tOnly ext3 is supported");
    EXPECT_FALSE(RunImgPod(&rows, nullptr, "linux"));
    EXPECT_EQ(device_.reads, 0u);
    char root[] = "/", named[] = "root", ext3[] = "ext3", platform[] = "linux";
    EXPECT_FALSE(RDFDInterfaceForImgPod(root, nullptr, &device_, RowCollector::Add, &rows, nullptr,
                                        ext3, platform, 0, 0, 0, false, nullptr, nullptr));
    EXPECT_FALSE(RDFDInterfaceForVirtualPod(root, MemoryDevice::Read, &device_, nullptr, &rows,
                                            nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                                            nullptr, 0, nullptr));
    EXPECT_TRUE(rows.rows.empty());
    for (bool optimized : {false, true}) {
        RowCollector refusing{{}, 3};
        EXPECT_EQ(Refusal(optimized, &refusing),
                  "APPLICATION\tInode Aname Mapping Call back failed");
        EXPECT_EQ(refusing.rows.size(), 3u);
    }
    std::string dump = tmp_.File("volinfo");
    ASSERT_TRUE(RDFDInterfaceForImgPod(named, MemoryDevice::Read, &device_, RowCollector::Add,
                                       &rows, dump.data(), ext3, platform, 4096, 1, 1, false,
                                       nullptr, nullptr));
    EXPECT_EQ(ReadFile(dump).rfind("extentsize=4096 \n", 0), 0u);
    EXPECT_NE(ReadFile(dump).find("aclenabled=1 \nselinuxlabels=1 \n"), std::string::npos);
    EXPECT_EQ(rows.rows.at(0).name, "root");
    ASSERT_TRUE(RDFDInterfaceForVirtualPod(named, MemoryDevice::Read, &device_, RowCollector::Add,
                                           &rows, dump.data(), nullptr, nullptr, 65536, nullptr,
                                           nullptr, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(ReadFile(dump).rfind("extentsize=65536 \n", 0), 0u);
    EXPECT_NE(ReadFile(dump).find("aclenabled=0 \nselinuxlabels=0 \n"), std::string::npos);
    std::list<std::string> filter{"d2", "d"};  // skipped by exact name, not reported or walked
    for (bool optimized : {false, true}) {
        const auto names = Walk(optimized, &filter).Names();
        EXPECT_TRUE(names.count("d1") && names.count("in-d1") && names.count("f.txt"));
        EXPECT_FALSE(names.count("d2") || names.count("loopme"));
    }
    for (bool optimized : {false, true}) {
        const unsigned buffer = optimized ? 65536u : 8192u;
        device_.reads = device_.failRead = 0;
        device_.log.clear();
        ASSERT_EQ(Refusal(optimized), "");
        std::set<unsigned int> sizes;
        for (const auto& [offset, size] : device_.log) {
            sizes.insert(size);
            EXPECT_TRUE(size == buffer ||
                        (size % 1024 == 0 && offset % 1024 == 0 && size <= 32768));
        }
        EXPECT_TRUE(sizes.count(1024) && sizes.count(buffer) && sizes.size() >= 3);
        const unsigned long long reads = device_.reads;  // each one failed in turn below
        ASSERT_GT(reads, 3u);
        for (device_.failRead = 1; device_.failRead <= reads; ++device_.failRead) {
            device_.reads = 0;
            EXPECT_EQ(Refusal(optimized).rfind("READ\t", 0), 0u) << optimized << device_.failRead;
        }
    }
    hinting_ = true;
    device_.failRead = 0;
    for (bool optimized : {false, true})
        for (bool prescan : {false, true}) {
            RowCollector plain, again;
            ASSERT_TRUE(Run(optimized, &plain));
            device_.log.clear();
            device_.hints.clear();
            ASSERT_TRUE(prescan ? (again = Walk(optimized, nullptr, true), true)
                                : Run(optimized, &again));
            EXPECT_EQ(again.rows, plain.rows);
            EXPECT_LT(std::accumulate(device_.hints.begin(), device_.hints.end(), 0ull,
                                      [](auto sum, auto h) { return sum + h.second; }),
                      device_.bytes.size() / 4);
            for (size_t i = 2; i < device_.log.size(); ++i) {
                const auto [offset, size] = device_.log[i];
                EXPECT_TRUE(std::any_of(device_.hints.begin(), device_.hints.end(), [&](auto h) {
                    return h.first < offset + size && offset < h.first + h.second;
                })) << i;
            }
        }
    device_.Put(1024 + 96, device_.Get32(1024 + 96) | 0x4);  // journal to recover: walked
    EXPECT_EQ(Refusal(false) + Refusal(true), "");
}

constexpr size_t kSb = 1024;

// 64 KiB of zeros but for a superblock: 1 KiB blocks unless `logBlockSize` says otherwise,
// 8193 blocks of 8192 per group, 256 inodes per group of 256 bytes; then the `changes`.
MemoryDevice Craft(std::vector<std::pair<size_t, uint32_t>> changes, uint32_t logBlockSize = 0) {
    MemoryDevice d;
    d.bytes.assign(64 << 10, '\0');
    const std::pair<size_t, uint32_t> sound[] = {
        {0, 256},           {4, 8193},          {20, logBlockSize == 0},
        {24, logBlockSize}, {28, logBlockSize}, {32, 8192},
        {40, 256},          {56, 0xEF53},       {84, 11},
        {88, 256}};
    changes.insert(changes.begin(), std::begin(sound), std::end(sound));
    for (const auto& [offset, value] : changes)
        d.Put(kSb + offset, value);
    return d;
}

// A shift of 22 wraps a 32-bit block size to 0.
TEST(ValidateFileSystemTest, BlockSizesGeometriesAndFailedReadsOrWritesTheCheckRefuses) {
    TestEnv env;
    std::unique_ptr<ReadExt3DirFromDevice> reader;
    const auto Validate = [&](MemoryDevice& d, const char* dump = nullptr) {
        reader = std::make_unique<ReadExt3DirFromDevice>(MemoryDevice::Read, &d, nullptr, 0,
                                                         nullptr, 2097152, false, 0, 0, nullptr);
        return ErrorOf(
            [&] { reader->ValidateFileSystem(const_cast<char*>(dump), nullptr, nullptr); });
    };
    for (uint32_t log : {0u, 4u, 5u, 22u}) {
        MemoryDevice d = Craft({{24, log}}, log <= 4 ? log : 0);
        EXPECT_EQ(Validate(d), log <= 4 ? "" : "FS\tWeird Block Size") << log;
        EXPECT_EQ(reader->GetBlockSize(), log <= 4 ? 1024u << log : 0u);
    }
    MemoryDevice d = Craft({{32, 8193}});
    EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .");
    d = Craft({{4, 0xFFFFFFFF}, {32, 1}, {40, 1}, {0, 1}});  // 4 billion groups of one block
    d.bytes.resize(2048);
    EXPECT_EQ(Validate(d), "FS\tNot a Valod SuperBlock .");
    EXPECT_EQ(d.reads, 1u);        // the superblock only
    d = Craft({{4, 3}, {20, 2}});  // the first data block just below the blocks count
    EXPECT_EQ(Validate(d), "");
    EXPECT_EQ(reader->GetInodeTableBlocks().size(), 1u);

    d = Craft({});
    EXPECT_EQ(Validate(d, "/nonexistent-dir/info"), "SYSTEM\tDump File Open failed");
    EXPECT_EQ(Validate(d, "/dev/full"), "SYSTEM\tDump File Write failed");
    RowCollector rows;
    char root[] = "/";
    d.reads = 0;
    ReadExt3DirFromDevice unvalidated(MemoryDevice::Read, &d, nullptr, 0, nullptr, 0, false, 0, 0,
                                      nullptr);
    EXPECT_EQ(ErrorOf([&] { unvalidated.GetInodeAnameMapping(RowCollector::Add, &rows, root, 2); }),
              "FS\tDeviceSize is zero");
    EXPECT_EQ(d.reads, 0u);
    d.bytes.resize(2048 + 16);  // superblock whole, descriptor table cut
    EXPECT_EQ(Validate(d), "READ\t Could not read File system Group Descriptors");
    d.bytes.resize(1500);
    EXPECT_EQ(Validate(d), "READ\t Could not read the entire SuperBlock");
}

bool Resident(void*, unsigned long long, unsigned long long) {
    return true;
}
bool NotResident(void*, unsigned long long, unsigned long long) {
    return false;
}

TEST_F(EntryPointTest, AResidencyQueryDecidesThePrescanOverTheTimedProbe) {
    BuildImage("ext3");
    for (bool optimized : {false, true}) {
        const auto plain = Walk(optimized, nullptr).rows;
        EXPECT_EQ(Walk(optimized, nullptr, true, NotResident).rows, plain);
        EXPECT_EQ(Walk(optimized, nullptr, false, Resident).rows, plain);
    }
}

}  // namespace
}  // namespace kzvol::testing
