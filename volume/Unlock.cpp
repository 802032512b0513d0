// Remounting a file system that Lock unmounted, from the remembered mount-table entry.
#include <cerrno>
#include <cstdlib>

#include "host/EvDebug.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "volume/KZVolume.h"

namespace {
EvDebug g_log;
}

bool KZVolumeUnix::Unlock() {
    m_strErrorString.clear();
    if (!m_bLocked || !m_pszMntFsName || !m_pszMntDir)
        return true;
    return Unlock(m_pszMntType ? m_pszMntType : "", m_pszMntOpts ? m_pszMntOpts : "");
}

bool KZVolumeUnix::Unlock(std::string fsType, std::string options) {
    static const char kContext[] = "KZVolumeUnix::Unlock:";
    if (!m_bLocked || !m_pszMntFsName || !m_pszMntDir)
        return true;
    if (fsType == "xfs")
        options += options.empty() ? "nouuid" : ",nouuid";
    using kzvol::ShellQuote;
    std::string command = "/bin/mount -t " + ShellQuote(fsType) + " -o " + ShellQuote(options) +
                          " " + ShellQuote(m_pszMntFsName) + " " + ShellQuote(m_pszMntDir);
    std::string output;
    KzProcess process;
    int rc = process.system(command, &output, nullptr, 0, false);
    int err = errno;
    m_bLocked = false;
    if (rc != 0) {
        g_log.Error(kContext, "failed to mount=%s to mntpath=%s errno=%d mount it manually \n",
                    m_pszMntFsName, m_pszMntDir, err);
        g_log.Debug(kContext,
                    "!!USER intervention required for mounting=%s to mntpath=%s "
                    "manually \n",
                    m_pszMntFsName, m_pszMntDir);
    } else {
        g_log.Debug(kContext, "successfully mounted=%s to mntpath=%s \n", m_pszMntFsName,
                    m_pszMntDir);
    }
    ReleaseMountStrings();
    return true;
}
