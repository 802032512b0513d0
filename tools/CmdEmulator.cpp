// kzvol emulator start|stop|status|add|remove: prepares, tears down and shows the
// stand-in filter driver, and puts volumes under it and takes them out as the
// driver's own administration tool would. Devices mode (root) makes /dev/qnbf and
// its admin node in the current mount namespace; --memory keeps everything in the
// state directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "emulator/Emulator.h"
#include "emulator/HostOps.h"
#include "emulator/KzsnapTool.h"
#include "emulator/ServeClient.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfLookup.h"
#include "filter/QnbfProtocol.h"
#include "tools/Commands.h"
#include "tools/EmulatorSelect.h"
#include "tools/Options.h"

namespace kzvol::cli {
namespace {

constexpr uint64_t kDefaultExtentBytes = 2 << 20;

std::string StateDir(const Options& opts) {
    if (opts.Has("state"))
        return opts.Get("state");
    if (!SelectedEmulatorDir().empty())
        return SelectedEmulatorDir();
    const char* env = std::getenv(kEmulatorVariable);
    return env && *env ? env : kDefaultEmulatorDir;
}

// One request to the stand-in's admin node: 0, or the errno of the refusal (or of
// the failed open, with *opened false).
int Send(unsigned long request, void* arg, bool* opened = nullptr) {
    AdminReply reply = SendAdminRequest(request, arg);
    if (opened)
        *opened = reply.opened;
    return reply.ret == 0 ? 0 : (reply.err ? reply.err : EIO);
}

int SendMinor(unsigned long request, uint32_t minor) {
    return Send(request, &minor);
}

std::string NoDriver(const std::string& dir) {
    return "no stand-in driver in " + dir + " (start one with kzvol emulator start)";
}

// Sends the driver requests of this process to the stand-in kept in `dir`.
void PlugState(const std::string& dir) {
    if (SelectedEmulatorDir() == dir)
        return;
    static std::unique_ptr<emulator::Emulator> own;
    own = std::make_unique<emulator::Emulator>(dir);
    emulator::Plug(own.get());
}

bool ValidExtent(uint64_t bytes) {
    return bytes >= 512 && bytes <= UINT32_MAX && (bytes & (bytes - 1)) == 0;
}

std::string AddRefusal(const std::string& path, int err) {
    switch (err) {
        case EEXIST:
            return path + " is already under the stand-in (kzvol devices lists it)";
        case ENOTBLK:
            return path + " is not a block device: devices mode filters block devices only";
        case ENOSPC:
            return "the stand-in holds 256 filter devices already; remove one first";
        default:
            return "cannot put " + path + " under the stand-in: " + std::strerror(err);
    }
}

int Add(const Options& opts, const std::string& dir) {
    if (opts.positional().size() != 2)
        return Usage("add wants one PATH");
    uint64_t extent = 0;
    std::string error;
    if (!opts.GetU64("extent-size", kDefaultExtentBytes, &extent, &error))
        return Usage(error);
    if (!ValidExtent(extent))
        return Usage("--extent-size wants a power of two from 512 to 2147483648 bytes");
    std::error_code ec;
    const std::string path = std::filesystem::absolute(opts.positional()[1], ec).string();
    struct stat st;
    if (ec || ::stat(path.c_str(), &st) != 0)
        return Fail("cannot use " + opts.positional()[1] + ": " + std::strerror(errno));
    qn_addnode_arg add;
    std::memset(&add, 0, sizeof add);
    if (path.size() >= sizeof add.dev_path)
        return Usage("PATH is longer than 1023 characters");
    std::memcpy(add.dev_path, path.c_str(), path.size());
    add.minor = -1;
    add.extent_bytes = static_cast<uint32_t>(extent);

    PlugState(dir);
    bool opened = false;
    if (int err = Send(QNBF_ADD_NODE, &add, &opened))
        return Fail(opened ? AddRefusal(path, err) : NoDriver(dir));
    const uint32_t minor = static_cast<uint32_t>(add.minor);
    int err = SendMinor(QNBF_START_NODE, minor);
    // Both bitmaps start empty and tracked, as a newly filtered volume's do.
    for (uint32_t kind : {QNBF_KIND_INCREMENTAL, QNBF_KIND_DIFFERENTIAL}) {
        qn_bitmap_arg reset{minor, kind, 0, nullptr};
        if (!err)
            err = Send(QNBF_SET_BITMAP, &reset);
    }
    if (err) {
        SendMinor(QNBF_DEFUNCT_NODE, minor);
        SendMinor(QNBF_DELETE_NODE, minor);
        return Fail("cannot start the filter device over " + path + ": " + std::strerror(err));
    }
    std::printf("%u %s%u\n", minor, kQnbfNodePrefix, minor);
    return 0;
}

// Devices mode: EBUSY when the loop device behind filter device `minor` is mounted
// or held exclusively.
int NodeBusy(const std::string& dir, uint32_t minor) {
    emulator::State state;
    if (!emulator::Emulator(dir).Snapshot(&state))
        return 0;
    emulator::Device* d = state.Find(minor);
    return d && d->loop_minor >= 0 ? emulator::LoopBusy(d->loop_minor) : 0;
}

int Remove(const Options& opts, const std::string& dir) {
    if (opts.positional().size() != 2)
        return Usage("remove wants one NODE");
    const std::string node = opts.positional()[1];
    const size_t slash = node.rfind('/');
    std::string name = slash == std::string::npos ? node : node.substr(slash + 1);
    PlugState(dir);
    if (::access((dir + "/state").c_str(), F_OK) != 0)
        return Fail(NoDriver(dir));
    qn_getinfo_arg info;
    if (!get_qnbf_dev_info(name.data(), &info, QN_LOOKUP_BY_NAME))
        return Fail("no filter device " + node + " under the stand-in (kzvol devices lists them)");
    if (info.snap_minor_cnt > 0)
        return Fail(node + " has a snapshot: stop it first (kzvol snap stop " + node + ")");
    if (NodeBusy(dir, info.minor))
        return Fail(node + " is in use (mounted or held open exclusively): release it first");
    int err = SendMinor(QNBF_DEFUNCT_NODE, info.minor);
    if (!err)
        err = SendMinor(QNBF_DELETE_NODE, info.minor);
    if (err)
        return Fail("cannot remove " + node + ": " + std::strerror(err));
    std::printf("removed %s\n", node.c_str());
    return 0;
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
                                    &error, opts.Has("force")))
        return Fail(error + (opts.Has("force") || error.find("driver runs") == std::string::npos
                                 ? ""
                                 : " (stop it first, or start with --force)"));
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
    // Only what the stand-in made goes; the directory stays when it holds more.
    if (!driver.Shutdown(true, &error))
        return Fail(error);
    RemoveStandInSbin(dir);
    if (!emulator::Emulator::RemoveState(dir, &error))
        return Fail(error);
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
    std::string instance;
    if (state.mode == emulator::Mode::Devices)
        std::printf(
            "  serving process: %s\n",
            emulator::ServerInstance(dir, &instance) == 0
                ? ("running, log " + emulator::ServeLog(dir)).c_str()
                : "not running (the next request starts it; its devices come back untracked)");
    for (const emulator::Device& d : state.devices) {
        std::printf("  minor %u %s %s %s\n", d.minor, d.snapshot ? "snapshot" : "filter",
                    StateName(d.state), d.snapshot ? d.data_file.c_str() : d.underlying.c_str());
    }
    return 0;
}

}  // namespace

int RunEmulator(const Words& args) {
    Options opts({"state", "extent-size"}, {"memory", "force"});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().empty())
        return Usage("wants an action: start, stop, status, add or remove");
    const std::string& action = opts.positional()[0];
    if (action == "kzsnap") {
        // The stand-in's snapshot tool: its words follow "--".
        if (opts.positional().size() != 1)
            return Usage("kzsnap takes its words after --");
        const std::string dir = StateDir(opts);
        return emulator::RunKzsnap(opts.rest(), dir, dir + "/sbin/kzsnap");
    }
    if (action == "add" || action == "remove") {
        const std::string dir = StateDir(opts);
        return action == "add" ? Add(opts, dir) : Remove(opts, dir);
    }
    if (opts.positional().size() != 1)
        return Usage(action + " takes no further words");
    const std::string dir = StateDir(opts);
    if (action == "start")
        return Start(opts, dir);
    if (action == "stop")
        return Stop(dir);
    if (action == "status")
        return Status(dir);
    return Usage("unknown action '" + action + "' (start, stop, status, add or remove)");
}

}  // namespace kzvol::cli
