// Copy-on-write snapshots of a filter device against the memory-mode stand-in driver.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "filter/SnapFiles.h"
#include "host/TraceFile.h"
#include "tests/filter/DriverFixture.h"

namespace kzvol::testing {
namespace {

class Snapshots : public RecordedDriver {
  protected:
    void SetUp() override {
        RecordedDriver::SetUp();
        UseRegistry("");
        ::mkdir(dir_.File("cow").c_str(), 0700);
        ::setenv("KZ_SNAP_PARTITION", dir_.File("cow").c_str(), 1);
        image_ = dir_.Write("volume.img", "");
        for (int i = 0; i < 8192; ++i)  // sector i filled with 'a' + i % 26
            ASSERT_TRUE(WriteSector(image_, i * 512, static_cast<char>('a' + i % 26)));
        minor_ = AddDevice(image_, 0);
        ASSERT_GE(minor_, 0);
        node_ = FilterNode(minor_);
        volume_ = BoundVolume(minor_, node_);
    }
    void TearDown() override {
        volume_.reset();
        ::unsetenv("KZ_SNAP_PARTITION");
        RecordedDriver::TearDown();
    }
    static bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }
    std::string CowFile(const char* suffix) const {
        return dir_.File("cow/.qnbf" + std::to_string(minor_) + suffix);
    }

