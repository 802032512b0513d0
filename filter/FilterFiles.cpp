// The boot script and directory creation.
#include "filter/FilterFiles.h"

#include <unistd.h>

#include <cerrno>

#include "host/EvDebug.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"

namespace kzvol {
namespace {
EvDebug g_log;
// The script is written beside its name, made executable and flushed, and renamed
// over the old one only when the snapshot tool succeeded: a failing tool leaves
// the old script, never an empty one.
const char kBootScriptCommand[] =
    "/sbin/kzsnap -c 'create_script' > /sbin/qnbf-bootscript1.rc.new && "
    "chmod 744 -- /sbin/qnbf-bootscript1.rc.new && sync -- /sbin/qnbf-bootscript1.rc.new && "
    "mv -f -- /sbin/qnbf-bootscript1.rc.new /sbin/qnbf-bootscript1.rc";
const char kDropNewScript[] = "rm -f -- /sbin/qnbf-bootscript1.rc.new";
}  // namespace

void RegenerateBootScript(const char* context) {
    const int rc = RunShell(kBootScriptCommand);
    if (rc == 0)
        return;
    g_log.Error(context, "could not rebuild the boot script (status %d); the old one stays \n", rc);
    RunShell(kDropNewScript);
}

bool EnsureDirectory(const char* context, const std::string& dir) {
    if (::access(dir.c_str(), F_OK) == 0)
        return true;
    if (errno != ENOENT) {
        g_log.Error(context, "Unable to access directory [%s] error no [%d]\n", dir.c_str(), errno);
        return false;
    }
    std::string command = "mkdir -p -- " + ShellQuote(dir);
    g_log.Debug(context, "Will attempt to execute [%s] command\n", command.c_str());
    if (RunShell(command) != 0) {
        g_log.Error(context, "execution of %s failed errno=%d\n", command.c_str(), errno);
        return false;
    }
    return true;
}

}  // namespace kzvol
