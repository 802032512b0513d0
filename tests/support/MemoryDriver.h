// Filter driver requests through the library's channel, and the unit test fixture: a
// memory-mode stand-in driver plugged in for the test, with a chosen registry.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "emulator/Emulator.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "host/Handles.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {

// The shell line that regenerates the driver's boot script after a change.
constexpr char kBootScriptLine[] =
    "/sbin/kzsnap -c 'create_script' > /sbin/qnbf-bootscript1.rc.new && "
    "chmod 744 -- /sbin/qnbf-bootscript1.rc.new && sync -- /sbin/qnbf-bootscript1.rc.new && "
    "mv -f -- /sbin/qnbf-bootscript1.rc.new /sbin/qnbf-bootscript1.rc";

// Sends one request; 0 or the errno of the refusal.
inline int Send(unsigned long request, void* arg) {
    const AdminReply reply = SendAdminRequest(request, arg);
    return reply.ret == 0 ? 0 : reply.err;
}
inline int SendMinor(unsigned long request, uint32_t minor) {
    return Send(request, &minor);
}
// The driver's record of the device with `minor`; a refusal fails the test.
inline qn_getinfo_arg DriverInfo(int minor) {
    qn_getinfo_arg info{};
    info.minor = static_cast<uint32_t>(minor);
    EXPECT_EQ(Send(QNBF_GET_INFO, &info), 0);
    return info;
}

inline std::string FilterNode(int minor) {
    return "/dev/qnbf/qnbf" + std::to_string(minor);
}

// A driver-mode object (or one opened on `name`) bound to filter device `minor`.
inline std::unique_ptr<KZVolumeUnix> BoundVolume(int minor,
                                                 const std::string& name = kQnbfAdminNode) {
    auto volume = std::make_unique<KZVolumeUnix>(name);
    volume->m_QnbfNodeMinorno = minor;
    return volume;
}

// Writes 512 bytes of `byte` at byte `at` of the volume or image at `path`.
inline bool WriteSector(const std::string& path, uint64_t at, char byte) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    const std::string sector(512, byte);
    return fd && ::pwrite(fd.get(), sector.data(), 512, static_cast<off_t>(at)) == 512;
}

// The extent numbers whose bits are set, bit i in byte i / 8, least significant first.
inline std::vector<int> SetExtents(const std::vector<unsigned char>& bits) {
    std::vector<int> out;
    for (size_t i = 0; i < bits.size() * 8; ++i)
        if (bits[i / 8] & (1u << (i % 8)))
            out.push_back(static_cast<int>(i));
    return out;
}

// Starts `minor` if `start`: it, or minus the errno of a refusal.
inline int MinorOrError(int err, int minor, bool start) {
    if (!err && start)
        err = SendMinor(QNBF_START_NODE, static_cast<uint32_t>(minor));
    return err ? -err : minor;
}

// Adds (and starts) a filter device over `path`: its minor or minus the errno.
inline int AddFilter(const std::string& path, uint32_t extentBytes, bool start = true) {
    qn_addnode_arg add{};
    std::snprintf(add.dev_path, sizeof add.dev_path, "%s", path.c_str());
    add.minor = -1;
    add.extent_bytes = extentBytes;
    const int err = Send(QNBF_ADD_NODE, &add);  // before add.minor is read
    return MinorOrError(err, add.minor, start);
}

// Snapshots filter device `minor` into `data` (map in `data`map): its minor or -errno.
inline int SnapFilter(int minor, const std::string& data, bool start = false) {
    qn_snapsync_arg sync{};
    sync.minor = minor;
    sync.snap_minor = -1;
    sync.chunk_size = 4096;
    std::snprintf(sync.map_file, sizeof sync.map_file, "%smap", data.c_str());
    std::snprintf(sync.data_file, sizeof sync.data_file, "%s", data.c_str());
    const int err = Send(QNBF_SNAP_SYNC, &sync);
    return MinorOrError(err, sync.snap_minor, start);
}

// A bitmap request with the caller's buffer; 0 or the errno of the refusal.
inline int BitmapRequest(unsigned long request, int minor, uint32_t kind,
                         unsigned char* buffer = nullptr, uint32_t size = 0) {
    qn_bitmap_arg arg{static_cast<uint32_t>(minor), kind, size, buffer};
    return Send(request, &arg);
}

// The first `bytes` bytes of a bitmap (read and cleared when `clear`).
inline std::vector<unsigned char> GetBitmap(int minor, uint32_t kind, size_t bytes,
                                            bool clear = false) {
    std::vector<unsigned char> bits(bytes, 0xee);
    EXPECT_EQ(BitmapRequest(clear ? QNBF_GETCLR_BITMAP : QNBF_GET_BITMAP, minor, kind, bits.data(),
                            static_cast<uint32_t>(bytes)),
              0);
    return bits;
}

// Creates a stand-in driver with its state in `dir` and plugs it into the channel.
inline void StartDriver(const std::string& dir, emulator::Mode mode,
                        std::unique_ptr<emulator::Emulator>* driver) {
    std::string error;
    ASSERT_TRUE(emulator::Emulator::Create(dir, mode, &error)) << error;
    *driver = std::make_unique<emulator::Emulator>(dir);
    emulator::Plug(driver->get());
}

class MemoryDriver : public ::testing::Test {
  protected:
    void SetUp() override { StartDriver(state_dir(), emulator::Mode::Memory, &driver_); }
    void TearDown() override {
        ::unsetenv("KZVOL_CONFIG");
        emulator::Plug(nullptr);
    }

    std::string state_dir() const { return dir_.File("driver"); }
    emulator::Emulator& driver() { return *driver_; }
    // AddFilter over `path`, declared with `size` bytes unless 0 (a real file).
    int AddDevice(const std::string& path, uint64_t size, uint32_t extentBytes = 1 << 20,
                  bool start = true) {
        if (size)
            driver().DeclareVolume(path, size);
        return AddFilter(path, extentBytes, start);
    }
    int Snap(int minor, const std::string& name = "snap") {
        return SnapFilter(minor, dir_.File(name));
    }
    // KZVOL_CONFIG names a registry holding `text` until the test ends.
    void UseRegistry(const std::string& text) {
        ::setenv("KZVOL_CONFIG", dir_.Write("registry.ini", text).c_str(), 1);
    }

    TempDir dir_;
    TestEnv env_;

  private:
    std::unique_ptr<emulator::Emulator> driver_;
};

}  // namespace kzvol::testing
