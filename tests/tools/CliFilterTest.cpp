// The filter commands of the kzvol tool against a memory-mode stand-in driver that
// the test and the tool share through its state directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "emulator/Emulator.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

std::string Cli() {
    return KZVOL_CLI;
}

int Send(unsigned long request, void* arg) {
    return SendAdminRequest(request, arg).ret;
}

TEST(CliFilter, EmulatorLifeAndDeviceListing) {
    TempDir dir;
    const std::string state = dir.File("driver");
    std::string out;
    ASSERT_EQ(RunCommandLine(Cli() + " emulator start --memory --state " + state, &out), 0);
    EXPECT_NE(out.find("export KZVOL_EMULATOR=" + state), std::string::npos);

    // This process adds two devices and a snapshot; the tool sees the same driver.
    emulator::Emulator driver(state);
    emulator::Plug(&driver);
    driver.DeclareVolume("/dev/sdb1", 1000000000);
    driver.DeclareVolume("/dev/sdc", 4 << 20);
    int minors[2];
    const char* paths[2] = {"/dev/sdb1", "/dev/sdc"};
    for (int i = 0; i < 2; ++i) {
        qn_addnode_arg add{};
        std::strcpy(add.dev_path, paths[i]);
        add.extent_bytes = 1 << 20;
        ASSERT_EQ(Send(QNBF_ADD_NODE, &add), 0);
        minors[i] = add.minor;
        uint32_t m = static_cast<uint32_t>(add.minor);
        ASSERT_EQ(Send(QNBF_START_NODE, &m), 0);
    }
    qn_snapsync_arg sync{};
    sync.minor = minors[1];
    std::snprintf(sync.map_file, sizeof sync.map_file, "%s", dir.File("m").c_str());
    std::snprintf(sync.data_file, sizeof sync.data_file, "%s", dir.File("d").c_str());
    ASSERT_EQ(Send(QNBF_SNAP_SYNC, &sync), 0);
    emulator::Plug(nullptr);

    out.clear();
    ASSERT_EQ(RunCommandLine("KZVOL_EMULATOR=" + state + " " + Cli() + " devices", &out), 0);
    EXPECT_NE(out.find("MINOR  NODE"), std::string::npos) << out;
    EXPECT_NE(out.find("qnbf0        sdb1                           1000000000 -"),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("sdc                               4194304 " + std::to_string(sync.snap_minor)),
        std::string::npos)
        << out;
    std::string viaOption;
    ASSERT_EQ(RunCommandLine(Cli() + " --emulator " + state + " devices", &viaOption), 0);
    EXPECT_EQ(viaOption, out);

    out.clear();
    ASSERT_EQ(RunCommandLine(Cli() + " emulator status --state " + state, &out), 0);
    EXPECT_NE(out.find("running in memory mode"), std::string::npos);
    EXPECT_NE(out.find("3 device(s)"), std::string::npos);
    ASSERT_EQ(RunCommandLine(Cli() + " emulator stop --state " + state), 0);
    EXPECT_NE(::access(state.c_str(), F_OK), 0);
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " emulator status --state " + state, &out), 3);
    EXPECT_NE(out.find("stopped"), std::string::npos);
}

TEST(CliFilter, ProbeClassifiesPaths) {
    TempDir dir;
    std::string out;
    ASSERT_EQ(RunCommandLine(Cli() + " probe /dev/null", &out), 0);
    EXPECT_NE(out.find("device: yes\nkind: character\nfilter device: none\n"), std::string::npos)
        << out;
    out.clear();
    ASSERT_EQ(RunCommandLine(Cli() + " probe " + dir.Write("f", "x"), &out), 0);
    EXPECT_NE(out.find("device: no\nkind: file\n"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(RunCommandLine(Cli() + " probe " + dir.File("absent") + " 2>&1", &out), 1);
    EXPECT_EQ(out, "kzvol: cannot examine " + dir.File("absent") + ": No such file or directory\n");
}

TEST(CliFilter, DevicesWithoutADriverFails) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(RunCommandLine(Cli() + " --emulator " + dir.File("none") + " devices 2>&1", &out), 1);
    EXPECT_EQ(out.rfind("kzvol: cannot list the filter devices", 0), 0u) << out;
}

}  // namespace
}  // namespace kzvol::testing