    std::string image_, node_;
    int minor_ = -1;
    std::unique_ptr<KZVolumeUnix> volume_;
};

TEST_F(Snapshots, OneSnapshotsLifeAndTheLimitsOfItsRead) {
    const int descriptors = OpenDescriptorCount();
    std::string buffer(1024, '\0');
    unsigned long done = 99;
    // A byte count past 32 bits is refused before anything is opened or read.
    EXPECT_FALSE(volume_->SWSnapRead(0, 8388608, buffer.data(), done) || done != 0);
    EXPECT_EQ(seen().size(), 2u);  // the device's add and start only
    EXPECT_FALSE(volume_->SWSnapRead(0, 1, buffer.data(), done));  // no snapshot to open
    EXPECT_EQ(volume_->m_hSnapVolume, -1);
    qn_getdatablockbmp_arg arg;
    std::memset(&arg, 0x5a, sizeof arg);
    EXPECT_FALSE(volume_->QNBFPrepareDataBlock("ignored", &arg));
    EXPECT_EQ(arg.minor + Count(QNBF_GET_DATABLOCK_MAP), 0x5a5a5a5au);  // untouched, not asked

    ASSERT_TRUE(volume_->SWSnapSynchronize(node_, 0));
    auto sync = Sent<qn_snapsync_arg>(1);
    EXPECT_EQ(std::make_tuple(+sync.minor, +sync.chunk_size, std::string(sync.data_file),
                              std::string(sync.map_file), +sync.snap_minor),
              std::make_tuple(minor_, 4096u, CowFile("-snap"), CowFile("-snapmap"), -1));
    ASSERT_EQ(LastRequest(), QNBF_START_NODE);
    const uint32_t snapMinor = Sent<uint32_t>();  // the started snapshot, named by the object
    EXPECT_EQ(volume_->m_strSnapId, FilterNode(snapMinor));
    unsigned char map[1] = {0};  // the active snapshot's data blocks: all 4 extents
    arg = {0, 1, reinterpret_cast<uint64_t>(map)};
    ASSERT_TRUE(volume_->QNBFPrepareDataBlock("ignored", &arg));
    EXPECT_EQ(std::make_tuple(+arg.minor, map[0]), std::make_tuple(snapMinor, 0x0f));

    // The live device moves on; the snapshot keeps the old sectors.
    ASSERT_TRUE(WriteSector(image_, 10 * 512, 'Z'));
    ASSERT_TRUE(volume_->SWSnapRead(9, 2, buffer.data(), done) && done == 2);
    EXPECT_EQ(buffer, std::string(512, 'a' + 9) + std::string(512, 'a' + 10));
    EXPECT_NE(volume_->m_hSnapVolume, -1);

    TempDir traces;
    std::string old = SetTraceDirectory(traces.path());
    traces.Write("debugkzvol", "");
    EXPECT_TRUE(volume_->SWSnapRead(5, 0, buffer.data(), done) && done == 0);
    // Past the end of the 8192-sector snapshot: two short reads, no pause.
    done = 99;
    EXPECT_FALSE(volume_->SWSnapRead(8191, 2, buffer.data(), done) || done != 0);
    SetTraceDirectory(old);
    EXPECT_TRUE(env_.Sleeps().empty());
    const std::string attempt =
        "\n volume handle=" + std::to_string(volume_->m_hSnapVolume) +
        " \t offset=4193792 \t size=1024Read failed offset=4193792 size=1024 returned=512 "
        "errorno=0  retrying\n";
    EXPECT_EQ(ReadFile(traces.File("readsnapvollog")),
              "\n blkoffset=8191 \t noofblocks=2 \t blksize=512" + attempt + attempt);

    ASSERT_TRUE(volume_->SWSnapFreezeSync("ignored", KZ_APP_NONE));
    EXPECT_EQ(std::make_pair(LastRequest(), Sent<uint32_t>()),
              std::make_pair(QNBF_DELETE_NODE, snapMinor));
    EXPECT_EQ(env_.ShellCommands(), std::vector<std::string>{kBootScriptLine});
    EXPECT_TRUE(volume_->m_hSnapVolume == -1 && volume_->m_strSnapId == FilterNode(snapMinor));

    ASSERT_TRUE(Exists(CowFile("-snap")) && volume_->SWSnapUnsynchronize());
    EXPECT_FALSE(Exists(CowFile("-snap")) || Exists(CowFile("-snapmap")));
    EXPECT_TRUE(volume_->SWSnapUnsynchronize());  // neither file: nothing to do
    volume_->Close();
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(Snapshots, ChunkSizeNotationsAndCopyOnWriteNames) {
    const char* values[] = {"", "=", "=010", "=65536", "=abc", "=-1", "=0x100000000", "=0x2000"};
    const unsigned long sizes[] = {4096, 4096, 8, 65536, 4096, 4096, 4096, 8192};
    for (size_t i = 0; i < std::size(values); ++i) {
        SCOPED_TRACE(values[i]);
        UseRegistry(std::string("[UnixImagePOD]\n") + (*values[i] ? "dSnapChunkSize" : "") +
                    values[i]);
        EXPECT_EQ(SnapChunkSize("test"), sizes[i]);
    }
    ASSERT_TRUE(volume_->SWSnapSynchronize(node_, 0));
    EXPECT_EQ(Sent<qn_snapsync_arg>(1).chunk_size, 8192u);

    for (const char* dir : {"/snaps", "/snaps/"}) {
        EXPECT_EQ(CowFileNames(dir, "/dev/qnbf/qnbf3").data, "/snaps/.qnbf3-snap");
        EXPECT_EQ(CowFileNames(dir, "/dev/qnbf/qnbf3").map, "/snaps/.qnbf3-snapmap");
    }
    EXPECT_EQ(CowFileNames("/snaps", "qnbf4").data, "/snaps/.qnbf4-snap");
}

TEST_F(Snapshots, StopWithoutASnapshotAndRefusalsOnTheWay) {
    ASSERT_TRUE(volume_->SWSnapFreezeSync("src", KZ_APP_NONE));
    EXPECT_TRUE(Count(QNBF_DELETE_NODE) == 0 && env_.ShellCommands().empty());

    // Creation: an unknown device, a refused start (the snapshot stays synchronized).
    EXPECT_FALSE(volume_->SWSnapSynchronize("/dev/qnbf/qnbf77", 0) || Count(QNBF_SNAP_SYNC));
    driver().FailNext(QNBF_START_NODE, EIO);
    EXPECT_FALSE(volume_->SWSnapSynchronize(node_, 0) || !volume_->m_strSnapId.empty());

    // Removal: a copy-on-write name taken by a directory is not removed.
    ASSERT_EQ(::unlink(CowFile("-snap").c_str()), 0);
    ASSERT_EQ(::mkdir(CowFile("-snap").c_str(), 0700), 0);
    dir_.Write("cow/.qnbf" + std::to_string(minor_) + "-snap/keep", "x");
    EXPECT_FALSE(volume_->SWSnapUnsynchronize());
    EXPECT_TRUE(Exists(CowFile("-snap") + "/keep") && Exists(CowFile("-snapmap")));

    ::unsetenv("KZ_SNAP_PARTITION");
    const size_t requests = seen().size();
    EXPECT_FALSE(volume_->SWSnapSynchronize(node_, 0) || volume_->SWSnapUnsynchronize());
    EXPECT_TRUE(Exists(CowFile("-snapmap")) && Count(QNBF_SNAP_SYNC) == 1);
    EXPECT_EQ(seen().size(), requests + 2);  // the device lookup: list, information
}

}  // namespace
}  // namespace kzvol::testing
