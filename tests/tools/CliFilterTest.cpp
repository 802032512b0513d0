// The kzvol tool's commands on filter devices against a memory-mode stand-in
// driver, run as a user runs them: a volume put under the stand-in and taken out
// again, its information, its change bitmaps and a snapshot's whole life.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "tests/tools/Kzvol.h"

namespace kzvol::testing {
namespace {

constexpr auto npos = std::string::npos;

class CliStandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string out;
        ASSERT_EQ(Kzvol("emulator start --memory --state " + state_, &out), 0) << out;
    }
    void TearDown() override {
        std::string out;
        Kzvol("emulator stop --state " + state_, &out);
    }
    // kzvol with the stand-in selected.
    int Run(const std::string& args, std::string* out) {
        return Kzvol("--emulator " + state_ + " " + args, out);
    }
    // Puts a file of `bytes` bytes under the stand-in: its node.
    std::string AddVolume(const std::string& name, size_t bytes, const std::string& extent) {
        std::string out;
        std::string path = dir_.Write(name, std::string(bytes, '\0'));
        EXPECT_EQ(Run("emulator add " + path + " --extent-size " + extent, &out), 0) << out;
        size_t blank = out.find(' ');
        return blank == npos ? "" : out.substr(blank + 1, out.size() - blank - 2);
    }

    TempDir dir_;
    const std::string state_ = dir_.File("driver");
};

TEST_F(CliStandIn, VolumeGoesUnderTheStandInAndOutAgain) {
    std::string out;
    const std::string image = dir_.Write("vol.img", std::string(1 << 20, 'x'));
    ASSERT_EQ(Run("emulator add " + image + " --extent-size 65536", &out), 0);
    EXPECT_EQ(out, "0 /dev/qnbf/qnbf0\n");
    EXPECT_EQ(Run("emulator add " + image, &out), 1);
    EXPECT_EQ(out, "kzvol: " + image + " is already under the stand-in (kzvol devices lists it)\n");
    EXPECT_EQ(Run("emulator add " + image + " --extent-size 1000", &out), 2);
    EXPECT_EQ(Run("emulator add", &out), 2);
    // KZVOL_EMULATOR names the state as well as --emulator does.
    out.clear();
    ASSERT_EQ(RunCommandLine("KZVOL_EMULATOR=" + state_ + " " + Cli() + " devices", &out), 0);
    std::vector<std::string> row;
    std::istringstream fields(Split(out).at(1));
    for (std::string f; fields >> f;)
        row.push_back(f);
    EXPECT_EQ(row, std::vector<std::string>({"0", "qnbf0", "vol.img", "1048576", "-", "2", "2"}));
    ASSERT_EQ(Run("emulator remove /dev/qnbf/qnbf0", &out), 0);
    EXPECT_EQ(out, "removed /dev/qnbf/qnbf0\n");
    EXPECT_EQ(Run("emulator remove /dev/qnbf/qnbf0", &out), 1);
    EXPECT_EQ(Kzvol("emulator add " + image + " --state " + dir_.File("none"), &out), 1);
    EXPECT_NE(out.find("no stand-in driver in " + dir_.File("none")), npos) << out;
    EXPECT_EQ(ReadFile(image), std::string(1 << 20, 'x'));  // the caller's file is only read
}

}  // namespace
}  // namespace kzvol::testing
