// Test doubles for the host services, installed for a test's life: logs, commands, sleeps
// and clock, critical events and mount table; the rest forwards to the production Env.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/Env.h"

namespace kzvol::testing {

struct LogLine {
    LogKind kind;
    int level;
    std::string context, message;
};

struct Event {
    int code;
    std::vector<std::string> args;
};

class TestEnv : public EnvWrapper {
  public:
    TestEnv() : EnvWrapper(Env::Default()) { previous_ = SetEnv(this); }  // once all is built
    ~TestEnv() override { SetEnv(previous_ == Env::Default() ? nullptr : previous_); }
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    std::vector<LogLine> Logs() const { return Locked(logs_); }
    int CountLogs(const std::string& text) const { return Count(text, false); }  // in messages
    bool HasError(const std::string& text) const { return Count(text, true) > 0; }

    // Commands and shell lines: recorded, answered from the queue (else 0) or run for real.
    void set_run_commands(bool run) { run_commands_ = run; }
    void QueueCommandResult(int rc, std::string output = "") {
        std::lock_guard<std::mutex> lock(mu_);
        results_.emplace_back(rc, std::move(output));
    }
    std::vector<std::string> Commands() const { return Locked(commands_); }
    std::vector<std::string> ShellCommands() const { return Locked(shell_); }  // by system()

    // Sleeps return at once, are recorded and advance the fake clock.
    std::vector<unsigned long> Sleeps() const { return Locked(sleeps_); }
    void AdvanceClock(int64_t seconds) { now_ms_ += seconds * 1000; }

    std::vector<Event> Events() const { return Locked(events_); }
    void SetMountTable(std::vector<MountTableEntry> table) { mounts_ = std::move(table); }

    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override {
        std::lock_guard<std::mutex> lock(mu_);
        logs_.push_back({kind, level, context, message});
    }
    bool DebugLevelShown(int) override { return true; }  // every level is captured
    void SleepMs(unsigned long ms, const char* file, int line) override;
    int64_t NowSeconds() override { return Locked(now_ms_) / 1000; }
    int RunCommand(const std::string& command, std::string* output, std::string* error) override;
    int RunShell(const std::string& command) override;
    void RaiseCriticalEvent(int code, const std::vector<std::string>& args) override {
        std::lock_guard<std::mutex> lock(mu_);
        events_.push_back({code, args});
    }
    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        *entries = Locked(mounts_);
        return true;
    }

    std::function<void(unsigned long)> on_sleep;  // called for every sleep once recorded

  private:
    int Count(const std::string& text, bool errorsOnly) const;  // log lines holding `text`
    // Records `command` in `list`; the queued result unless commands run for real.
    int Record(std::vector<std::string>& list, const std::string& command, std::string* output);
    template <class T>
    T Locked(const T& member) const {
        std::lock_guard<std::mutex> lock(mu_);
        return member;
    }

    Env* previous_;
    mutable std::mutex mu_;
    std::vector<LogLine> logs_;
    std::vector<std::string> commands_, shell_;
    std::deque<std::pair<int, std::string>> results_;
    std::vector<unsigned long> sleeps_;
    std::vector<Event> events_;
    std::vector<MountTableEntry> mounts_;
    bool run_commands_ = false;
    int64_t now_ms_ = 1700000000000;
};

// A temporary directory removed with its contents at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::string& contents) const;

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
// Runs a shell command line: its exit status, its output in *output.
int RunCommandLine(const std::string& command, std::string* output = nullptr);
// Runs the shell `line` expecting exit status `status`; answers its standard output.
inline std::string Sh(int status, const std::string& line) {
    std::string out;
    EXPECT_EQ(RunCommandLine(line, &out), status) << line << "\n" << out;
    return out;
}
// The words /bin/sh makes of `commandLine` (program first), without running it.
std::vector<std::string> ShellWords(const std::string& commandLine);
int OpenDescriptorCount();  // of this process

}  // namespace kzvol::testing
