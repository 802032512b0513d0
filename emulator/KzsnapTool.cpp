// kzsnap's actions on the stand-in driver.
#include "emulator/KzsnapTool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulator/Emulator.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "host/ShellQuote.h"

namespace kzvol::emulator {
namespace {

const char kConfigDir[] = "/etc/talmar/";

int UsageError(const char* message) {
    std::fprintf(stderr,
                 "kzsnap: %s\nusage: kzsnap -c create_script\n"
                 "       kzsnap -a DEVICE -e EXTENT_BYTES [-s SERIAL]\n",
                 message);
    return 2;
}

int Failed(const std::string& message) {
    std::fprintf(stderr, "kzsnap: %s\n", message.c_str());
    return 1;
}

int CreateScript(Emulator& driver, const std::string& self) {
    State state;
    if (!driver.Snapshot(&state))
        return Failed("no stand-in driver state in " + driver.state_dir());
    std::string script =
        "#!/bin/sh\n"
        "# Re-creates the qnbf filter devices at boot; written by kzsnap -c create_script.\n"
        "KZVOL_EMULATOR=" +
        ShellQuote(driver.state_dir()) + "\nexport KZVOL_EMULATOR\n";
    for (const Device& d : state.devices) {
        if (d.snapshot || d.state == NodeState::Defunct)
            continue;
        script += ShellQuote(self) + " -a " + ShellQuote(d.underlying) + " -e " +
                  std::to_string(d.extent_bytes);
        if (!d.serial.empty())
            script += " -s " + ShellQuote(d.serial);
        script += "\n";
    }
    if (std::fwrite(script.data(), 1, script.size(), stdout) != script.size() ||
        std::fflush(stdout) != 0)
        return Failed(std::string("cannot write the script: ") + std::strerror(errno));
    return 0;
}

int Request(Emulator& driver, int fd, unsigned long request, void* arg) {
    return driver.Request(fd, request, arg) == 0 ? 0 : errno;
}

int AddDevice(Emulator& driver, const std::string& device, unsigned long extentBytes,
              const std::string& serial) {
    qn_addnode_arg add;
    std::memset(&add, 0, sizeof add);
    if (device.size() >= sizeof add.dev_path || serial.size() >= sizeof add.serial)
        return Failed("device path or serial number too long");
    std::snprintf(add.dev_path, sizeof add.dev_path, "%s", device.c_str());
    std::snprintf(add.config_dir, sizeof add.config_dir, "%s", kConfigDir);
    std::snprintf(add.serial, sizeof add.serial, "%s", serial.c_str());
    add.minor = -1;
    add.extent_bytes = static_cast<uint32_t>(extentBytes);
    int fd = driver.OpenNode(kzvol::kQnbfAdminNode, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return Failed(std::string("cannot open the admin node: ") + std::strerror(errno));
    int err = Request(driver, fd, QNBF_ADD_NODE, &add);
    uint32_t minor = static_cast<uint32_t>(add.minor);
    if (!err)
        err = Request(driver, fd, QNBF_START_NODE, &minor);
    ::close(fd);
    if (err)
        return Failed("cannot re-create the filter device over " + device + ": " +
                      std::strerror(err));
    std::printf("%s%u %s\n", kzvol::kQnbfNodePrefix, minor, device.c_str());
    return 0;
}

}  // namespace

int RunKzsnap(const std::vector<std::string>& args, const std::string& stateDir,
              const std::string& self) {
    std::string action, device, serial, extent;
    for (size_t i = 0; i < args.size(); i += 2) {
        std::string* value = args[i] == "-c"   ? &action
                             : args[i] == "-a" ? &device
                             : args[i] == "-e" ? &extent
                             : args[i] == "-s" ? &serial
                                               : nullptr;
        if (!value)
            return UsageError("unknown option or unexpected argument");
        if (i + 1 >= args.size())
            return UsageError("option wants a value");
        *value = args[i + 1];
    }
    Emulator driver(stateDir);
    if (action == "create_script" && device.empty())
        return CreateScript(driver, self);
    if (!action.empty())
        return UsageError("the only -c action is create_script");
    char* end = nullptr;
    unsigned long bytes = extent.empty() ? 0 : std::strtoul(extent.c_str(), &end, 10);
    if (device.empty() || !end || *end || bytes == 0 || bytes > 0xffffffffUL)
        return UsageError("-a DEVICE wants -e EXTENT_BYTES");
    return AddDevice(driver, device, bytes, serial);
}

}  // namespace kzvol::emulator
