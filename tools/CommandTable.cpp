// The table of kzvol commands.
#include "tools/Commands.h"

namespace kzvol::cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"read", "read SOURCE --offset SECTORS --count SECTORS [--out FILE]",
         "copy raw 512-byte sectors of a device or image to FILE or standard output", RunRead},
        {"devices", "devices", "list the filter devices: minor, node, underlying device, size, "
         "snapshots, bitmap sizes", RunDevices},
        {"probe", "probe PATH", "classify PATH and show its size and sector geometry", RunProbe},
        {"emulator", "emulator start|stop|status [--state DIR] [--memory]",
         "prepare, tear down or show the stand-in filter driver", RunEmulator},
    };
    return commands;
}

}  // namespace kzvol::cli
