// The scoped failure tap: the last error line the library logged, for the tool's
// own messages.
#include "host/FailureTap.h"

#include <utility>

namespace kzvol {
namespace {

std::string Line(const std::string& context, const std::string& message) {
    std::string line = context + " " + message;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

}  // namespace

FailureTap::FailureTap(std::string fallbackContext, bool quietShell)
    : EnvWrapper(CurrentEnv()),
      fallbackContext_(std::move(fallbackContext)),
      quietShell_(quietShell) {
    previous_ = SetEnv(this);
}

FailureTap::~FailureTap() {
    SetEnv(previous_ == Env::Default() ? nullptr : previous_);
}

void FailureTap::Log(LogKind kind, int level, const std::string& context,
                     const std::string& message) {
    if (kind == LogKind::Error || (!fallbackContext_.empty() && context == fallbackContext_)) {
        std::lock_guard<std::mutex> lock(mu_);
        (kind == LogKind::Error ? error_ : fallback_) = Line(context, message);
    }
    EnvWrapper::Log(kind, level, context, message);
}

int FailureTap::RunShell(const std::string& command) {
    if (!quietShell_)
        return EnvWrapper::RunShell(command);
    std::string out, err;
    int rc = RunCommand(command, &out, &err);
    if (!out.empty() || !err.empty())
        EnvWrapper::Log(LogKind::Debug, 0, "kzvol", "'" + command + "' said: " + out + err);
    return rc;
}

std::string FailureTap::Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string cause = error_.empty() ? fallback_ : error_;
    error_.clear();
    fallback_.clear();
    return cause;
}

}  // namespace kzvol
