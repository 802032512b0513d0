// Process running through the current Env.
#include "host/KzProcess.h"

#include "host/Env.h"

KzProcess::KzProcess() = default;
KzProcess::~KzProcess() = default;

int KzProcess::system(const std::string& command, std::string* output, std::string* error, int,
                      bool) {
    return kzvol::CurrentEnv()->RunCommand(command, output, error);
}

int KzProcess::StartProcess(const std::string& path, const std::string& arguments,
                            std::string* error, int) {
    std::string why;
    child_ = kzvol::CurrentEnv()->StartProcess(path, arguments, &why);
    if (child_)
        return 1;
    if (error)
        *error = why;
    return 0;
}

int KzProcess::WaitForProcessToEnd(int* exitCode, std::string* error, int timeoutSec) {
    if (!child_) {
        if (error)
            *error = "no child process";
        return 0;
    }
    std::string why;
    if (child_->Wait(timeoutSec, exitCode, &why))
        return 1;
    if (error)
        *error = why;
    return 0;
}

pid_t KzProcess::GetChildPid() const {
    return child_ ? child_->Pid() : -1;
}

namespace kzvol {
int RunShell(const std::string& command) {
    return CurrentEnv()->RunShell(command);
}
}  // namespace kzvol
