// Test doubles for the host services.
#include "tests/support/TestEnv.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kzvol::testing {

int TestEnv::Count(const std::string& text, bool errorsOnly) const {
    const auto logs = Logs();
    return static_cast<int>(std::count_if(logs.begin(), logs.end(), [&](const LogLine& l) {
        return (!errorsOnly || l.kind == LogKind::Error) &&
               l.message.find(text) != std::string::npos;
    }));
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

int TestEnv::Record(std::vector<std::string>& list, const std::string& command,
                    std::string* output) {
    std::lock_guard<std::mutex> lock(mu_);
    list.push_back(command);
    if (run_commands_ || results_.empty())
        return 0;
    auto [rc, text] = results_.front();
    results_.pop_front();
    if (output)
        *output = text;
    return rc;
}

int TestEnv::RunCommand(const std::string& command, std::string* output, std::string* error) {
    const int rc = Record(commands_, command, output);
    return run_commands_ ? target()->RunCommand(command, output, error) : rc;
}

int TestEnv::RunShell(const std::string& command) {
    const int rc = Record(shell_, command, nullptr);
    return run_commands_ ? target()->RunShell(command) : rc;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/kzvol-test.XXXXXX";
    if (!::mkdtemp(path_.data()))
        std::abort();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& contents) const {
    std::ofstream(File(name), std::ios::binary) << contents;
    return File(name);
}

std::string ReadFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

int RunCommandLine(const std::string& command, std::string* output) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        if (output)
            output->append(buf, n);
    const int status = ::pclose(p);
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
    std::error_code error;
    auto fds = std::filesystem::directory_iterator("/proc/self/fd", error);
    return error ? -1 : static_cast<int>(std::distance(fds, {})) - 1;  // less the iterator's
}

}  // namespace kzvol::testing
