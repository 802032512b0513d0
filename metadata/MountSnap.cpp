// KZVolumeUnix::MountSnap: mounts the existing snapshot of the filter volume
// mounted at a path read-only, with the live mount's options, under "/talmartmp".
// The snapshot is reached through a driver-mode volume object of its own; the
// mount is the caller's to undo.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "filter/QnbfVolInfo.h"
#include "host/EvDebug.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "metadata/MountProbes.h"
#include "volume/KZVolume.h"

namespace {

const char kContext[] = "VVolumeUnix::MountSnap";
const char kAdminNode[] = "/dev/qnbf/ctrl";
const char kSnapMountRoot[] = "/talmartmp";

EvDebug g_log;

// The options with their first "rw" made "ro".
std::string ReadOnly(std::string options) {
    const size_t rw = options.find("rw");
    if (rw != std::string::npos)
        options.replace(rw, 2, "ro");
    return options;
}

// Runs a command line; its output (and error output) in *output.
int Run(const std::string& command, std::string* output) {
    KzProcess process;
    return process.system(command, output, output, 0, false);
}

// Opens the snapshot of the filter device `device` in a new driver-mode object.
// Null (logged) when the driver reports no snapshot or it cannot be opened.
std::unique_ptr<KZVolumeUnix> OpenSnapshot(const std::string& device, const char* mountPath) {
    std::unique_ptr<KZVolumeUnix> driver(new KZVolumeUnix(std::string(kAdminNode)));
    driver->QNBFSetMinorno(device);
    QNBFVolInfo_t info;
    std::memset(&info, 0, sizeof info);
    if (!driver->QNBFGetVolInfo(info)) {
        g_log.Error(kContext, "failed to get volifno devname=%s mntpath=%s", device.c_str(),
                    mountPath);
        return nullptr;
    }
    if (!info.has_snapshot) {
        g_log.Error(kContext, "snap does not exist devname=%s mntpath=%s", device.c_str(),
                    mountPath);
        return nullptr;
    }
    if (!driver->OpenSnapVolume()) {
        g_log.Error(kContext, "failed to opensnap for devname=%s mntpath=%s", device.c_str(),
                    mountPath);
        return nullptr;
    }
    return driver;
}

// Creates `dir` (with its parents) unless it exists.
bool MakeMountDirectory(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
        return true;
    std::string output;
    if (Run("mkdir -p -- " + kzvol::ShellQuote(dir), &output) != 0) {
        g_log.Error(kContext, "failed to create dir=%s errno=%d output=%s", dir.c_str(), errno,
                    output.c_str());
        return false;
    }
    g_log.Debug(kContext, "successfully created dir=%s", dir.c_str());
    return true;
}

}  // namespace

bool KZVolumeUnix::MountSnap(char* mountPath, std::string& snapMountPath) {
    if (!mountPath) {
        g_log.Error(kContext, "invalid mount path \n");
        return false;
    }
    const std::string device = getrawdev(mountPath);
    if (device.empty()) {
        g_log.Error(kContext, "failed to find qnbf devname for mntpath=%s errno=%d", mountPath,
                    errno);
        return false;
    }
    const std::string options = GetMntOptions(mountPath);
    if (options.empty()) {
        g_log.Error(kContext,
                    "failed to get mountoptions or unsupported filesystem type for mntpath=%s",
                    mountPath);
        return false;
    }
    if (device.find("/dev/qnbf") == std::string::npos) {
        g_log.Error(kContext, "function not supported for NONQNBF devname=%s for mntpath=%s",
                    device.c_str(), mountPath);
        return false;
    }
    std::unique_ptr<KZVolumeUnix> snapshot = OpenSnapshot(device, mountPath);
    if (!snapshot)
        return false;
    snapMountPath = std::string(kSnapMountRoot) + mountPath;
    if (!MakeMountDirectory(snapMountPath))
        return false;
    const std::string& snapDevice = snapshot->m_strSnapId;
    std::string output;
    if (Run("mount -o " + kzvol::ShellQuote(ReadOnly(options)) + " -- " +
                kzvol::ShellQuote(snapDevice) + " " + kzvol::ShellQuote(snapMountPath),
            &output) != 0) {
        g_log.Error(kContext, "failed to mount dev=%s  to dir=%s errno=%d output=%s",
                    snapDevice.c_str(), snapMountPath.c_str(), errno, output.c_str());
        return false;
    }
    g_log.Debug(kContext, "successfully mounted dev=%s to dir=%s", snapDevice.c_str(),
                snapMountPath.c_str());
    return true;
}
