// kzvol volinfo NODE: what the driver reports about a filter device, as the
// library hands it to a backup (QNBFVolInfo_t), one "field: value" per line.
#include <cstdio>

#include "filter/DriverChannel.h"
#include "filter/QnbfVolInfo.h"
#include "tools/Commands.h"
#include "tools/FilterNode.h"
#include "tools/Options.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {

int RunVolinfo(const Words& args) {
    Options opts({}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1)
        return Usage("wants one NODE");
    const std::string node = opts.positional()[0];
    KZVolumeUnix volume(kQnbfAdminNode);
    if (!BindFilterNode(volume, node, &error))
        return Fail(error);
    QNBFVolInfo_t info;
    if (!volume.QNBFGetVolInfo(info))
        return Fail("the driver gave no information on " + node + " (see the log: --verbose)");
    std::printf(
        "node: %s\nminor: %d\ndev_name: %s\ntotal_blocks: %llu\nincr_bmp_size: %u\n"
        "incr_tracked: %u\ndiff_bmp_size: %u\ndiff_tracked: %u\nhas_snapshot: %u\n"
        "dev_value: %lld\n",
        node.c_str(), volume.m_QnbfNodeMinorno, info.dev_name,
        static_cast<unsigned long long>(info.total_blocks), info.incr_bmp_size, info.incr_tracked,
        info.diff_bmp_size, info.diff_tracked, info.has_snapshot,
        static_cast<long long>(info.dev_value));
    return 0;
}

}  // namespace kzvol::cli
