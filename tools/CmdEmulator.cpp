// kzvol emulator start|stop|status|add: prepares, tears down and shows the stand-in
// filter driver, and puts a volume under it. Devices mode (root) makes /dev/qnbf
// and its admin node in the current mount namespace; --memory keeps everything in
// the state directory.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "emulator/Emulator.h"
#include "filter/QnbfProtocol.h"
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

int SendOrFail(unsigned long request, void* arg, const std::string& what) {
    AdminReply reply = SendAdminRequest(request, arg);
    return reply.ret == 0 ? 0 : Fail(what + ": " + std::strerror(reply.err));
}

// Puts `path` under the stand-in as a started filter device with fresh bitmaps,
// as filter device creation leaves it, and prints its node.
int Add(const Options& opts, const std::string& dir, const std::string& path) {
    uint64_t extentBytes = 0;
    std::string error;
    if (!opts.GetU64("extent-size", 1 << 20, &extentBytes, &error))
        return Usage(error);
    if (extentBytes > UINT32_MAX)
        return Usage("--extent-size is too large");
    emulator::Emulator driver(dir);
    emulator::State state;
    if (!driver.Snapshot(&state))
        return Fail("no emulator state in " + dir);
    emulator::Plug(&driver);
    qn_addnode_arg add{};
    if (path.size() >= sizeof add.dev_path)
        return Usage("the path is too long");
    std::memcpy(add.dev_path, path.c_str(), path.size() + 1);
    add.minor = -1;
    add.extent_bytes = static_cast<uint32_t>(extentBytes);
    if (int rc = SendOrFail(QNBF_ADD_NODE, &add, "cannot put " + path + " under the filter"))
        return rc;
    uint32_t minor = static_cast<uint32_t>(add.minor);
    for (uint32_t kind : {QNBF_KIND_INCREMENTAL, QNBF_KIND_DIFFERENTIAL}) {
        qn_bitmap_arg reset{minor, kind, 0, nullptr};
        if (int rc = SendOrFail(QNBF_SET_BITMAP, &reset, "cannot reset the bitmaps"))
            return rc;
    }
    if (int rc = SendOrFail(QNBF_START_NODE, &minor, "cannot start the filter device"))
        return rc;
    std::printf("/dev/qnbf/qnbf%u\n", minor);
    return 0;
}

}  // namespace

int RunEmulator(const Words& args) {
    Options opts({"state", "extent-size"}, {"memory"});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    const bool adding = !opts.positional().empty() && opts.positional()[0] == "add";
    if (opts.positional().size() != (adding ? 2u : 1u))
        return Usage(adding ? "add wants one PATH"
                            : "wants one action: start, stop, status or add");
    const std::string& action = opts.positional()[0];
    const std::string dir = StateDir(opts);
    if (adding)
        return Add(opts, dir, opts.positional()[1]);
    if (action == "start")
        return Start(opts, dir);
    if (action == "stop")
        return Stop(dir);
    if (action == "status")
        return Status(dir);
    return Usage("unknown action '" + action + "' (start, stop, status or add)");
}

}  // namespace kzvol::cli
