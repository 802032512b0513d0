// Unlock: mounting again the file system that Lock unmounted, from the remembered
// mount-table entry, with its own type and options or with the caller's.
#include <cerrno>

#include "host/EvDebug.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "volume/KZVolume.h"

namespace {

EvDebug g_log;

// Runs the mount command for `device` on `dir` and logs the outcome; a failure
// asks for the user to mount by hand.
void MountAgain(const char* context, const std::string& type, const std::string& options,
                const char* device, const char* dir) {
    using kzvol::ShellQuote;
    // "--": a device field such as "--bind" (any FUSE file system can choose its
    // own) is a name, never an option.
    std::string command = "/bin/mount -t " + ShellQuote(type) + " -o " + ShellQuote(options) +
                          " -- " + ShellQuote(device) + " " + ShellQuote(dir);
    std::string output;
    KzProcess process;
    int rc = process.system(command, &output, nullptr, 0, false);
    int err = errno;
    if (rc != 0) {
        g_log.Error(context, "failed to mount=%s to mntpath=%s errno=%d mount it manually \n",
                    device, dir, err);
        g_log.Debug(context,
                    "!!USER intervention required for mounting=%s to mntpath=%s manually \n",
                    device, dir);
    } else {
        g_log.Debug(context, "successfully mounted=%s to mntpath=%s \n", device, dir);
    }
}

}  // namespace

bool KZVolumeUnix::Unlock() {
    m_strErrorString.clear();
    if (!m_bLocked || !m_pszMntFsName || !m_pszMntDir)
        return true;
    MountAgain("KZVolumeUnix::Unlock:", m_pszMntType ? m_pszMntType : "",
               m_pszMntOpts ? m_pszMntOpts : "", m_pszMntFsName, m_pszMntDir);
    m_bLocked = false;
    ReleaseMountStrings();
    return true;
}

bool KZVolumeUnix::Unlock(std::string fsType, std::string options) {
    if (!m_bLocked || !m_pszMntFsName || !m_pszMntDir)
        return true;
    // An xfs copy carries the same UUID as its original; mount it regardless.
    if (fsType == "xfs")
        options += options.empty() ? "nouuid" : ",nouuid";
    MountAgain("KZVolumeUnix::Unlock:1", fsType, options, m_pszMntFsName, m_pszMntDir);
    m_bLocked = false;
    ReleaseMountStrings();
    return true;
}
