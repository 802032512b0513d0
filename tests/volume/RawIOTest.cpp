// The volume object (descriptors, quit flag, installation lookups) and raw sector
// I/O on files: addressing, retries, the largest transfer, Close, the trace files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "filter/DriverChannel.h"
#include "host/Handles.h"
#include "host/TraceFile.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

TEST(VolumeObject, DescriptorOwnershipQuitFlagAndInstallationLookups) {
    TestEnv env;
    TempDir dir;
    std::string path = dir.Write("img", std::string(4096, 'x'));
    EXPECT_EQ(KZVolumeUnix(path + "/").GetVolumeName(), path);  // the trailing slash goes
    KZVolumeUnix invalid(-1);
    EXPECT_FALSE(invalid.IsValid() || invalid.IsOpen() || invalid.Open() || invalid.Open(1));
    UniqueFd fd(::open(path.c_str(), O_RDONLY));
    auto onFd = std::make_unique<KZVolumeUnix>(fd.get());
    EXPECT_TRUE(onFd->IsOpen() && onFd->Close() && onFd->m_hVolume == fd.get());
    onFd.reset();
    EXPECT_EQ(::fcntl(fd.get(), F_GETFD), 0);  // still open
    const int before = OpenDescriptorCount();
    EXPECT_TRUE(KZVolumeUnix(path).Open(1) && OpenDescriptorCount() == before + 1);
    EXPECT_EQ(OpenDescriptorCount(), before);  // closed with the object

    KZVolumeUnix vol("/dev/sdb1");
    bool quit = true;
    EXPECT_TRUE(QuitFlagCheck(99, &vol, &quit) == 0 && !quit);
    KZJobCtrlClient job;
    vol.m_pJobCtrlClient = &job;
    EXPECT_FALSE(vol.QuitNow());
    job.requestQuit();
    EXPECT_TRUE(vol.QuitNow() && QuitFlagCheck(0, &vol, &quit) == 0 && quit);

    const std::string registry =
        "[Base]\ndBASEHOME=/opt/kz/base\nsInstanceName=I002\n[EventManager]\ndEVLOGDIR=/var/"
        "log/kz\n[Machines/client1]\ndJOBRESULTSDIR=/var/kz/jr\n";
    ::setenv("KZVOL_CONFIG", dir.Write("registry.ini", registry).c_str(), 1);
    auto got = [&vol](bool (KZVolumeUnix::*get)(char*, int*)) {
        char buf[64];
        int len = sizeof buf;
        return (vol.*get)(buf, &len) ? std::string(buf) : "<false>";
    };
    EXPECT_EQ(got(&KZVolumeUnix::get_job_results_dir), "<false>");  // no client named yet
    vol.setClntDisplayName("client1");
    std::string text;
    EXPECT_TRUE(vol.get_instance(text));
    EXPECT_EQ(got(&KZVolumeUnix::get_job_results_dir) + got(&KZVolumeUnix::get_base_dir) +
                  got(&KZVolumeUnix::get_log_dir) + text,
              "/var/kz/jr/opt/kz/base/var/log/kzI002");
    ::unsetenv("KZVOL_CONFIG");
}

std::string PatternImage(int sectors) {  // sector k filled with the byte k
    std::string data;
    for (int k = 0; k < sectors; ++k)
        data.append(512, static_cast<char>(k));
    return data;
}

class RawIO : public ::testing::Test {
  protected:
    TestEnv env_;
    TempDir dir_;
    const std::string image_ = dir_.Write("disk.img", PatternImage(16));
    unsigned long done_ = 99;  // sectors moved: the transfer sets them
    unsigned int ddone_ = 7;
};

