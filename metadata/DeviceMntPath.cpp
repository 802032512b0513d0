// getAllDeviceMntPath: the filter volumes mounted on a directory or below it.
#include <cerrno>

#include "host/Env.h"
#include "host/EvDebug.h"
#include "metadata/ContentSnap.h"
#include "metadata/ContentSnapSupport.h"

namespace {
EvDebug g_log;
const char kContext[] = "getAllDeviceMntPath:";
const char kFilterDevicePrefix[] = "/dev/qnbf/qnbf";
}  // namespace

bool getAllDeviceMntPath(std::string mntPath, std::vector<kz_devmntpath>& found) {
    std::vector<kzvol::MountTableEntry> table;
    errno = 0;
    if (!kzvol::CurrentEnv()->ReadMountTable(&table)) {
        g_log.Debug(kContext, "failed to open file=%s errno=%d \n", "/etc/mtab", errno);
        return false;
    }
    int count = 0;
    for (const kzvol::MountTableEntry& entry : table) {
        if (entry.fields.size() < 2)
            continue;
        const std::string& device = entry.fields[0];
        const std::string& dir = entry.fields[1];
        if (!kzvol::contentsnap::IsAtOrBelow(dir, mntPath) ||
            device.find(kFilterDevicePrefix) == std::string::npos)
            continue;
        found.push_back({device, dir});
        ++count;
        g_log.Debug(kContext, " found devname=%s \t mntpath=%s \tgiven mntpath=%s \t count=%d\n",
                    device.c_str(), dir.c_str(), mntPath.c_str(), count);
    }
    return count > 0;
}
