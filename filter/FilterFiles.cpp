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
}  // namespace

void RegenerateBootScript(const char* context) {
    const int rc = RunShell(kBootScriptCommand);
    if (rc == 0)
        return;
    g_log.Error(context, "could not rebuild the boot script (status %d); the old one stays \n", rc);
    RunShell(kDropNewBootScript);
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
