// The snapshot handler script: start it through the host runner, wait for it in
// short steps on the host clock, and interrupt it once its 30 minutes are over.
#include "volume/HandlerScript.h"

#include <signal.h>

#include <cstdint>

#include "host/Env.h"
#include "host/EvDebug.h"
#include "host/KZPlatformInfo.h"
#include "host/KzProcess.h"
#include "host/NoThrow.h"

namespace {

EvDebug g_log;

const char kContext[] = "FireUserGivenScript";
const char kScriptName[] = "ImgPodSnapHandler.sh";
constexpr int64_t kScriptLimitSec = 1800;
// One wait of the runner; the deadline is checked between waits.
constexpr int kWaitStepSec = 10;
// The runner's error texts are kept to this length.
constexpr size_t kErrorTextMax = 1023;

std::string Clip(const std::string& text) {
    return text.substr(0, kErrorTextMax);
}

bool RunScript(const std::string& first, const std::string& second, unsigned long long jobId) {
    std::string home;
    if (!KZPlatformInfo().getString("Base", "dTALMARHOME", &home)) {
        g_log.Error(kContext, "Failed to retrieve KZPI_TALMARHOME from the KZPI_BASE registry");
        return false;
    }
    const std::string script = home + "/Base/" + kScriptName;
    const std::string commandLine = script + second + first + " -jobid " + std::to_string(jobId);

    KzProcess process;
    std::string error;
    if (process.StartProcess(script, commandLine, &error, 0) != 1) {
        g_log.Error(kContext, "Could not execute the script:%s", Clip(error).c_str());
        return false;
    }
    const pid_t pid = process.GetChildPid();
    const int64_t deadline = kzvol::CurrentEnv()->NowSeconds() + kScriptLimitSec;
    int exitCode = 0;
    while (kzvol::CurrentEnv()->NowSeconds() <= deadline) {
        error.clear();
        if (process.WaitForProcessToEnd(&exitCode, &error, kWaitStepSec) == 1)
            return true;
        if (error != "timedout") {
            g_log.Debug(kContext, "Waiting for the scrip to die failed:%s", Clip(error).c_str());
            return false;
        }
    }
    g_log.Debug(kContext, "The script %s has taken more than 30 min.Killing it", kScriptName);
    // A pid of 0 or -1 would signal a whole process group or every process.
    if (pid <= 0 || ::kill(pid, SIGINT) != 0)
        g_log.Error(kContext, "Unable to Kill the script");
    error.clear();
    if (process.WaitForProcessToEnd(&exitCode, &error, -1) != 1)
        g_log.Debug(kContext, "Waiting for the scrip to die failed:%s", Clip(error).c_str());
    return false;
}

}  // namespace

bool FireUserGivenScript(std::string first, std::string second, unsigned long long jobId) {
    return kzvol::FalseOnThrow(g_log, kContext, [&] { return RunScript(first, second, jobId); });
}
