// Runs shell commands and child processes through the current Env, so that tests
// can record every command the library runs and choose its result.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace kzvol {
class ChildProcess;
}

class KzProcess {
  public:
    KzProcess();
    ~KzProcess();
    KzProcess(const KzProcess&) = delete;
    KzProcess& operator=(const KzProcess&) = delete;

    // Runs a shell command line to completion: 0 on success, non-zero otherwise.
    // Standard output goes to *output and error output to *error where given.
    int system(const std::string& command, std::string* output, std::string* error, int flags,
               bool background);
    // Starts `path` with the blank-separated `arguments` (argv[0] first): 1 on success,
    // 0 with *error set otherwise.
    int StartProcess(const std::string& path, const std::string& arguments, std::string* error,
                     int flag);
    // 1 when the started child ended (*exitCode its status); 0 with *error set
    // otherwise, "timedout" when `timeoutSec` passed (negative: no limit).
    int WaitForProcessToEnd(int* exitCode, std::string* error, int timeoutSec);
    // The started child's process id, -1 when none.
    pid_t GetChildPid() const;

  private:
    std::unique_ptr<kzvol::ChildProcess> child_;
};

namespace kzvol {
// The operating system's system() call, through the current Env.
int RunShell(const std::string& command);
}  // namespace kzvol
