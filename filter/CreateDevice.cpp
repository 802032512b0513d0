// KZVolumeUnix::QNBFCreateDevice: puts one block device under the filter driver,
// resets both change bitmaps, records the device for cluster clients, regenerates
// the boot script and, when asked, makes /etc/fstab mount through the filter
// device. A failure once the filter device is started removes it again.
#include <mntent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "filter/ClusterFiles.h"
#include "filter/CreateDevArg.h"
#include "filter/DriverChannel.h"
#include "filter/FilterFiles.h"
#include "filter/FstabRewrite.h"
#include "filter/QnbfConfig.h"
#include "filter/QnbfProtocol.h"
#include "host/EvDebug.h"
#include "host/KzProcess.h"
#include "host/NoThrow.h"
#include "host/ShellQuote.h"
#include "volume/KZVolume.h"

namespace {

EvDebug g_log;
const char kContext[] = "KZVolumeUnix::QNBFCreateDevice:";
constexpr unsigned long kDefaultExtent = 4096;
constexpr unsigned long kMaxExtent = 524288;
constexpr int kPathBytes = 1024;
const char kConfigDir[] = "/etc/talmar/";

bool PowerOfTwo(unsigned long n) {
    return n != 0 && (n & (n - 1)) == 0;
}

void CorrectExtentSize(CreateDevArg_t* arg) {
    if (!PowerOfTwo(arg->extsize)) {
        g_log.Debug(kContext,
                    " extsize=%ld is not power of 2,changing to default \ncreatearg->extsize",
                    static_cast<long>(arg->extsize));
        g_log.Debug(kContext, " changed extsize=%ld  in blocks to DEFAULT EXTSIZE=%d in blocks \n",
                    static_cast<long>(arg->extsize), static_cast<int>(kDefaultExtent));
        arg->extsize = kDefaultExtent;
    }
    if (arg->extsize > kMaxExtent) {
        g_log.Debug(kContext, " changed extsize=%ld  in blocks to MAX EXTSIZE=%d in blocks \n",
                    static_cast<long>(arg->extsize), static_cast<int>(kMaxExtent));
        arg->extsize = kMaxExtent;
    }
}

// The device path with a /dev/mapper/ link resolved; empty, logged, when it is not
// a block device (or too long for the driver's request).
std::string ResolveDevice(const char* path) {
    std::string device = path;
    std::string resolved = kzvol::ResolveMapperLink(device);
    if (resolved != device) {
        g_log.DebugLvl(kContext, 1, "got link path %s .", resolved.c_str());
        device = resolved;
    }
    struct stat st;
    if (device.size() >= kPathBytes || ::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        g_log.Error(kContext,
                    "Unable to stat %s or it is not a valid block device file errno=%d \n",
                    device.c_str(), errno);
        return std::string();
    }
    return device;
}

// Driver requests with the minor as their argument.
int MinorRequest(const kzvol::AdminNode& node, unsigned long request, int minor) {
    uint32_t arg = static_cast<uint32_t>(minor);
    return node.Request(request, &arg);
}

int SetBitmap(const kzvol::AdminNode& node, int minor, uint32_t kind) {
    qn_bitmap_arg arg{static_cast<uint32_t>(minor), kind, 0, nullptr};
    return node.Request(QNBF_SET_BITMAP, &arg);
}

// Removes the filter device that creation added, after a later step failed.
bool RollBack(const kzvol::AdminNode& node, const char* device, int minor) {
    bool removed = true;
    if (MinorRequest(node, QNBF_DEFUNCT_NODE, minor) != 0) {
        g_log.Error(kContext, "failed to defunct device=%s errno=%d \n", device, errno);
        removed = false;
    }
    if (MinorRequest(node, QNBF_DELETE_NODE, minor) != 0) {
        g_log.Error(kContext, "failed to delete device=%s errno=%d \n", device, errno);
        removed = false;
    }
    if (removed)
        g_log.Debug(kContext, "successfully removed created device bcoz of error errorno=%d \n",
                    errno);
    // The script may already list the device: it must not come back at boot.
    kzvol::RegenerateBootScript(kContext);
    return false;
}

// Saves the table once, before its first rewrite.
bool SaveOriginalFstab(const kzvol::FstabFiles& files) {
    if (::access(files.backup.c_str(), F_OK) == 0)
        return true;
    const std::string command =
        "cp -- " + kzvol::ShellQuote(files.table) + " " + kzvol::ShellQuote(files.backup);
    std::string output, error;
    KzProcess process;
    if (process.system(command, &output, &error, 0, false) == 0)
        return true;
    std::string text = "1x:cp command failed for saving original do it manually" + output + error;
    g_log.Error(kContext, "%s errorno=%d \n", text.c_str(), errno);
    return false;
}

// Steps after the device is started; false means the caller rolls back.
bool SetUpStartedDevice(const kzvol::AdminNode& node, KZVolumeUnix& vol, CreateDevArg_t* arg,
                        std::string& device, const std::string& shared, const std::string& serial) {
    const int minor = arg->minorno;
    qn_getinfo_arg info;
    std::memset(&info, 0, sizeof info);
    info.minor = static_cast<uint32_t>(minor);
    if (node.Request(QNBF_GET_INFO, &info) != 0) {
        g_log.Error(kContext, "QNBF_GET_INFO: ioctl for minorno=%d has failed error no=%d \n",
                    minor, errno);
        return false;
    }
    if (SetBitmap(node, minor, QNBF_KIND_INCREMENTAL) != 0) {
        g_log.Error(kContext,
                    "QNBF_SET_INCR: ioctl for minor node=%d device has failed error no=%d \n",
                    minor, errno);
        return false;
    }
    if (SetBitmap(node, minor, QNBF_KIND_DIFFERENTIAL) != 0) {
        g_log.Error(kContext,
                    "QNBF_SET_FULL: ioctl for minor node=%d device has failed error no=%d \n",
                    minor, errno);
        return false;
    }
    if (is_VM(vol.m_strClntDisplayName) &&
        !kzvol::RecordClusterDevice(shared, device, minor, serial, arg->extsize * 512))
        return false;
    g_log.Debug(kContext, "Dumped qnbf device information\n");
    kzvol::RegenerateBootScript(kContext);
    if (!arg->fstab)
        return true;
    kzvol::FstabFiles files;
    return SaveOriginalFstab(files) &&
           kzvol::PutFstabUnderFilter(files, kContext, device,
                                      kzvol::kQnbfNodePrefix + std::to_string(minor), *arg->mntent);
}

bool CreateDevice(KZVolumeUnix& vol, CreateDevArg_t* arg) {
    if (!arg || !arg->devpath) {
        g_log.Error(kContext, "no device path given \n");
        return false;
    }
    if (KZVolume::isQNBFDevice(arg->devpath)) {
        g_log.Debug(kContext, "Info: device '%s' is already a qnbf device, skipping...",
                    arg->devpath);
        return true;
    }
    CorrectExtentSize(arg);
    if (arg->fstab && !arg->mntent) {
        g_log.Error(kContext, "no mount entry given to rewrite /etc/fstab for %s \n", arg->devpath);
        return false;
    }
    const unsigned long extentBytes = arg->extsize * 512;

    kzvol::AdminNode node;
    if (!node.ok()) {
        g_log.Error(kContext, " open failure for config device %s errorno=%d \n",
                    kzvol::kQnbfAdminNode, node.open_errno());
        return false;
    }
    std::string device = ResolveDevice(arg->devpath);
    if (device.empty())
        return false;

    qn_addnode_arg add;
    std::memset(&add, 0, sizeof add);
    std::snprintf(add.dev_path, sizeof add.dev_path, "%s", device.c_str());
    add.minor = -1;
    add.extent_bytes = static_cast<uint32_t>(extentBytes);
    std::snprintf(add.config_dir, sizeof add.config_dir, "%s", kConfigDir);
    std::string shared;
    if (is_VM(vol.m_strClntDisplayName) && !kzvol::PrepareClusterClient(vol, device, &add, &shared))
        return false;

    int ret = node.Request(QNBF_ADD_NODE, &add);
    if (ret != 0) {
        g_log.Error(kContext, "QNBF_ADD_NODE ioctl for device=%s has failed error no=%d \n",
                    arg->devpath, ret);
        return false;
    }
    const int minor = add.minor;
    arg->minorno = minor;
    if (MinorRequest(node, QNBF_START_NODE, minor) != 0) {
        g_log.Error(kContext,
                    " QNBF_START_NODE ioctl for device with minor=%d has failed error no=%d \n",
                    minor, errno);
        return false;
    }
    // Whatever fails from here, thrown or answered, removes the device again.
    if (!kzvol::FalseOnThrow(g_log, kContext, [&] {
            return SetUpStartedDevice(node, vol, arg, device, shared, add.serial);
        }))
        return RollBack(node, arg->devpath, minor);
    g_log.Debug(kContext, "Done with qnbf device creation\n");
    return true;
}

}  // namespace

bool KZVolumeUnix::QNBFCreateDevice(CreateDevArg_t* arg) {
    m_strErrorString.clear();
    return kzvol::FalseOnThrow(g_log, kContext, [&] { return CreateDevice(*this, arg); });
}
