// The one interface between kzvol and the outside world that tests must control:
// the log destination, the clock and sleeps, commands and child processes, critical
// events and the mount table. Every host service of the library reaches the system
// through the current Env; tests install a wrapper that records or changes one call.
//
// Thread safety: the current Env is swapped atomically; an Env must tolerate calls
// from several threads at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Export.h"

namespace kzvol {

enum class LogKind { Error, Debug, DebugLvl };

// A child started by Env::StartProcess.
class KZVOL_API ChildProcess {
  public:
    virtual ~ChildProcess();
    virtual pid_t Pid() const = 0;
    // Waits up to timeoutSec seconds (negative: no limit). Returns true when the
    // child ended, with its exit status in *exitCode; false with *error set to
    // "timedout" when the time ran out, or to the cause of another failure.
    virtual bool Wait(int timeoutSec, int* exitCode, std::string* error) = 0;
};

// One line of the mount table, fields in their table order
// (device, directory, type, options, dump frequency, pass number).
struct MountTableEntry {
    std::vector<std::string> fields;
};

class KZVOL_API Env {
  public:
    virtual ~Env();

    // Writes one log record. `level` matters only for LogKind::DebugLvl.
    virtual void Log(LogKind kind, int level, const std::string& context,
                     const std::string& message) = 0;
    // Whether DebugLvl lines of `level` would be kept; lets callers skip formatting
    // lines nobody sees. True unless an Env knows better.
    virtual bool DebugLevelShown(int /*level*/) { return true; }

    virtual void SleepMs(unsigned long ms, const char* file, int line) = 0;
    // Seconds since the epoch.
    virtual int64_t NowSeconds() = 0;

    // Runs a shell command line to completion; 0 on success. Output and error text
    // are captured into the strings that are given.
    virtual int RunCommand(const std::string& command, std::string* output, std::string* error) = 0;
    // The operating system's system(): a shell command line, output not captured.
    virtual int RunShell(const std::string& command) = 0;
    // Starts `path` with the blank-separated `arguments` (the first is argv[0]).
    // Arguments that begin with `path` give it whole as argv[0], blanks included;
    // only the rest is split. Null with *error set when the start failed.
    virtual std::unique_ptr<ChildProcess> StartProcess(const std::string& path,
                                                       const std::string& arguments,
                                                       std::string* error) = 0;

    virtual void RaiseCriticalEvent(int code, const std::vector<std::string>& args) = 0;

    // Reads the table of mounted file systems. False when it cannot be read.
    virtual bool ReadMountTable(std::vector<MountTableEntry>* entries) = 0;

    // Makes a file's data, or a directory's entries, durable (fsync). Every sync a
    // rename's durability rests on goes through here, so that a test can see that
    // it happens and when; a kill cannot show a missing one.
    virtual bool SyncFile(int fd);

    // The production implementation; never destroyed.
    static Env* Default();
};

// The Env used by the library: Default() unless a caller installed another.
KZVOL_API Env* CurrentEnv();
// Installs `env` (null restores the default) and returns the previous one.
KZVOL_API Env* SetEnv(Env* env);

// Forwards every call to a target; subclass it to change one call.
class KZVOL_API EnvWrapper : public Env {
  public:
    explicit EnvWrapper(Env* target) : target_(target) {}
    Env* target() const { return target_; }

    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override;
    bool DebugLevelShown(int level) override;
    void SleepMs(unsigned long ms, const char* file, int line) override;
    int64_t NowSeconds() override;
    int RunCommand(const std::string& command, std::string* output, std::string* error) override;
    int RunShell(const std::string& command) override;
    std::unique_ptr<ChildProcess> StartProcess(const std::string& path,
                                               const std::string& arguments,
                                               std::string* error) override;
    void RaiseCriticalEvent(int code, const std::vector<std::string>& args) override;
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override;
    bool SyncFile(int fd) override;

  private:
    Env* target_;
};

}  // namespace kzvol
