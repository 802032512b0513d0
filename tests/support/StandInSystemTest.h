// A system test with the stand-in driver in devices mode (state in dir_/driver), shut down after.
#pragma once

#include "tests/support/MemoryDriver.h"
#include "tests/support/SystemHarness.h"

namespace kzvol::testing {

class StandInSystemTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (!IsSkipped())
            StartDriver(dir_.File("driver"), emulator::Mode::Devices, &driver_);
    }
    // For tests whose volume lives on zram: skipped where there is none.
    void SetUpOnZram() {
        if (!ZramDevice::Available())
            GTEST_SKIP() << "no zram here";
        StandInSystemTest::SetUp();
    }
    // A new ext3 zram volume of `bytes` under the filter, both bitmaps reset: its minor, or
    // -1 after a failure. zram_ outlives the driver.
    int FilteredExt3OnZram(uint64_t bytes, uint32_t extentBytes) {
        zram_ = std::make_unique<ZramDevice>(bytes);
        std::string out;
        if (!zram_->ok() ||
            RunCommandLine("mke2fs -q -F -t ext3 " + zram_->path() + " 2>&1", &out) != 0) {
            ADD_FAILURE() << "no ext3 file system on zram: " << out;
            return -1;
        }
        const int minor = AddFilter(zram_->path(), extentBytes);
        const bool reset = minor >= 0 &&
                           !BitmapRequest(QNBF_SET_BITMAP, minor, QNBF_KIND_INCREMENTAL) &&
                           !BitmapRequest(QNBF_SET_BITMAP, minor, QNBF_KIND_DIFFERENTIAL);
        EXPECT_TRUE(reset) << "cannot put " << zram_->path() << " under the filter";
        return reset ? minor : -1;
    }
    void TearDown() override {
        if (!driver_)
            return;
        std::string error;
        EXPECT_TRUE(driver_->Shutdown(true, &error)) << error;
        emulator::Plug(nullptr);
    }

    TempDir dir_;
    std::unique_ptr<emulator::Emulator> driver_;
    std::unique_ptr<ZramDevice> zram_;
};

}  // namespace kzvol::testing
