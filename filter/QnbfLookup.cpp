// The device list and the three lookups of one filter device.
#include "filter/QnbfLookup.h"

#include <sys/sysmacros.h>

#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/FilterInternal.h"
#include "host/EvDebug.h"

namespace {

EvDebug g_log;
const char kListContext[] = "list_qnbf_devs";
const char kInfoContext[] = "get_qnbf_dev_info";
const char kInfoFailed[] = "Unable to get qnbf device information\n";

// QNBF_GET_INFO for one minor into a zeroed record; only negative answers fail.
bool AskInfo(const kzvol::AdminNode& node, uint32_t minor, qn_getinfo_arg* info) {
    std::memset(info, 0, sizeof *info);
    info->minor = minor;
    return node.Request(QNBF_GET_INFO, info) >= 0;
}

bool SnapListHolds(const qn_getinfo_arg& info, uint32_t wanted) {
    int count = info.snap_minor_cnt;
    if (count > 256)
        count = 256;  // the driver's count is not trusted past the array
    for (int i = 0; i < count; ++i) {
        g_log.Error(kInfoContext, "qnbf_minor:%d buff:%d", static_cast<int>(info.snap_minor[i]),
                    static_cast<int>(wanted));
        if (info.snap_minor[i] == wanted)
            return true;
    }
    return false;
}

}  // namespace

bool list_qnbf_devs(qn_getdevicelist_arg* list) {
    kzvol::AdminNode node;
    if (!node.ok()) {
        g_log.Error(kListContext, "Unable to open qnbf admin node \n");
        return false;
    }
    if (node.Request(QNBF_GET_DEVLIST, list) < 0) {
        g_log.Error(kListContext, "Unable to get qnbf device list \n");
        return false;
    }
    return true;
}

bool get_qnbf_dev_info(char* key, qn_getinfo_arg* out, int mode) {
    kzvol::AdminNode node;
    if (!node.ok()) {
        g_log.Error(kInfoContext, "Unable to open qnbf admin node \n");
        return false;
    }
    qn_getdevicelist_arg list;
    std::memset(&list, 0, sizeof list);
    list.cmd = 1;
    if (!list_qnbf_devs(&list)) {
        g_log.Error(kInfoContext, "Unable to create the list of qnbf devices\n");
        return false;
    }
    // The driver's count is not trusted past the array.
    const uint32_t count = list.count > 256 ? 256 : list.count;
    qn_getinfo_arg info;

    switch (mode) {
        case QN_LOOKUP_BY_MINOR: {
            uint32_t minor;
            std::memcpy(&minor, key, sizeof minor);
            if (!AskInfo(node, minor, &info)) {
                g_log.Error(kInfoContext, kInfoFailed);
                return false;
            }
            std::memcpy(out, &info, sizeof info);
            return true;
        }
        case QN_LOOKUP_BY_NAME:
            for (uint32_t i = 0; i < count; ++i) {
                if (!AskInfo(node, list.minors[i], &info)) {
                    g_log.Error(kInfoContext, kInfoFailed);
                    return false;
                }
                info.node_name[sizeof info.node_name - 1] = '\0';
                if (std::strcmp(info.node_name, key) == 0) {
                    std::memcpy(out, &info, sizeof info);
                    return true;
                }
            }
            return false;
        case QN_LOOKUP_BY_SNAP_MINOR: {
            if (list.cmd == 2)
                return false;
            uint32_t wanted;
            std::memcpy(&wanted, key, sizeof wanted);
            for (uint32_t i = 0; i < count; ++i) {
                g_log.Error(kInfoContext, "qnbf_minor:%d", static_cast<int>(list.minors[i]));
                if (!AskInfo(node, list.minors[i], &info)) {
                    g_log.Error(kInfoContext, kInfoFailed);
                    return false;
                }
                if (SnapListHolds(info, wanted)) {
                    std::memcpy(out, &info, sizeof info);
                    return true;
                }
            }
            return false;
        }
        default:
            return false;
    }
}

unsigned int qn_getmajor(struct stat* st) {
    return major(st->st_rdev);
}
unsigned int qn_getminor(struct stat* st) {
    return minor(st->st_rdev);
}
