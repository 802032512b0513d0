// The last error line of the library's log, kept for the tool's own messages.
#include "backup/ErrorTail.h"

#include <utility>

namespace kzvol::backup {

ErrorTail::ErrorTail() : EnvWrapper(CurrentEnv()) {
    previous_ = SetEnv(this);
}

ErrorTail::~ErrorTail() {
    SetEnv(previous_ == Env::Default() ? nullptr : previous_);
}

void ErrorTail::Log(LogKind kind, int level, const std::string& context,
                    const std::string& message) {
    if (kind == LogKind::Error) {
        std::lock_guard<std::mutex> lock(mu_);
        last_ = context + " " + message;
        while (!last_.empty() && (last_.back() == '\n' || last_.back() == ' '))
            last_.pop_back();
    }
    EnvWrapper::Log(kind, level, context, message);
}

int ErrorTail::RunShell(const std::string& command) {
    std::string out, err;
    int rc = RunCommand(command, &out, &err);
    if (!out.empty() || !err.empty())
        EnvWrapper::Log(LogKind::Debug, 0, "kzvol backup", "'" + command + "' said: " + out + err);
    return rc;
}

std::string ErrorTail::Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(last_, std::string());
}

}  // namespace kzvol::backup
