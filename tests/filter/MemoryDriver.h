// Fixture for unit tests that talk to the filter driver: a memory-mode stand-in
// driver in a temporary state directory, plugged into the request channel for the
// test's scope, with the capturing host services installed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "emulator/Emulator.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

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

    // Sends one request through the library's channel; 0 or the errno of the refusal.
    static int Send(unsigned long request, void* arg) {
        AdminReply reply = SendAdminRequest(request, arg);
        return reply.ret == 0 ? 0 : reply.err;
    }
    static int SendMinor(unsigned long request, uint32_t minor) { return Send(request, &minor); }

    // Adds (and starts) a filter device over `path`, declared with `size` bytes
    // when it is not a real file. Answers the minor, -1 on failure.
    int AddDevice(const std::string& path, uint64_t size, uint32_t extentBytes = 1 << 20,
                  bool start = true) {
        if (size)
            driver().DeclareVolume(path, size);
        qn_addnode_arg add{};
        std::snprintf(add.dev_path, sizeof add.dev_path, "%s", path.c_str());
        add.minor = -1;
        add.extent_bytes = extentBytes;
        if (Send(QNBF_ADD_NODE, &add) != 0)
            return -1;
        if (start && SendMinor(QNBF_START_NODE, static_cast<uint32_t>(add.minor)) != 0)
            return -1;
        return add.minor;
    }

    // Snapshots filter device `minor` with its files in the temporary directory.
    int Snap(int minor, const std::string& name = "snap") {
        qn_snapsync_arg sync{};
        sync.minor = minor;
        sync.snap_minor = -1;
        sync.chunk_size = 4096;
        std::snprintf(sync.map_file, sizeof sync.map_file, "%s", dir_.File(name + "map").c_str());
        std::snprintf(sync.data_file, sizeof sync.data_file, "%s", dir_.File(name).c_str());
        if (Send(QNBF_SNAP_SYNC, &sync) != 0)
            return -1;
        return sync.snap_minor;
    }

    TempDir dir_;
    TestEnv env_;

  private:
    std::unique_ptr<emulator::Emulator> driver_;
};

}  // namespace kzvol::testing
