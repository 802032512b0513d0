// kzvol devices: every filter device the driver reports, through the library's
// device list and per-device information requests.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/QnbfLookup.h"
#include "filter/QnbfProtocol.h"
#include "tools/Commands.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {

int RunDevices(const Words& args) {
    if (!args.empty())
        return Usage("takes no arguments");
    KZVolumeUnix driver(kQnbfAdminNode);
    qn_getdevicelist_arg list;
    std::memset(&list, 0, sizeof list);
    list.cmd = 1;
    if (!driver.QNBFShowDevList(&list))
        return Fail(std::string("cannot list the filter devices through ") + kQnbfAdminNode + ": " +
                    std::strerror(errno) +
                    " (load the qnbf driver, or give --emulator DIR for the stand-in)");
    std::printf("%-6s %-12s %-24s %16s %-12s %10s %10s\n", "MINOR", "NODE", "UNDERLYING", "SIZE",
                "SNAPSHOTS", "INCR_BYTES", "DIFF_BYTES");
    const uint32_t count = list.count > 256 ? 256 : list.count;
    for (uint32_t i = 0; i < count; ++i) {
        qn_getinfo_arg info;
        uint32_t minor = list.minors[i];
        if (!get_qnbf_dev_info(reinterpret_cast<char*>(&minor), &info, QN_LOOKUP_BY_MINOR)) {
            std::printf("%-6u (no information)\n", minor);
            continue;
        }
        std::string snaps;
        int n = info.snap_minor_cnt > 256 ? 256 : info.snap_minor_cnt;
        for (int k = 0; k < n; ++k)
            snaps += (k ? "," : "") + std::to_string(info.snap_minor[k]);
        info.node_name[sizeof info.node_name - 1] = '\0';
        info.dev_name[sizeof info.dev_name - 1] = '\0';
        std::printf("%-6u %-12s %-24s %16llu %-12s %10d %10d\n", minor, info.node_name,
                    info.dev_name, static_cast<unsigned long long>(info.size),
                    snaps.empty() ? "-" : snaps.c_str(), info.incr_bmp_size, info.diff_bmp_size);
    }
    return 0;
}

}  // namespace kzvol::cli
