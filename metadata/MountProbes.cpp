// GetMntOptions, CheckIfACLEnabled and CheckIfSELinuxEnforcing.
#include "metadata/MountProbes.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "host/EvDebug.h"
#include "host/Handles.h"
#include "host/KZPlatformInfo.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "rdfd/Ext3Layout.h"
#include "volume/MountScan.h"

namespace {

EvDebug g_log;

// The first entry mounted on `mountPath`; false (logged under `context`) when
// there is none or the table cannot be read.
bool FindMount(const char* context, const char* mountPath, kzvol::MountedFs* fs) {
    const std::string wanted = mountPath ? mountPath : "";
    int err = 0;
    switch (kzvol::FindMountedFs([&](const kzvol::MountedFs& m) { return m.dir == wanted; }, fs,
                                 &err)) {
        case kzvol::MountScan::kFound:
            return true;
        case kzvol::MountScan::kNotFound:
            g_log.Debug(context, "mountpoint=%s was not mounted \n", wanted.c_str());
            return false;
        case kzvol::MountScan::kUnreadable:
            g_log.Debug(context, "failed to open /etc/mtab errno=%d\n", err);
            return false;
    }
    return false;
}

// Whether the comma-separated `options` hold `option` as a whole word.
bool HasOption(const std::string& options, const std::string& option) {
    return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

// Whether the ext2/ext3 superblock of `device` has ACLs among its default mount
// options (which the mount table does not list); false when it cannot be read.
bool AclByDefault(const std::string& device) {
    constexpr off_t kDefaultMountOptions = 1024 + 0x100;
    constexpr uint32_t kDefaultAcl = 0x8;
    kzvol::UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    unsigned char bytes[4];
    if (!fd || ::pread(fd.get(), bytes, sizeof bytes, kDefaultMountOptions) != sizeof bytes)
        return false;
    return (kzvol::ext3::Le32(bytes) & kDefaultAcl) != 0;
}

// The configured temporary directory, "" when none (or the registry is unreadable).
std::string TempDirectory() {
    try {
        char dir[1024] = {};
        int length = sizeof dir;
        KZPlatformInfo info;
        if (!info.getString("Base", "dTALMARTEMPDIR", dir, &length))
            return "";
        return dir;
    } catch (...) {
        return "";
    }
}

// The answer of sestatus' output: a "status" line saying disabled ends with
// false, else the first "mode" line decides.
bool ReadsEnforcing(FILE* output) {
    char line[4096];
    while (std::fgets(line, sizeof line, output)) {
        const std::string text = line;
        if (text.find("status") != std::string::npos) {
            if (text.find("disabled") != std::string::npos)
                return false;
        } else if (text.find("mode") != std::string::npos) {
            return text.find("enforcing") != std::string::npos;
        }
    }
    return false;
}

}  // namespace

std::string GetMntOptions(char* mountPath) {
    static const char kContext[] = "GetMntOptions:";
    kzvol::MountedFs fs;
    if (!FindMount(kContext, mountPath, &fs))
        return "";
    if (fs.type.compare(0, 3, "ext") != 0) {
        g_log.Debug(kContext, "unsupported filesystem type=%s mountpoint=%s ", fs.type.c_str(),
                    mountPath);
        return "";
    }
    return fs.options;
}

bool CheckIfACLEnabled(char* mountPath) {
    static const char kContext[] = "CheckIfACLEnabled:";
    kzvol::MountedFs fs;
    if (!FindMount(kContext, mountPath, &fs))
        return false;
    g_log.Debug(kContext, "mountpoint=%s mounted with options=%s\n", mountPath, fs.options.c_str());
    if (HasOption(fs.options, "noacl"))
        return false;
    return HasOption(fs.options, "acl") ||
           (fs.type.compare(0, 3, "ext") == 0 && AclByDefault(fs.device));
}

bool CheckIfSELinuxEnforcing() {
    const std::string dir = TempDirectory();
    if (dir.empty())
        return false;
    const std::string output = dir + "/sestatus";
    // Both streams go to the file in a form every POSIX shell reads the same way.
    const int rc = kzvol::RunShell("sestatus > " + kzvol::ShellQuote(output) + " 2>&1");
    if (rc < 0 || rc == 127 || (WIFEXITED(rc) && WEXITSTATUS(rc) == 127))
        return false;
    kzvol::UniqueFile file(std::fopen(output.c_str(), "re"));
    return file && ReadsEnforcing(file.get());
}
