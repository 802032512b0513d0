// One-line checks of kzvol and shell runs with the exit status each must end with,
// answering what was printed; and a fixture keeping a stand-in driver for a test.
#pragma once

#include <gmock/gmock.h>

#include <string>

#include "tests/support/Kzvol.h"

namespace kzvol::testing {

using ::testing::AllOf, ::testing::HasSubstr, ::testing::Not, ::testing::StartsWith;

// Runs `kzvol ARGS` expecting exit status `status`; answers both output streams.
inline std::string Kz(int status, const std::string& args) {
    std::string out;
    EXPECT_EQ(Kzvol(args, &out), status) << "kzvol " << args << "\n" << out;
    return out;
}

// Runs `kzvol ARGS` expecting `status`: its standard output, its standard error in *err.
inline std::string KzErr(int status, const std::string& args, std::string* err) {
    TempDir dir;
    const std::string out = Sh(status, Cli() + " " + args + " 2>" + dir.File("err"));
    *err = ReadFile(dir.File("err"));
    return out;
}

// A memory-mode stand-in driver with its state in the test's folder.
class StandInCli : public ::testing::Test {
  protected:
    void SetUp() override { Kz(0, "emulator start --memory --state " + state_); }
    void TearDown() override { Kz(0, "emulator stop --state " + state_); }
    std::string Run(int status, const std::string& args) {
        return Kz(status, "--emulator " + state_ + " " + args);
    }

    TempDir dir_;
    const std::string state_ = dir_.File("driver");
};

}  // namespace kzvol::testing
