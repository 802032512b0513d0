// One-line checks of kzvol and shell runs for the tool's tests: each runs with
// the exit status it must end with and answers what was printed.
#pragma once

#include <gmock/gmock.h>

#include <string>

#include "tests/support/Kzvol.h"

namespace kzvol::testing {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Runs `kzvol ARGS` expecting exit status `status`; answers both output streams.
inline std::string Kz(int status, const std::string& args) {
    std::string out;
    EXPECT_EQ(Kzvol(args, &out), status) << "kzvol " << args << "\n" << out;
    return out;
}

// Runs the shell `line` expecting exit status `status`; answers its standard output.
inline std::string Sh(int status, const std::string& line) {
    std::string out;
    EXPECT_EQ(RunCommandLine(line, &out), status) << line << "\n" << out;
    return out;
}

// The names in `dir`, hidden ones too, one a line.
inline std::string Listing(const std::string& dir) {
    return Sh(0, "ls -A " + dir);
}

}  // namespace kzvol::testing
