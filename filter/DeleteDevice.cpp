// KZVolumeUnix::QNBFDeleteDevice: takes a volume out of the filter driver (defunct,
// then delete), regenerates the boot script and, for a cluster client, removes the
// device's state directory and its shared_disks entry as far as it can.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/FilterFiles.h"
#include "filter/QnbfConfig.h"
#include "filter/QnbfLookup.h"
#include "filter/QnbfProtocol.h"
#include "host/EvDebug.h"
#include "host/Handles.h"
#include "volume/KZVolume.h"

namespace {

EvDebug g_log;
const char kContext[] = "KZVolumeUnix::QNBFDeleteDevice:";
constexpr int kPathBytes = 1024;
const char* const kStateFiles[] = {"volume",      "node", "qnbf_minor",
                                   "extent_size", "mnt",  "inkernel_incr_bmap"};

// The minor of `device`: from the driver by node name for a cluster client, else
// the number after "/dev/qnbf/qnbf". -1, logged, when there is none.
int MinorOf(const std::string& displayName, const char* device) {
    if (is_VM(displayName)) {
        const char* slash = std::strrchr(device, '/');
        std::string name = slash ? slash + 1 : device;
        qn_getinfo_arg info;
        if (!get_qnbf_dev_info(name.data(), &info, QN_LOOKUP_BY_NAME)) {
            g_log.Error(kContext, "Unable to find minor number for node=%s \n", device);
            return -1;
        }
        return static_cast<int>(info.minor);
    }
    const char* at = std::strstr(device, kzvol::kQnbfNodePrefix);
    char* end = nullptr;
    long minor = at ? std::strtol(device + std::strlen(kzvol::kQnbfNodePrefix), &end, 10) : -1;
    if (!at || end == device + std::strlen(kzvol::kQnbfNodePrefix) || minor < 0 ||
        minor > 0xfffff) {
        g_log.Debug(kContext, "invalid device=%s\n", device);
        return -1;
    }
    return static_cast<int>(minor);
}

bool RemoveFromDriver(int minor) {
    kzvol::AdminNode node;
    if (!node.ok()) {
        g_log.Error(kContext, "failed to open config node errno=%d \n", node.open_errno());
        return false;
    }
    uint32_t arg = static_cast<uint32_t>(minor);
    int ret = node.Request(QNBF_DEFUNCT_NODE, &arg);
    if (ret == 0)
        ret = node.Request(QNBF_DELETE_NODE, &arg);
    if (ret != 0) {
        g_log.Error(kContext, "could not defunct device errno=%d ret=%d \n", errno, ret);
        return false;
    }
    return true;
}

// The first line of the state directory's "volume" file, without its line end.
bool ReadVolumeName(const std::string& state, std::string* name) {
    std::string path = state + "/volume";
    kzvol::UniqueFile in(std::fopen(path.c_str(), "re"));
    if (!in) {
        g_log.Debug(kContext, "Failed to open [%s] file\n", path.c_str());
        return false;
    }
    char line[kPathBytes];
    if (!std::fgets(line, sizeof line, in.get())) {
        g_log.Debug(kContext, "Failed to read Device name from [%s] file\n", path.c_str());
        return false;
    }
    *name = line;
    while (!name->empty() && (name->back() == '\n' || name->back() == '\r'))
        name->pop_back();
    return true;
}

// Best-effort removal of a cluster client's record of the deleted device.
bool ForgetClusterDevice(KZVolumeUnix& vol, int minor) {
    char dir[kPathBytes] = {0};
    int length = sizeof dir;
    if (!vol.get_job_results_dir(dir, &length)) {
        g_log.Debug(kContext, "Failed to determine job results directory \n");
        return true;
    }
    std::string list = std::string(dir) + "/shared_disks";
    g_log.Error(kContext, "Determined %s as shared_disks file\n", list.c_str());
    std::string state = kzvol::StateDirectory(dir, minor);
    if (::access(state.c_str(), F_OK) != 0) {
        g_log.Debug(kContext, "[%s] directory does not exist\n", state.c_str());
        return true;
    }
    std::string device;
    if (!ReadVolumeName(state, &device))
        return false;
    for (const char* name : kStateFiles) {
        std::string file = state + "/" + name;
        g_log.Debug(kContext, "Will remove [%s] file\n", file.c_str());
        if (::unlink(file.c_str()) != 0)
            g_log.Debug(kContext, "Failed to remove [%s] file\n", file.c_str());
    }
    g_log.Debug(kContext, "Will remove [%s] directory \n", state.c_str());
    if (::rmdir(state.c_str()) != 0)
        g_log.Debug(kContext, "Failed to remove [%s] directory\n", state.c_str());
    g_log.Debug(kContext, "Will remove [%s] Device Entry from [%s] file\n", device.c_str(),
                list.c_str());
    if (!delete_string_from_file(list.data(), device.data()))
        g_log.Debug(kContext, "Failed to remove [%s] Device Entry from [%s] file\n", device.c_str(),
                    list.c_str());
    return true;
}

bool DeleteDevice(KZVolumeUnix& vol, char* device) {
    if (!device) {
        g_log.Error(kContext, "no device given \n");
        return false;
    }
    const int minor = MinorOf(vol.m_strClntDisplayName, device);
    if (minor < 0)
        return false;
    g_log.Debug(kContext, "got minor number=%d for device=%s \n", minor, device);
    if (!RemoveFromDriver(minor))
        return false;
    kzvol::RegenerateBootScript();
    if (!is_VM(vol.m_strClntDisplayName))
        return true;
    return ForgetClusterDevice(vol, minor);
}

}  // namespace

bool KZVolumeUnix::QNBFDeleteDevice(char* device) {
    m_strErrorString.clear();
    errno = 0;
    if ((m_hVolume == -1 || m_hVolume == 0) && !Open())
        return false;
    return kzvol::AnswerFalseOnThrow(kContext, [&] { return DeleteDevice(*this, device); });
}
