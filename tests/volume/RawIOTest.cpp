// The volume object (names, ownership of descriptors, the quit flag, the
// installation lookups) and raw sector I/O on regular files: addressing, short
// transfers, retries, the 32-bit limit, Close waiting for transfers in flight,
// and the trace files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <thread>
#include <vector>

#include "filter/DriverChannel.h"
#include "host/Handles.h"
#include "host/TraceFile.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

TEST(VolumeObject, InvalidDescriptorObjectRefusesEverything) {
    TestEnv env;
    {
        KZVolumeUnix vol(-1);
        EXPECT_FALSE(vol.IsValid());
        EXPECT_FALSE(vol.IsOpen());
        EXPECT_FALSE(vol.Open());
        EXPECT_FALSE(vol.Open(1));
        EXPECT_TRUE(vol.Close());
    }
    EXPECT_EQ(env.CountLogs("Trying to open volume on invalid KZVolumeUnix object"), 2);
}

// The caller's descriptor is never closed; the object's own ones always are.
TEST(VolumeObject, DescriptorOwnership) {
    TempDir dir;
    std::string path = dir.Write("img", std::string(4096, 'x'));
    EXPECT_EQ(KZVolumeUnix(path + "/").GetVolumeName(), path);  // the trailing slash goes
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        KZVolumeUnix vol(fd);
        EXPECT_TRUE(vol.IsOpen());
        EXPECT_TRUE(vol.Close());
        EXPECT_EQ(vol.m_hVolume, fd);
    }
    EXPECT_EQ(::fcntl(fd, F_GETFD), 0) << "descriptor was closed";
    ::close(fd);
    const int before = OpenDescriptorCount();
    {
        KZVolumeUnix vol(path);
        ASSERT_TRUE(vol.Open(1));
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(VolumeObject, QuitFlag) {
    KZVolumeUnix vol("/dev/sdb1");
    bool quit = true;
    EXPECT_EQ(QuitFlagCheck(99, &vol, &quit), 0);
    EXPECT_FALSE(quit);
    KZJobCtrlClient job;
    vol.m_pJobCtrlClient = &job;
    EXPECT_FALSE(vol.QuitNow());
    job.requestQuit();
    EXPECT_TRUE(vol.QuitNow());
    EXPECT_EQ(QuitFlagCheck(0, &vol, &quit), 0);
    EXPECT_TRUE(quit);
}

TEST(VolumeObject, InstallationLookups) {
    TempDir dir;
    std::string cfg = dir.Write("registry.ini",
                                "[Base]\ndBASEHOME=/opt/kz/base\nsInstanceName=Instance002\n"
                                "[EventManager]\ndEVLOGDIR=/var/log/kz\n"
                                "[Machines/client1]\ndJOBRESULTSDIR=/var/kz/jr\n");
    ::setenv("KZVOL_CONFIG", cfg.c_str(), 1);
    KZVolumeUnix vol("/dev/sdb1");
    char buf[64];
    int len = sizeof buf;
    EXPECT_FALSE(vol.get_job_results_dir(buf, &len));  // no client named yet
    vol.setClntDisplayName("client1");
    std::string text;
    using Getter = bool (KZVolumeUnix::*)(char*, int*);
    for (auto [get, expected] :
         {std::pair<Getter, const char*>{&KZVolumeUnix::get_job_results_dir, "/var/kz/jr"},
          {&KZVolumeUnix::get_base_dir, "/opt/kz/base"},
          {&KZVolumeUnix::get_log_dir, "/var/log/kz"}}) {
        len = sizeof buf;
        ASSERT_TRUE((vol.*get)(buf, &len)) << expected;
        EXPECT_STREQ(buf, expected);
    }
    EXPECT_TRUE(vol.get_instance(text));
    EXPECT_EQ(text, "Instance002");
    ::unsetenv("KZVOL_CONFIG");
}

// An image whose sector k is filled with the byte k.
std::string PatternImage(int sectors) {
    std::string data;
    for (int k = 0; k < sectors; ++k)
        data.append(512, static_cast<char>(k));
    return data;
}

class RawIO : public ::testing::Test {
  protected:
    void SetUp() override { image_ = dir_.Write("disk.img", PatternImage(16)); }
    TestEnv env_;
    TempDir dir_;
    std::string image_;
};

// Sectors are addressed in 512-byte units; zero-sector transfers succeed and
// touch nothing.
TEST_F(RawIO, ReadAddressesSectors) {
    KZVolumeUnix vol(image_);
    ASSERT_TRUE(vol.Open(0));
    std::vector<char> buf(1024, '?');
    unsigned long done = 99;
    ASSERT_TRUE(vol.Read(3, 2, buf.data(), done));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(std::string(buf.data(), 1024), PatternImage(16).substr(3 * 512, 1024));
    unsigned int ddone = 7;
    ASSERT_TRUE(vol.DiskRead(15, 1, buf.data(), ddone));
    EXPECT_EQ(ddone, 1u);
    EXPECT_EQ(std::string(buf.data(), 512), std::string(512, 15));

    buf.assign(4, 'a');
    EXPECT_TRUE(vol.Read(2, 0, buf.data(), done));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(vol.Write(2, 0, buf.data(), done));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(vol.DiskRead(2, 0, buf.data(), ddone));
    EXPECT_EQ(ddone, 0u);
    EXPECT_EQ(std::string(buf.data(), 4), "aaaa");
    EXPECT_EQ(ReadFile(image_), PatternImage(16));
    EXPECT_TRUE(env_.Sleeps().empty());
}

// A short or failed transfer fails. DiskRead and DiskWrite try twice, waiting
// five seconds after each attempt; Read gives up at once.
TEST_F(RawIO, FailedTransfers) {
    KZVolumeUnix vol(image_);
    ASSERT_TRUE(vol.Open(1));
    std::vector<char> buf(1024);
    unsigned long done = 42;
    EXPECT_FALSE(vol.Read(15, 2, buf.data(), done));
    EXPECT_EQ(done, 42u) << "Read leaves done alone on failure";
    EXPECT_TRUE(env_.HasError("Failed to read : errno 0  BytesRead = 512, BytesToead = 1024\n"));
    unsigned int ddone = 42;
    EXPECT_FALSE(vol.DiskRead(15, 2, buf.data(), ddone));
    EXPECT_EQ(ddone, 0u) << "DiskRead leaves done at 0 on failure";
    EXPECT_EQ(env_.Sleeps(), (std::vector<unsigned long>{5000, 5000}));
    EXPECT_EQ(env_.CountLogs("Failed to read :offset=7680  BytesRead = 512, BytesToead = 1024\n"),
              2);
    EXPECT_TRUE(env_.HasError(
        "Failed to read  after =2 retry: offset=7680 BytesRead = 512, BytesToead = 1024\n"));
    // Writes through a read-only descriptor, reads through a write-only one.
    EXPECT_FALSE(vol.DiskWrite(0, 1, buf.data(), done));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(env_.HasError(
        "Failed to Write : offset=0 BytesRead = -1, BytesToead = 512 after =2 retry \n"));
    int fd = ::open(image_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    KZVolumeUnix writeOnly(fd);
    ddone = 1;
    EXPECT_FALSE(writeOnly.DiskRead(0, 1, buf.data(), ddone));
    EXPECT_EQ(ddone, 0u);
    EXPECT_EQ(env_.Sleeps(), std::vector<unsigned long>(6, 5000));
    EXPECT_EQ(env_.CountLogs("Failed to read :offset=0  BytesRead = -1, BytesToead = 512\n"), 2);
    ::close(fd);
}

// Mode 1 opens read-only, any other read-write; Seek moves the descriptor.
TEST_F(RawIO, ReadOnlyVersusReadWriteOpens) {
    std::vector<char> buf(512, 'Z');
    unsigned long done = 0;
    for (int mode : {1, 0, 2}) {
        KZVolumeUnix vol(image_);
        ASSERT_TRUE(vol.Open(mode));
        EXPECT_EQ(::fcntl(vol.m_hVolume, F_GETFL) & O_ACCMODE, mode == 1 ? O_RDONLY : O_RDWR);
        EXPECT_EQ(vol.Write(1, 1, buf.data(), done), mode != 1) << mode;
    }
    KZVolumeUnix rw(image_);
    ASSERT_TRUE(rw.Open());
    EXPECT_TRUE(rw.Open()) << "already open is success";
    EXPECT_EQ(rw.Seek(1024, SEEK_SET), 0);
    EXPECT_EQ(::lseek(rw.m_hVolume, 0, SEEK_CUR), 1024);
    unsigned long wdone = 0;
    ASSERT_TRUE(rw.DiskWrite(2, 1, buf.data(), wdone));
    EXPECT_EQ(wdone, 1u);
    std::string expected = PatternImage(16);
    expected.replace(512, 1024, 1024, 'Z');
    EXPECT_EQ(ReadFile(image_), expected);
}

// Notes, for every Error line, whether a transfer of `volume` counted as pending.
class PendingWhenLogged : public TestEnv {
  public:
    KZVolume* volume = nullptr;
    std::vector<bool> pending;
    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override {
        if (kind == LogKind::Error && volume)
            pending.push_back(volume->IsPendingIO());
        TestEnv::Log(kind, level, context, message);
    }
};

TEST_F(RawIO, OpenFailuresAndUnusableHandles) {
    PendingWhenLogged env;
    KZVolumeUnix missing(dir_.File("absent"));
    EXPECT_FALSE(missing.Open());
    EXPECT_FALSE(missing.Open(1));
    EXPECT_TRUE(env.HasError("Failed to Open Volume " + dir_.File("absent") + " \n"));
    EXPECT_TRUE(env.HasError("Failed to Open Volume " + dir_.File("absent") + " errno=2\n"));
    char buf[512];
    unsigned long done = 0;
    unsigned int ddone = 0;
    // Each transfer counts as pending before it reads the descriptor, so that a
    // Close on another thread cannot close it (and let its number be reused)
    // under the transfer: the handle is found unusable while the count is up.
    env.volume = &missing;
    EXPECT_FALSE(missing.Read(0, 1, buf, done));
    EXPECT_FALSE(missing.Write(0, 1, buf, done));
    EXPECT_FALSE(missing.DiskRead(0, 1, buf, ddone));
    EXPECT_FALSE(missing.DiskWrite(0, 1, buf, done));
    EXPECT_FALSE(missing.SWSnapRead(0, 1, buf, done));
    EXPECT_GE(env.pending.size(), 5u);
    EXPECT_EQ(std::count(env.pending.begin(), env.pending.end(), false), 0);
    EXPECT_FALSE(missing.IsPendingIO());
    env.volume = nullptr;
    EXPECT_TRUE(env.HasError("Invalid volume handle \n"));
    EXPECT_EQ(env.CountLogs("Invalid Volume Handle \n"), 3);
    EXPECT_EQ(missing.Seek(0, SEEK_SET), -1);
    EXPECT_TRUE(env.HasError("Seek failed: (9  Bad file descriptor)"));
    EXPECT_TRUE(env.Sleeps().empty());
}

// Linux moves at most 2147479552 bytes in one call: a 3 GiB transfer takes
// several calls and succeeds at its first attempt.
TEST_F(RawIO, TransfersLargerThanOneCallComplete) {
    const size_t bytes = size_t{3} << 30;
    const unsigned int sectors = static_cast<unsigned int>(bytes / 512);
    const std::string sparse = dir_.File("sparse.img");
    {
        UniqueFd fd(::open(sparse.c_str(), O_WRONLY | O_CREAT, 0600));
        ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(bytes) + 512), 0);
        ASSERT_EQ(::pwrite(fd.get(), "tail", 4, static_cast<off_t>(bytes) - 512), 4);
    }
    void* mem = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    char* buf = static_cast<char*>(mem);
    KZVolumeUnix vol(sparse), sink("/dev/null");
    ASSERT_TRUE(vol.Open(1));
    ASSERT_TRUE(sink.Open());
    unsigned int ddone = 0;
    unsigned long done = 0;
    EXPECT_TRUE(vol.DiskRead(0, sectors, buf, ddone));
    EXPECT_EQ(ddone, sectors);
    EXPECT_EQ(std::string(buf + bytes - 512, 5), std::string("tail", 5));
    EXPECT_TRUE(sink.Write(0, sectors, buf, done));
    EXPECT_TRUE(sink.DiskWrite(0, sectors, buf, done));
    EXPECT_EQ(done, sectors);
    // The snapshot read too; just over one call's worth, from /dev/zero to save time.
    KZVolumeUnix snapshot(kQnbfAdminNode);
    snapshot.m_strSnapId = "/dev/zero";
    EXPECT_TRUE(snapshot.SWSnapRead(0, 4194304, buf, done));
    EXPECT_EQ(done, 4194304u);
    ::munmap(mem, bytes);
    EXPECT_TRUE(env_.Sleeps().empty());
}

