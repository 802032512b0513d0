// The table of kzvol commands.
#include "tools/Commands.h"

namespace kzvol::cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"read", "read SOURCE --offset SECTORS --count SECTORS [--out FILE]",
         "copy raw 512-byte sectors of a device or image to FILE or standard output", RunRead},
        {"mountpoint", "mountpoint DEVICE", "print the directory DEVICE is mounted on",
         RunMountpoint},
        {"device", "device MOUNTPOINT", "print the device mounted on MOUNTPOINT", RunDevice},
        {"exclusive", "exclusive DEVICE_OR_MOUNTPOINT [--type T --options O] -- COMMAND [ARGS...]",
         "unmount the file system, run COMMAND, mount it again (with type T and options O "
         "when given); exits with COMMAND's status",
         RunExclusive},
        {"handler", "handler FIRST SECOND JOBID",
         "run the snapshot handler script ImgPodSnapHandler.sh with a 30-minute limit", RunHandler},
        {"devices", "devices",
         "list the filter devices: minor, node, underlying device, size, "
         "snapshots, bitmap sizes",
         RunDevices},
        {"probe", "probe PATH", "classify PATH and show its size and sector geometry", RunProbe},
        {"emulator", "emulator start|stop|status [--state DIR] [--memory]",
         "prepare, tear down or show the stand-in filter driver", RunEmulator},
    };
    return commands;
}

}  // namespace kzvol::cli
