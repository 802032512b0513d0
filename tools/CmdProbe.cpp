// kzvol probe PATH: what the device probes say about a path.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/Commands.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {

int RunProbe(const Words& args) {
    if (args.size() != 1)
        return Usage("wants one PATH");
    const std::string& path = args[0];
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail("cannot examine " + path + ": " + std::strerror(errno));
    const char* kind = S_ISBLK(st.st_mode)   ? "block"
                       : S_ISCHR(st.st_mode) ? "character"
                       : S_ISDIR(st.st_mode) ? "directory"
                                             : "file";
    std::string filter;
    bool covered = isQNBFDevice(path, filter);
    std::printf("path: %s\ndevice: %s\nkind: %s\nfilter device: %s\ndriver major: %s\n",
                path.c_str(), isDevice(path) ? "yes" : "no", kind,
                covered ? filter.c_str() : "none", KZVolume::isQNBFDevice(path) ? "yes" : "no");
    if (!S_ISBLK(st.st_mode))
        return 0;
    unsigned long long usable = 0, raw = 0;
    if (GetDeviceSize_Internal(path, &usable, &raw))
        std::printf("size: %llu\nusable size: %llu\n", raw, usable);
    else
        std::printf("size: unavailable\n");
    unsigned long long logical = 0, physical = 0, ioMin = 0, ioOpt = 0;
    if (GetDiskSectorSz(path, &logical, &physical, &ioMin, &ioOpt))
        std::printf(
            "logical sector: %llu\nphysical sector: %llu\nminimum io: %llu\n"
            "optimal io: %llu\n",
            logical, physical, ioMin, ioOpt);
    return 0;
}

}  // namespace kzvol::cli
