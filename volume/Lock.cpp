// Lock: unmounting the file system that the mount table shows on a volume, for
// exclusive use of the volume, and remembering its entry so that Unlock can mount
// it again exactly as it was.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/EvDebug.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "volume/KZVolume.h"
#include "volume/MountScan.h"

namespace {

EvDebug g_log;

bool IsDevicePath(const std::string& name) {
    return name.find("/dev/") != std::string::npos || name.find("/proc/qnbf") != std::string::npos;
}

// `path` with empty and "." components dropped and ".." taken back, without
// looking at the file system.
std::string LexicallyNormal(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = std::min(path.find('/', i), path.size());
        std::string part = path.substr(i, end - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = end + 1;
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

// The texts under which the mount table may list the device `name`: the name
// itself and, when it is a symbolic link, the link's text as stored; a relative
// link's text is also taken from the link's own directory (links under
// /dev/disk point to "../../sdb1"). The link is followed one step only.
std::vector<std::string> DeviceNames(const std::string& name) {
    std::vector<std::string> names{name};
    char text[4096];
    ssize_t n = ::readlink(name.c_str(), text, sizeof text - 1);
    if (n <= 0)
        return names;
    std::string target(text, static_cast<size_t>(n));
    names.push_back(target);
    if (target[0] != '/') {
        std::string dir = name.substr(0, name.rfind('/') + 1);
        names.push_back(LexicallyNormal(dir + target));
    }
    return names;
}

}  // namespace

bool KZVolumeUnix::Lock() {
    static const char kContext[] = "KZVolumeUnix::Lock:";
    m_strErrorString.clear();
    // Without a name there is nothing to look up: an empty name would match
    // whatever the table holds under an empty field.
    if (!m_bValid || m_strVolName.empty()) {
        g_log.Error(kContext, "Failed to Lock : Invalid volume handle=%d \n", m_hVolume);
        return false;
    }
    const bool byDevice = IsDevicePath(m_strVolName);
    // A mount directory is not opened: a descriptor of it would keep the very file
    // system busy that is to be unmounted.
    if (byDevice && (m_hVolume == -1 || m_hVolume == 0) && !Open()) {
        g_log.Error(kContext, "Failed to Lock : Invalid volume handle=%d \n", m_hVolume);
        return false;
    }
    if (m_bLocked) {
        g_log.Debug(kContext, "Volume is Already Locked: %s \n", m_strVolName.c_str());
        return true;
    }

    const std::vector<std::string> names =
        byDevice ? DeviceNames(m_strVolName) : std::vector<std::string>();
    auto matches = [&](const kzvol::MountedFs& fs) {
        if (!byDevice)
            return fs.dir == m_strVolName;
        return std::find(names.begin(), names.end(), fs.device) != names.end();
    };
    kzvol::MountedFs fs;
    int err = 0;
    switch (kzvol::FindMountedFs(matches, &fs, &err)) {
        case kzvol::MountScan::kUnreadable:
            g_log.Error(kContext, "open /etc/mtab failed for locking device=%s errno=%d \n",
                        m_strVolName.c_str(), err);
            return false;
        case kzvol::MountScan::kNotFound:
            g_log.Error(kContext, "did not find %s in /etc/mtab as mounted filesystem \n",
                        m_strVolName.c_str());
            return true;
        case kzvol::MountScan::kFound:
            break;
    }

    std::string output;
    KzProcess process;
    // "--": a directory is never taken for an option, whatever its name.
    if (process.system("/bin/umount -- " + kzvol::ShellQuote(fs.dir), &output, nullptr, 0, false) !=
        0) {
        g_log.Error(kContext, "failed to unmount=%s errno=%d \n", fs.dir.c_str(), errno);
        return false;
    }
    g_log.Debug(kContext, "successfully unmounted=%s \n", fs.dir.c_str());
    m_bLocked = true;
    ReleaseMountStrings();
    m_pszMntFsName = ::strdup(fs.device.c_str());
    m_pszMntDir = ::strdup(fs.dir.c_str());
    m_pszMntType = ::strdup(fs.type.c_str());
    m_pszMntOpts = ::strdup(fs.options.c_str());
    return true;
}
