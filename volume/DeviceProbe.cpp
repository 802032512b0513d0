// Classifying paths: device nodes, character devices and filter devices.
#include "volume/DeviceProbe.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "filter/DriverChannel.h"
#include "filter/QnbfLookup.h"
#include "filter/QnbfProtocol.h"
#include "host/EvDebug.h"
#include "volume/KZVolume.h"

char devprefix[15] = "/dev/qnbf/ctrl";
static_assert(sizeof devprefix == sizeof kzvol::kQnbfAdminNode, "devprefix holds the admin node");

namespace {

const char kDeviceContext[] = "KZVolume:isDevice";
const char kFreeQnbfContext[] = "KZVolume:isQNBFDevice";
const char kStaticQnbfContext[] = "KZVolume::isQNBFDevice";

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// stat() following links; logs the failure under `context`.
bool Examine(const char* context, const std::string& path, struct stat* st) {
    if (::stat(path.c_str(), st) == 0)
        return true;
    EvDebug().Error(context, "Failed to stat %s: %s", path.c_str(), std::strerror(errno));
    return false;
}

bool IsSpecial(const struct stat& st) {
    return S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode);
}

// Walks the driver's devices for one whose underlying device name starts with `base`.
bool FindCoveringDevice(const std::string& base, std::string& filterDevice) {
    EvDebug log;
    kzvol::AdminNode node;
    if (!node.ok()) {
        log.Error(kFreeQnbfContext, "failed to open config node errno=%d config_fd=%d \n",
                  node.open_errno(), node.fd());
        return false;
    }
    qn_getdevicelist_arg list;
    std::memset(&list, 0, sizeof list);
    list.cmd = 1;
    if (node.Request(QNBF_GET_DEVLIST, &list) != 0) {
        log.Error(kFreeQnbfContext, "failed to get DEVLIST ret=%d errno=%d \n", 1, errno);
        return false;
    }
    const uint32_t count = list.count > 256 ? 256 : list.count;
    for (uint32_t i = 0; i < count; ++i) {
        qn_getinfo_arg info;
        std::memset(&info, 0, sizeof info);
        info.minor = list.minors[i];
        if (node.Request(QNBF_GET_INFO, &info) != 0)
            continue;
        if (base.size() < sizeof info.dev_name &&
            std::strncmp(info.dev_name, base.c_str(), base.size()) == 0) {
            filterDevice = kzvol::kQnbfNodePrefix + std::to_string(list.minors[i]);
            return true;
        }
    }
    return false;
}

}  // namespace

bool isDevice(std::string path) {
    if (!Contains(path, "/dev/") && !Contains(path, "/proc/qnbf/"))
        return false;
    struct stat st;
    return Examine(kDeviceContext, path, &st) && IsSpecial(st);
}

bool isCharDevice(std::string path) {
    if (!Contains(path, "/dev/"))
        return false;
    struct stat st;
    return Examine(kDeviceContext, path, &st) && S_ISCHR(st.st_mode);
}

bool isQNBFDevice(std::string path, std::string& filterDevice) {
    if (Contains(path, kzvol::kQnbfNodeDir) || Contains(path, "/proc/qnbf/")) {
        struct stat st;
        if (!Examine(kFreeQnbfContext, path, &st) || !IsSpecial(st))
            return false;
        filterDevice = path;
        return true;
    }
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A path ending in "/" names a directory, never a device: no prefix to match.
    if (base.empty())
        return false;
    return FindCoveringDevice(base, filterDevice);
}

bool KZVolume::isQNBFDevice(std::string volume) {
    EvDebug log;
    struct stat vol, admin;
    if (::stat(volume.c_str(), &vol) != 0) {
        log.Error(kStaticQnbfContext, "Failed to stat volume %s", volume.c_str());
        return false;
    }
    if (!IsSpecial(vol)) {
        log.Error(kStaticQnbfContext, "Volume=%s is NOT a special device.", volume.c_str());
        return false;
    }
    if (::stat(kzvol::kQnbfAdminNode, &admin) != 0) {
        log.Error(kStaticQnbfContext, "Failed to stat QNBF admin node %s", kzvol::kQnbfAdminNode);
        return false;
    }
    if (!S_ISCHR(admin.st_mode)) {
        log.Error(kStaticQnbfContext, "Admin node=%s is NOT a char device.", kzvol::kQnbfAdminNode);
        return false;
    }
    unsigned int adminMajor = qn_getmajor(&admin), volumeMajor = qn_getmajor(&vol);
    log.Debug(kStaticQnbfContext, "qnbf major is %d and device major is %d", adminMajor,
              volumeMajor);
    return adminMajor == volumeMajor;
}

bool ConvertRawToBlockDevice(char* raw, char* block) {
    const char* r = std::strstr(raw, "/r");
    if (!r) {
        std::strcpy(block, raw);
        return true;
    }
    size_t keep = static_cast<size_t>(r - raw) + 1;  // up to and with the "/"
    std::memcpy(block, raw, keep);
    std::strcpy(block + keep, r + 2);
    return true;
}