TEST_F(RawIO, TransfersThatWouldWrapTheByteCountAreRefused) {
    KZVolumeUnix vol(image_);
    ASSERT_TRUE(vol.Open(0));
    char buf[512];
    unsigned long done = 3;
    unsigned int ddone = 3;
    EXPECT_FALSE(vol.Read(0, 8388608, buf, done));
    EXPECT_FALSE(vol.Write(0, 8388608, buf, done));
    EXPECT_FALSE(vol.DiskRead(0, 8388608, buf, ddone));
    EXPECT_FALSE(vol.DiskWrite(0, 1UL << 40, buf, done));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(ddone, 0u);
    EXPECT_TRUE(env_.Sleeps().empty()) << "refused before any attempt";
    EXPECT_EQ(ReadFile(image_), PatternImage(16)) << "nothing written";
    EXPECT_FALSE(vol.Read(1ULL << 60, 1, buf, done));
}

TEST_F(RawIO, CloseOnAnotherThreadWaitsForTransferInFlight) {
    // Reads of a directory fail, so DiskRead sits in its retry wait with the
    // transfer counter raised; the wait is held until Close has looked once.
    std::mutex mu;
    std::condition_variable cv;
    bool closeWaited = false;
    std::atomic<bool> readerDone{false};
    env_.on_sleep = [&](unsigned long ms) {
        std::unique_lock<std::mutex> lock(mu);
        if (ms == 2000) {
            closeWaited = true;
            cv.notify_all();
            lock.unlock();
            while (!readerDone)
                std::this_thread::yield();
        } else {
            cv.wait(lock, [&] { return closeWaited; });
        }
    };
    KZVolumeUnix vol(dir_.path());
    ASSERT_TRUE(vol.Open(1));
    std::thread reader([&] {
        char buf[512];
        unsigned int done = 0;
        EXPECT_FALSE(vol.DiskRead(0, 1, buf, done));
        readerDone = true;
    });
    while (!vol.IsPendingIO())
        std::this_thread::yield();
    EXPECT_TRUE(vol.Close());
    EXPECT_FALSE(vol.IsPendingIO());
    EXPECT_EQ(vol.m_hVolume, -1);
    reader.join();
    EXPECT_EQ(env_.CountLogs("pending io count=1 will wait \n", "KZVolumeUnix::Close:"), 1)
        << "the counter stays raised between the two attempts";
    EXPECT_TRUE(readerDone);
}