// DiskRead and DiskWrite try twice, waiting 5 s after each; Read gives up at once.
TEST_F(RawIO, AddressingOpenModesFailedTransfersAndTheirTraces) {
    TempDir traces;
    const std::string old = SetTraceDirectory(traces.path());
    traces.Write("debugkzvol", "");
    KZVolumeUnix vol(image_), readOnly(image_), readWrite(image_);
    ASSERT_TRUE(vol.Open(0) && vol.Open());  // already open is success
    std::vector<char> buf(1024, '?');
    ASSERT_TRUE(vol.Read(3, 2, buf.data(), done_) && done_ == 2);
    EXPECT_EQ(
        ReadFile(traces.File("readvollog")),
        "\n reading for volume=" + std::to_string(vol.m_hVolume) + " \t offset=1536 \t size=1024");
    EXPECT_EQ(std::string(buf.data(), 1024), PatternImage(16).substr(3 * 512, 1024));
    ASSERT_TRUE(vol.DiskRead(15, 1, buf.data(), ddone_) && ddone_ == 1);
    EXPECT_EQ(std::string(buf.data(), 512), std::string(512, 15));
    buf.assign(1024, 'Z');
    EXPECT_TRUE(vol.Read(2, 0, buf.data(), done_) && vol.Write(2, 0, buf.data(), done_));
    EXPECT_TRUE(vol.DiskRead(2, 0, buf.data(), ddone_) && ddone_ == 0);
    EXPECT_EQ(buf, std::vector<char>(1024, 'Z'));
    ASSERT_TRUE(vol.DiskWrite(2, 1, buf.data(), done_) && vol.Write(1, 1, buf.data(), done_));
    const std::string written = PatternImage(16).replace(512, 1024, 1024, 'Z');
    EXPECT_EQ(ReadFile(image_), written);
    EXPECT_TRUE(vol.Seek(1024, SEEK_SET) == 0 && ::lseek(vol.m_hVolume, 0, SEEK_CUR) == 1024);
    ASSERT_TRUE(readOnly.Open(1) && readWrite.Open(2) && readWrite.Write(2, 1, buf.data(), done_));
    EXPECT_TRUE((::fcntl(readOnly.m_hVolume, F_GETFL) & O_ACCMODE) == O_RDONLY &&
                (::fcntl(readWrite.m_hVolume, F_GETFL) & O_ACCMODE) == O_RDWR);
    EXPECT_TRUE(env_.Sleeps().empty());

    done_ = ddone_ = 42;
    EXPECT_FALSE(readOnly.Write(1, 1, buf.data(), done_) || done_ != 42);
    EXPECT_FALSE(readOnly.Read(15, 2, buf.data(), done_) || done_ != 42);  // one sector short
    EXPECT_TRUE(env_.Sleeps().empty());
    EXPECT_FALSE(readOnly.DiskRead(15, 2, buf.data(), ddone_) || ddone_ != 0);
    EXPECT_EQ(env_.Sleeps(), (std::vector<unsigned long>{5000, 5000}));
    EXPECT_EQ(ReadFile(traces.File("readvollog")),
              "Read failed offset=7680 size=1024 returned=512 errorno=0  retrying\n"
              "Read failed offset=7680 size=1024 returned=512 errorno=0  retrying\n"
              "Failed to read  after =2 retry: offset=7680 BytesRead = 512, BytesToead = 1024\n");
    EXPECT_FALSE(readOnly.DiskWrite(0, 1, buf.data(), done_) || done_ != 0);
    EXPECT_EQ(env_.Sleeps(), std::vector<unsigned long>(4, 5000));
    EXPECT_EQ(ReadFile(image_), written);
    SetTraceDirectory(old);
}

struct PendingWhenLogged : TestEnv {
    KZVolume* volume = nullptr;
    std::vector<bool> pending;
    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override {
        if (kind == LogKind::Error && volume)
            pending.push_back(volume->IsPendingIO());
        TestEnv::Log(kind, level, context, message);
    }
};

// Pending before reading the descriptor: a Close elsewhere cannot close it under it.
TEST_F(RawIO, UnusableHandlesFailWhileCountedAsPending) {
    PendingWhenLogged env;
    KZVolumeUnix missing(dir_.File("absent"));
    EXPECT_FALSE(missing.Open() || missing.Open(1));
    char buf[512];
    env.volume = &missing;
    EXPECT_FALSE(missing.Read(0, 1, buf, done_) || missing.Write(0, 1, buf, done_));
    EXPECT_FALSE(missing.DiskRead(0, 1, buf, ddone_) || missing.DiskWrite(0, 1, buf, done_));
    EXPECT_FALSE(missing.SWSnapRead(0, 1, buf, done_) || missing.IsPendingIO());
    EXPECT_TRUE(env.pending.size() >= 5 &&
                std::count(env.pending.begin(), env.pending.end(), false) == 0);
    EXPECT_TRUE(missing.Seek(0, SEEK_SET) == -1 && env.Sleeps().empty());
}

