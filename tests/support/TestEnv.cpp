// Test doubles for the host services.
#include "tests/support/TestEnv.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kzvol::testing {

TestEnv::TestEnv() : EnvWrapper(Env::Default()) {
    previous_ = SetEnv(this);
}

TestEnv::~TestEnv() {
    SetEnv(previous_ == Env::Default() ? nullptr : previous_);
}

std::vector<LogLine> TestEnv::Logs() const {
    return Locked(logs_);
}

int TestEnv::CountLogs(const std::string& text, const std::string& context) const {
    int n = 0;
    for (const auto& l : Logs())
        n += l.message.find(text) != std::string::npos && (context.empty() || l.context == context);
    return n;
}

bool TestEnv::HasError(const std::string& text) const {
    for (const auto& l : Logs())
        if (l.kind == LogKind::Error && l.message.find(text) != std::string::npos)
            return true;
    return false;
}

void TestEnv::QueueCommandResult(int rc, std::string output) {
    std::lock_guard<std::mutex> lock(mu_);
    results_.emplace_back(rc, std::move(output));
}

std::vector<std::string> TestEnv::ShellCommands() const {
    return Locked(shell_);
}

std::vector<std::string> TestEnv::Commands() const {
    return Locked(commands_);
}

std::vector<unsigned long> TestEnv::Sleeps() const {
    return Locked(sleeps_);
}

std::vector<Event> TestEnv::Events() const {
    return Locked(events_);
}

void TestEnv::Log(LogKind kind, int level, const std::string& context, const std::string& message) {
    std::lock_guard<std::mutex> lock(mu_);
    logs_.push_back({kind, level, context, message});
}

void TestEnv::SleepMs(unsigned long ms, const char*, int) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        sleeps_.push_back(ms);
        now_ms_ += static_cast<int64_t>(ms);
    }
    if (on_sleep)
        on_sleep(ms);
}

int64_t TestEnv::NowSeconds() {
    std::lock_guard<std::mutex> lock(mu_);
    return now_ms_ / 1000;
}

int TestEnv::NextResult(std::string* output) {
    std::lock_guard<std::mutex> lock(mu_);
    if (results_.empty())
        return 0;
    auto [rc, text] = results_.front();
    results_.pop_front();
    if (output)
        *output = text;
    return rc;
}

int TestEnv::RunCommand(const std::string& command, std::string* output, std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        commands_.push_back(command);
    }
    if (run_commands_)
        return target()->RunCommand(command, output, error);
    return NextResult(output);
}

int TestEnv::RunShell(const std::string& command) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        shell_.push_back(command);
    }
    if (run_commands_)
        return target()->RunShell(command);
    return NextResult(nullptr);
}

void TestEnv::RaiseCriticalEvent(int code, const std::vector<std::string>& args) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back({code, args});
}

bool TestEnv::ReadMountTable(std::vector<MountTableEntry>* entries) {
    std::lock_guard<std::mutex> lock(mu_);
    *entries = mounts_;
    return true;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kzvol-test.XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        std::abort();
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    int ignored = std::system(cmd.c_str());
    (void)ignored;
}

std::string TempDir::Write(const std::string& name, const std::string& contents) const {
    std::string p = File(name);
    std::ofstream(p, std::ios::binary) << contents;
    return p;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int RunCommandLine(const std::string& command, std::string* output) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        if (output)
            output->append(buf, n);
    }
    int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> ShellWords(const std::string& commandLine) {
    // The words go out NUL-separated, so newlines and brackets in them survive.
    std::string out;
    RunCommandLine("set -- " + commandLine + "; for w; do printf '%s\\0' \"$w\"; done", &out);
    std::vector<std::string> words;
    for (size_t at = 0, end; (end = out.find('\0', at)) != std::string::npos; at = end + 1)
        words.push_back(out.substr(at, end - at));
    return words;
}

int OpenDescriptorCount() {
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (readdir(d))
        ++n;
    ::closedir(d);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

}  // namespace kzvol::testing