class RawIOTrace : public RawIO {
  protected:
    void SetUp() override {
        RawIO::SetUp();
        old_ = SetTraceDirectory(traceDir_.path());
        traceDir_.Write("debugkzvol", "");
    }
    void TearDown() override { SetTraceDirectory(old_); }
    TempDir traceDir_;
    std::string old_;
};

TEST_F(RawIOTrace, TraceHoldsOnlyTheLastCall) {
    KZVolumeUnix vol(image_);
    ASSERT_TRUE(vol.Open(0));
    char buf[1024];
    unsigned long done;
    ASSERT_TRUE(vol.Read(1, 1, buf, done));
    ASSERT_TRUE(vol.Read(3, 2, buf, done));
    std::string expected =
        "\n reading for volume=" + std::to_string(vol.m_hVolume) + " \t offset=1536 \t size=1024";
    EXPECT_EQ(ReadFile(traceDir_.File("readvollog")), expected);
    ASSERT_TRUE(vol.Write(2, 1, buf, done));
    EXPECT_EQ(
        ReadFile(traceDir_.File("writevollog")),
        "\n writing for volume=" + std::to_string(vol.m_hVolume) + " \t offset=1024 \t size=512");

    unsigned int ddone;
    EXPECT_FALSE(vol.DiskRead(15, 2, buf, ddone));
    EXPECT_EQ(ReadFile(traceDir_.File("readvollog")),
              "Read failed offset=7680 size=1024 returned=512 errorno=0  retrying\n"
              "Read failed offset=7680 size=1024 returned=512 errorno=0  retrying\n"
              "Failed to read  after =2 retry: offset=7680 BytesRead = 512, BytesToead = 1024\n");
}

TEST_F(RawIOTrace, SymlinkAtTracePathIsLeftAlone) {
    std::string victim = dir_.Write("victim", "keep me");
    ASSERT_EQ(::symlink(victim.c_str(), traceDir_.File("readvollog").c_str()), 0);
    KZVolumeUnix vol(image_);
    ASSERT_TRUE(vol.Open(1));
    char buf[512];
    unsigned long done;
    ASSERT_TRUE(vol.Read(0, 1, buf, done)) << "tracing trouble never fails the transfer";
    EXPECT_EQ(ReadFile(victim), "keep me");
    struct stat st;
    ASSERT_EQ(::lstat(traceDir_.File("readvollog").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace
}  // namespace kzvol::testing
