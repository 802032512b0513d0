// kzvol mountpoint and kzvol device: the mount-table lookups between a device and
// the directory it is mounted on.
#include <cstdio>
#include <cstdlib>

#include "tools/Commands.h"
#include "tools/Options.h"
#include "volume/MountTable.h"

namespace kzvol::cli {
namespace {

// The single positional word of `args`; false when there is not exactly one.
bool OneWord(const Words& args, std::string* word) {
    Options opts({}, {});
    std::string error;
    if (!opts.Parse(args, &error) || opts.positional().size() != 1 || !opts.rest().empty())
        return false;
    *word = opts.positional()[0];
    return true;
}

}  // namespace

int RunMountpoint(const Words& args) {
    std::string device;
    if (!OneWord(args, &device))
        return Usage("wants one DEVICE");
    char* dir = kz_getmountpoint(device.data());
    if (!dir)
        return Fail(device + " is not mounted");
    std::printf("%s\n", dir);
    std::free(dir);
    return 0;
}

int RunDevice(const Words& args) {
    std::string dir;
    if (!OneWord(args, &dir))
        return Usage("wants one MOUNTPOINT");
    std::string device = getrawdev(dir.data());
    if (device.empty())
        return Fail("nothing is mounted on " + dir);
    std::printf("%s\n", device.c_str());
    return 0;
}

}  // namespace kzvol::cli
