// Keeps the last error line the library logged while it is installed, passing
// every line on, so that a failure the tool reports can carry its cause even
// when no log is written. Installs itself as the process's Env; several nest.
#pragma once

#include <mutex>
#include <string>

#include "host/Env.h"

namespace kzvol::backup {

// The output of the shell lines the library runs (the driver's boot script after
// a snapshot is deleted) goes to the log rather than to the terminal.
class ErrorTail : public EnvWrapper {
  public:
    ErrorTail();
    ~ErrorTail() override;
    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override;
    int RunShell(const std::string& command) override;
    // The last error line ("" when none), with its trailing newline taken off.
    std::string Take();

  private:
    Env* previous_;
    std::mutex mu_;
    std::string last_;
};

}  // namespace kzvol::backup
