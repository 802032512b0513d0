// Requests to the filter driver through the library's channel, shared with the
// devices-mode system tests, and the fixture for unit tests: a memory-mode stand-in
// driver in a temporary state directory, plugged into the channel for the test's
// scope, with the capturing host services installed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emulator/Emulator.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

// Sends one request; 0 or the errno of the refusal.
inline int Send(unsigned long request, void* arg) {
    AdminReply reply = SendAdminRequest(request, arg);
    return reply.ret == 0 ? 0 : reply.err;
}
inline int SendMinor(unsigned long request, uint32_t minor) {
    return Send(request, &minor);
}

inline std::string FilterNode(int minor) {
    return "/dev/qnbf/qnbf" + std::to_string(minor);
}

// Starts the new device `minor` if `start`; answers it or minus the errno of a refusal.
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
    int err = Send(QNBF_ADD_NODE, &add);
    return MinorOrError(err, add.minor, start);
}

// Snapshots filter device `minor` into the file `data`, its map into `data` + "map":
// the snapshot's minor or minus the errno.
inline int SnapFilter(int minor, const std::string& data, bool start = false) {
    qn_snapsync_arg sync{};
    sync.minor = minor;
    sync.snap_minor = -1;
    sync.chunk_size = 4096;
    std::snprintf(sync.map_file, sizeof sync.map_file, "%smap", data.c_str());
    std::snprintf(sync.data_file, sizeof sync.data_file, "%s", data.c_str());
    int err = Send(QNBF_SNAP_SYNC, &sync);
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

class MemoryDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(emulator::Emulator::Create(state_dir(), emulator::Mode::Memory, &error))
            << error;
        driver_ = std::make_unique<emulator::Emulator>(state_dir());
        emulator::Plug(driver_.get());
    }
    void TearDown() override { emulator::Plug(nullptr); }

    std::string state_dir() const { return dir_.File("driver"); }
    emulator::Emulator& driver() { return *driver_; }

    // AddFilter over `path`, declared with `size` bytes unless it is a real file.
    int AddDevice(const std::string& path, uint64_t size, uint32_t extentBytes = 1 << 20,
                  bool start = true) {
        if (size)
            driver().DeclareVolume(path, size);
        return AddFilter(path, extentBytes, start);
    }
    // Snapshots into the temporary directory: files `name` and `name`map.
    int Snap(int minor, const std::string& name = "snap") {
        return SnapFilter(minor, dir_.File(name));
    }

    TempDir dir_;
    TestEnv env_;

  private:
    std::unique_ptr<emulator::Emulator> driver_;
};

}  // namespace kzvol::testing
