// The table of kzvol commands.
#include "tools/Commands.h"

namespace kzvol::cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"read", "read SOURCE --offset SECTORS --count SECTORS [--out FILE]",
         "copy raw 512-byte sectors of a device or image to FILE or standard output", RunRead},
    };
    return commands;
}

}  // namespace kzvol::cli
