// A scoped failure tap: while one exists it is the process's Env, keeps the last
// error line the library logs and passes every line on, so that a failure the
// tool reports carries its cause whether or not a log is written. Taps nest; each
// puts back the Env it found. Thread-safe: the library may log from any thread.
#pragma once

#include <mutex>
#include <string>

#include "host/Env.h"

namespace kzvol {

class FailureTap : public EnvWrapper {
  public:
    // `fallbackContext`: a log context whose last line stands for the cause when
    // no error line came (an operation that reports its refusals as Debug lines).
    // `quietShell`: the output of the shell lines the library runs goes to the log
    // rather than to the terminal.
    explicit FailureTap(std::string fallbackContext = "", bool quietShell = false);
    ~FailureTap() override;
    FailureTap(const FailureTap&) = delete;
    FailureTap& operator=(const FailureTap&) = delete;

    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override;
    int RunShell(const std::string& command) override;

    // The cause ("" when none), its trailing blanks and newline taken off; the tap
    // starts afresh.
    std::string Take();

  private:
    Env* previous_;
    const std::string fallbackContext_;
    const bool quietShell_;
    std::mutex mu_;
    std::string error_, fallback_;
};

}  // namespace kzvol
