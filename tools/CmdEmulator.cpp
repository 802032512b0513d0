// kzvol emulator start|stop|status: prepares, tears down and shows the stand-in
// filter driver. Devices mode (root) makes /dev/qnbf and its admin node in the
// current mount namespace; --memory keeps everything in the state directory.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "emulator/Emulator.h"
#include "tools/Commands.h"
#include "tools/EmulatorSelect.h"
#include "tools/Options.h"

namespace kzvol::cli {
namespace {

std::string StateDir(const Options& opts) {
    if (opts.Has("state"))
        return opts.Get("state");
    const char* env = std::getenv(kEmulatorVariable);
    return env && *env ? env : kDefaultEmulatorDir;
}

const char* StateName(emulator::NodeState s) {
    switch (s) {
        case emulator::NodeState::Added:
            return "added";
        case emulator::NodeState::Started:
            return "started";
        default:
            return "defunct";
    }
}

int Start(const Options& opts, const std::string& dir) {
    bool memory = opts.Has("memory");
    if (!memory && ::geteuid() != 0)
        return Fail("devices mode needs root (or use --memory)");
    std::string error;
    if (!emulator::Emulator::Create(dir, memory ? emulator::Mode::Memory : emulator::Mode::Devices,
                                    &error))
        return Fail(error);
    std::printf("emulator started in %s mode, state in %s\nexport %s=%s\n",
                memory ? "memory" : "devices", dir.c_str(), kEmulatorVariable, dir.c_str());
    return 0;
}

int Stop(const std::string& dir) {
    emulator::Emulator driver(dir);
    emulator::State state;
    if (!driver.Snapshot(&state))
        return Fail("no emulator state in " + dir);
    std::string error;
    bool ok = driver.Shutdown(true, &error);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!ok)
        return Fail(error);
    if (ec)
        return Fail("cannot remove " + dir + ": " + ec.message());
    std::printf("emulator stopped\n");
    return 0;
}

int Status(const std::string& dir) {
    emulator::Emulator driver(dir);
    emulator::State state;
    if (!driver.Snapshot(&state)) {
        std::printf("emulator: stopped (no state in %s)\n", dir.c_str());
        return 3;
    }
    std::printf("emulator: running in %s mode, state in %s, %zu device(s)\n",
                state.mode == emulator::Mode::Devices ? "devices" : "memory", dir.c_str(),
                state.devices.size());
    for (const emulator::Device& d : state.devices) {
        std::printf("  minor %u %s %s %s\n", d.minor, d.snapshot ? "snapshot" : "filter",
                    StateName(d.state), d.snapshot ? d.data_file.c_str() : d.underlying.c_str());
    }
    return 0;
}

}  // namespace

int RunEmulator(const Words& args) {
    Options opts({"state"}, {"memory"});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1)
        return Usage("wants one action: start, stop or status");
    const std::string& action = opts.positional()[0];
    const std::string dir = StateDir(opts);
    if (action == "start")
        return Start(opts, dir);
    if (action == "stop")
        return Stop(dir);
    if (action == "status")
        return Status(dir);
    return Usage("unknown action '" + action + "' (start, stop or status)");
}

}  // namespace kzvol::cli
