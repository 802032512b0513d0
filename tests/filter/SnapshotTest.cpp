// Copy-on-write snapshots of a filter device against the memory-mode stand-in
// driver: the whole life of one snapshot, the chunk-size notations, the
// copy-on-write names, the snapshot read's limits, retries and trace, and the
// refusals on the way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "filter/SnapFiles.h"
#include "host/TraceFile.h"
#include "tests/filter/RecordingChannel.h"

namespace kzvol::testing {
namespace {

constexpr uint32_t kExtent = 1 << 20;

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

class Snapshots : public RecordedDriver {
  protected:
    void SetUp() override {
        RecordedDriver::SetUp();
        UseRegistry("");
        ::mkdir(cow_dir().c_str(), 0700);
        ::setenv("KZ_SNAP_PARTITION", cow_dir().c_str(), 1);
        // 4 MiB whose sector i is filled with the byte 'a' + i % 26.
        std::string data;
        for (int i = 0; i < 8192; ++i)
            data.append(512, static_cast<char>('a' + i % 26));
        image_ = dir_.Write("volume.img", data);
        minor_ = AddDevice(image_, 0, kExtent);
        ASSERT_GE(minor_, 0);
        node_ = FilterNode(minor_);
        volume_ = BoundVolume(minor_, node_);
    }
    void TearDown() override {
        volume_.reset();
        ::unsetenv("KZ_SNAP_PARTITION");
        RecordedDriver::TearDown();
    }

    std::string cow_dir() const { return dir_.File("cow"); }
    std::string cow_file(const char* suffix) const {
        return cow_dir() + "/.qnbf" + std::to_string(minor_) + suffix;
    }

