// A system test with the stand-in driver running in devices mode: its state in
// dir_/driver, plugged into the request channel for the test and shut down (its
// nodes and loop devices released) when the test ends.
#pragma once

#include <memory>
#include <string>

#include "emulator/Emulator.h"
#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

class StandInSystemTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped())
            return;
        std::string error;
        ASSERT_TRUE(
            emulator::Emulator::Create(dir_.File("driver"), emulator::Mode::Devices, &error))
            << error;
        driver_ = std::make_unique<emulator::Emulator>(dir_.File("driver"));
        emulator::Plug(driver_.get());
    }
    // For tests whose volume lives on zram: skipped where there is none.
    void SetUpOnZram() {
        if (!ZramDevice::Available())
            GTEST_SKIP() << "no zram here";
        StandInSystemTest::SetUp();
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
};

}  // namespace kzvol::testing
