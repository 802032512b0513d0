// The table of kzvol commands.
#include "tools/Commands.h"

namespace kzvol::cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"read", "read SOURCE --offset SECTORS --count SECTORS [--out FILE]",
         "copy raw 512-byte sectors of a device or image to FILE or standard output", RunRead},
        {"index",
         "index SOURCE --table PATH [--volinfo PATH] [--root-name NAME] [--extent-size N] "
         "[--optimized] [--names-only] [--acl 0|1] [--selinux 0|1]",
         "list every directory, file and link of the ext2/ext3 file system on SOURCE into "
         "the file-index table PATH (PATH.dat, PATH.idx), straight from the device",
         RunIndex},
        {"rows", "rows PATH",
         "print every row of the file-index table PATH in table order, tab-separated: parent "
         "inode, inode, size, mtime, type (1 directory, 0 other), name",
         RunRows},
        {"ls", "ls PATH [DIR]",
         "list directory DIR (default: the root) of the file-index table PATH", RunLs},
        {"find", "find PATH FILEPATH", "print the row of FILEPATH in the file-index table PATH",
         RunFind},
    };
    return commands;
}

}  // namespace kzvol::cli