    std::string image_, node_;
    int minor_ = -1;
    std::unique_ptr<KZVolumeUnix> volume_;
};

TEST_F(Snapshots, CreateReadStopAndRemoveOneSnapshot) {
    const int descriptors = OpenDescriptorCount();
    ASSERT_TRUE(volume_->SWSnapSynchronize(node_, 0));
    auto sync = Sent<qn_snapsync_arg>(1);
    EXPECT_EQ(sync.minor, minor_);
    EXPECT_EQ(sync.chunk_size, 4096u);
    EXPECT_EQ(std::string(sync.data_file), cow_file("-snap"));
    EXPECT_EQ(std::string(sync.map_file), cow_file("-snapmap"));
    EXPECT_EQ(sync.snap_minor, -1);
    // The started snapshot is the one the object now names.
    ASSERT_EQ(seen().Seen().back().request, QNBF_START_NODE);
    const uint32_t snapMinor = Sent<uint32_t>();
    const std::string snapNode = FilterNode(static_cast<int>(snapMinor));
    EXPECT_EQ(volume_->m_strSnapId, snapNode);

    // The live device moves on; the snapshot keeps the old sectors.
    ASSERT_TRUE(WriteSector(image_, 10 * 512, 'Z'));
    std::string buffer(1024, '\0');
    unsigned long done = 99;
    ASSERT_TRUE(volume_->SWSnapRead(9, 2, buffer.data(), done));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(buffer, std::string(512, 'a' + 9) + std::string(512, 'a' + 10));
    EXPECT_NE(volume_->m_hSnapVolume, -1);

    ASSERT_TRUE(volume_->SWSnapFreezeSync("ignored", KZ_APP_NONE));
    EXPECT_EQ(seen().Seen().back().request, QNBF_DELETE_NODE);
    EXPECT_EQ(Sent<uint32_t>(), snapMinor);
    EXPECT_EQ(env_.ShellCommands(), std::vector<std::string>{kBootScriptLine});
    EXPECT_EQ(volume_->m_hSnapVolume, -1);
    EXPECT_EQ(volume_->m_strSnapId, snapNode);

    EXPECT_TRUE(Exists(cow_file("-snap")));
    ASSERT_TRUE(volume_->SWSnapUnsynchronize());
    EXPECT_FALSE(Exists(cow_file("-snap")));
    EXPECT_FALSE(Exists(cow_file("-snapmap")));
    EXPECT_TRUE(volume_->SWSnapUnsynchronize());  // neither file: nothing to do
    volume_->Close();
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(Snapshots, ChunkSizeNotations) {
    const std::pair<const char*, unsigned long> cases[] = {
        {"", 4096},        {"=", 4096},    {"=0x2000", 8192}, {"=010", 8},
        {"=65536", 65536}, {"=abc", 4096}, {"=-1", 4096},     {"=0x100000000", 4096},
    };
    for (auto [value, size] : cases) {
        SCOPED_TRACE(value);
        dir_.Write("registry.ini",
                   *value ? std::string("[UnixImagePOD]\ndSnapChunkSize") + value + "\n" : "");
        EXPECT_EQ(SnapChunkSize("test"), size);
    }

    // The parsed value reaches the driver unchanged.
    dir_.Write("registry.ini", "[UnixImagePOD]\ndSnapChunkSize=0x2000\n");
    ASSERT_TRUE(volume_->SWSnapSynchronize(node_, 0));
    EXPECT_EQ(Sent<qn_snapsync_arg>(1).chunk_size, 8192u);
}

TEST(SnapshotFiles, NamesWithAndWithoutATrailingSlash) {
    for (const char* dir : {"/snaps", "/snaps/"}) {
        EXPECT_EQ(CowFileNames(dir, "/dev/qnbf/qnbf3").data, "/snaps/.qnbf3-snap");
        EXPECT_EQ(CowFileNames(dir, "/dev/qnbf/qnbf3").map, "/snaps/.qnbf3-snapmap");
    }
    EXPECT_EQ(CowFileNames("/snaps", "qnbf4").data, "/snaps/.qnbf4-snap");
}

TEST_F(Snapshots, SnapshotReadLimitsRetriesAndTrace) {
    std::string buffer(512, '\0');
    unsigned long done = 99;
    // A byte count past 32 bits is refused before anything is opened or read.
    EXPECT_FALSE(volume_->SWSnapRead(0, 8388608, buffer.data(), done));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(volume_->m_hSnapVolume, -1);
    EXPECT_TRUE(seen().Seen().size() == 2u);  // the device's add and start only

    // No snapshot yet: nothing to open.
    EXPECT_FALSE(volume_->SWSnapRead(0, 1, buffer.data(), done));
    EXPECT_EQ(volume_->m_hSnapVolume, -1);

    ASSERT_TRUE(volume_->SWSnapSynchronize(node_, 0));
    TempDir traces;
    std::string old = SetTraceDirectory(traces.path());
    traces.Write("debugkzvol", "");
    done = 99;
    EXPECT_TRUE(volume_->SWSnapRead(5, 0, buffer.data(), done));
    EXPECT_EQ(done, 0u);
    // Past the end of the 8192-sector snapshot: two short reads, no pause.
    EXPECT_FALSE(volume_->SWSnapRead(8191, 2, buffer.data(), done));
    EXPECT_EQ(done, 0u);
    SetTraceDirectory(old);
    EXPECT_TRUE(env_.Sleeps().empty());
    const std::string attempt =
        "\n volume handle=" + std::to_string(volume_->m_hSnapVolume) +
        " \t offset=4193792 \t size=1024Read failed offset=4193792 size=1024 returned=512 "
        "errorno=0  retrying\n";
    EXPECT_EQ(ReadFile(traces.File("readsnapvollog")),
              "\n blkoffset=8191 \t noofblocks=2 \t blksize=512" + attempt + attempt);
}

TEST_F(Snapshots, StopWithoutASnapshotAndRefusalsOnTheWay) {
    ASSERT_TRUE(volume_->SWSnapFreezeSync("src", KZ_APP_NONE));
    EXPECT_EQ(seen().Count(QNBF_DELETE_NODE), 0);
    EXPECT_TRUE(env_.ShellCommands().empty());

    // Creation: an unknown device, a refused start (the snapshot stays synchronized).
    EXPECT_FALSE(volume_->SWSnapSynchronize("/dev/qnbf/qnbf77", 0));
    EXPECT_EQ(seen().Count(QNBF_SNAP_SYNC), 0);
    driver().FailNext(QNBF_START_NODE, EIO);
    EXPECT_FALSE(volume_->SWSnapSynchronize(node_, 0));
    EXPECT_TRUE(volume_->m_strSnapId.empty());

    // Removal: a copy-on-write name taken by a directory is not removed.
    ASSERT_EQ(::unlink(cow_file("-snap").c_str()), 0);
    ASSERT_EQ(::mkdir(cow_file("-snap").c_str(), 0700), 0);
    dir_.Write("cow/.qnbf" + std::to_string(minor_) + "-snap/keep", "x");
    EXPECT_FALSE(volume_->SWSnapUnsynchronize());
    EXPECT_TRUE(Exists(cow_file("-snap") + "/keep"));
    EXPECT_TRUE(Exists(cow_file("-snapmap")));  // not reached

    ::unsetenv("KZ_SNAP_PARTITION");
    const size_t requests = seen().Seen().size();
    EXPECT_FALSE(volume_->SWSnapSynchronize(node_, 0));
    EXPECT_FALSE(volume_->SWSnapUnsynchronize());
    EXPECT_TRUE(Exists(cow_file("-snapmap")));
    EXPECT_EQ(seen().Count(QNBF_SNAP_SYNC), 1);
    EXPECT_EQ(seen().Seen().size(), requests + 2);  // the device lookup: list, information
}

TEST_F(Snapshots, QueriesThatLinuxLeavesEmpty) {
    SnapVolInfo_t info{{1, 2, 3, 4}};
    std::vector<SnapCachedExtent_t> extents(1);
    EXPECT_TRUE(volume_->SWSnapSetCacheConfig(1, 2, 3, 4));
    EXPECT_TRUE(volume_->SWSnapGetVolumeInfo(info));
    EXPECT_TRUE(volume_->SWSnapGetSnapStatus());
    EXPECT_TRUE(volume_->SWSnapGetCachedExtents(extents, "x"));
    EXPECT_EQ(info.reserved[3], 4u);
    EXPECT_EQ(extents.size(), 1u);
}

}  // namespace
}  // namespace kzvol::testing
