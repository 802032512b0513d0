// The table of kzvol commands.
#include "tools/Commands.h"

namespace kzvol::cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"read", "read SOURCE --offset SECTORS --count SECTORS [--out FILE]",
         "copy raw 512-byte sectors of a device or image to FILE or standard output", RunRead},
        {"extents",
         "extents SOURCE --name NAME --job-results DIR --extent-size BYTES [--type 0|1] "
         "[--tape-file N] [--restart LAST] [--limit N] [--promote]",
         "decide per extent of a device or image whether a backup sends it (send/skip)",
         RunExtents},
    };
    return commands;
}

}  // namespace kzvol::cli