// `bytes` of address space whose first `mapped` bytes all share one 1 MiB of memory.
char* AliasedBuffer(size_t bytes, size_t mapped) {
    const size_t window = 1 << 20;
    UniqueFd memory(::memfd_create("window", MFD_CLOEXEC));
    auto* data = static_cast<char*>(
        ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    bool ok = memory && ::ftruncate(memory.get(), window) == 0 && data != MAP_FAILED;
    for (size_t at = 0; ok && at < mapped; at += window)
        ok = ::mmap(data + at, std::min(window, mapped - at), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_FIXED | MAP_POPULATE, memory.get(), 0) != MAP_FAILED;
    return ok ? data : nullptr;
}

// 8388607 sectors fit a 32-bit byte count, one more is refused; Linux moves at most
// 2147479552 bytes per call, so a read a page over that takes two calls.
TEST_F(RawIO, LargestTransferAndTransfersOverOneCall) {
    const unsigned long most = 8388607;
    const size_t over = size_t{2147479552} + 4096;
    char* const data = AliasedBuffer((most + 1) * 512, over);
    KZVolumeUnix sink("/dev/null");
    ASSERT_TRUE(data && sink.Open());
    EXPECT_TRUE(sink.Write(0, most, data, done_) && done_ == most);
    EXPECT_TRUE(sink.DiskWrite(0, most, data, done_) && done_ == most);
    EXPECT_FALSE(sink.Write(0, most + 1, data, done_) || sink.DiskWrite(0, most + 1, data, done_) ||
                 sink.DiskWrite(0, 1UL << 40, data, done_) || done_ != 0);
    KZVolumeUnix small(image_);
    ASSERT_TRUE(small.Open(0));
    EXPECT_FALSE(small.Read(0, most + 1, data, done_) ||
                 small.DiskRead(0, most + 1, data, ddone_) || ddone_ != 0 ||
                 small.Read(1ULL << 60, 1, data, done_));
    EXPECT_TRUE(env_.Sleeps().empty());  // refused before any attempt
    EXPECT_EQ(ReadFile(image_), PatternImage(16));

    // Sparse but for its last sector: the window holds the tail if both calls landed.
    UniqueFd source(::memfd_create("source", MFD_CLOEXEC));
    ASSERT_EQ(::ftruncate(source.get(), static_cast<off_t>(over)), 0);
    ASSERT_EQ(::pwrite(source.get(), "tail", 5, static_cast<off_t>(over) - 512), 5);
    const std::string path = "/proc/self/fd/" + std::to_string(source.get());
    char* const last = data + over - 512;
    KZVolumeUnix vol(path), snapshot(kQnbfAdminNode);
    ASSERT_TRUE(vol.Open(1) && vol.DiskRead(0, over / 512, data, ddone_) && ddone_ == over / 512);
    EXPECT_STREQ(last, "tail");
    std::fill(last, last + 5, '\0');
    snapshot.m_strSnapId = path;
    ASSERT_TRUE(snapshot.SWSnapRead(0, over / 512, data, done_) && done_ == over / 512);
    EXPECT_STREQ(last, "tail");
    EXPECT_TRUE(env_.Sleeps().empty());
    ::munmap(data, (most + 1) * 512);
}

// A directory's reads fail: DiskRead waits to retry, counted, until Close has looked.
TEST_F(RawIO, CloseOnAnotherThreadWaitsForTransferInFlight) {
    std::atomic<bool> closeWaited{false}, readerDone{false};
    env_.on_sleep = [&](unsigned long ms) {
        if (ms == 2000)  // Close's wait: held until the reader is done
            closeWaited = true;
        while (!(ms == 2000 ? readerDone : closeWaited))
            std::this_thread::yield();
    };
    KZVolumeUnix vol(dir_.path());
    ASSERT_TRUE(vol.Open(1));
    std::thread reader([&] {
        char buf[512];
        EXPECT_FALSE(vol.DiskRead(0, 1, buf, ddone_));
        readerDone = true;
    });
    while (!vol.IsPendingIO())
        std::this_thread::yield();
    EXPECT_TRUE(vol.Close() && !vol.IsPendingIO() && vol.m_hVolume == -1);
    reader.join();
    const std::vector<unsigned long> sleeps = env_.Sleeps();  // Close waited once
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 2000ul), 1);
}

}  // namespace
}  // namespace kzvol::testing
