// The production Env: log file or standard error, real sleeps and clock, commands
// through /bin/sh, children through posix_spawn, the mount table from /etc/mtab.
#include <fcntl.h>
#include <mntent.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "host/Env.h"
#include "host/Handles.h"
#include "host/MountTableStream.h"

extern char** environ;

namespace kzvol {
namespace {

// Splits a command line on blanks; the pieces become argv.
std::vector<std::string> SplitBlanks(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            out.emplace_back(line, start, i - start);
    }
    return out;
}

// argv of a child: the program path is one word, blanks and all, when the
// arguments begin with it; only what follows is split.
std::vector<std::string> ArgumentVector(const std::string& path, const std::string& arguments) {
    if (!path.empty() && arguments.compare(0, path.size(), path) == 0) {
        std::vector<std::string> args{path};
        for (std::string& a : SplitBlanks(arguments.substr(path.size())))
            args.push_back(std::move(a));
        return args;
    }
    std::vector<std::string> args = SplitBlanks(arguments);
    if (args.empty())
        args.push_back(path);
    return args;
}

int StatusToResult(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

class PosixChild : public ChildProcess {
  public:
    explicit PosixChild(pid_t pid) : pid_(pid) {}
    pid_t Pid() const override { return pid_; }

    bool Wait(int timeoutSec, int* exitCode, std::string* error) override {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, timeoutSec < 0 ? 0 : WNOHANG);
            if (r == pid_) {
                if (exitCode)
                    *exitCode = StatusToResult(status);
                return true;
            }
            if (r < 0 && errno != EINTR) {
                if (error)
                    *error = std::string("waitpid: ") + std::strerror(errno);
                return false;
            }
            if (timeoutSec >= 0 && std::chrono::steady_clock::now() >= deadline) {
                if (error)
                    *error = "timedout";
                return false;
            }
            if (r == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

  private:
    pid_t pid_;
};

// Drains the two pipes of a child until both are closed.
void DrainPipes(int outFd, int errFd, std::string* output, std::string* error) {
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {output, error};
    int open = (outFd >= 0) + (errFd >= 0);
    char buf[8192];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                if (sinks[i])
                    sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

// Where log lines go and which are kept. Quiet by default: without KZVOL_LOG or
// KZVOL_LOG_LEVEL only Error lines reach standard error, so a program that uses the
// library prints nothing when nothing is wrong. Either variable turns Debug lines
// on; KZVOL_LOG_LEVEL (0 to 4) also shows DebugLvl lines up to its level.
class LogSink {
  public:
    LogSink() {
        const char* path = std::getenv("KZVOL_LOG");
        if (path && *path) {
            file_.reset(::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
            debug_ = true;
        }
        const char* lvl = std::getenv("KZVOL_LOG_LEVEL");
        if (lvl && *lvl) {
            level_ = std::atoi(lvl);
            debug_ = true;
        }
    }
    int fd() const { return file_.valid() ? file_.get() : STDERR_FILENO; }
    bool Keeps(LogKind kind, int level) const {
        return kind == LogKind::Error || (debug_ && (kind == LogKind::Debug || level <= level_));
    }

  private:
    UniqueFd file_;
    bool debug_ = false;
    int level_ = 0;
};

std::string TimeStamp() {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    struct tm tm;
    ::localtime_r(&tv.tv_sec, &tm);
    char buf[48];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
    return buf;
}

const char* KindName(LogKind kind) {
    switch (kind) {
        case LogKind::Error:
            return "ERROR";
        case LogKind::Debug:
            return "DEBUG";
        case LogKind::DebugLvl:
            return "DEBUG";
    }
    return "?";
}

class PosixEnv : public Env {
  public:
    static const LogSink& Sink() {
        static LogSink sink;
        return sink;
    }
    bool DebugLevelShown(int level) override { return Sink().Keeps(LogKind::DebugLvl, level); }

    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override {
        const LogSink& sink = Sink();
        if (!sink.Keeps(kind, level))
            return;
        char head[160];
        std::snprintf(head, sizeof head, "%s %d %ld %s", TimeStamp().c_str(),
                      static_cast<int>(::getpid()), static_cast<long>(::syscall(SYS_gettid)),
                      KindName(kind));
        std::string line = head;
        if (kind == LogKind::DebugLvl)
            line += std::to_string(level);
        line += ' ';
        line += context;
        line += ' ';
        line += message;
        if (line.empty() || line.back() != '\n')
            line += '\n';
        // One write per line keeps lines of several threads apart.
        ssize_t ignored = ::write(sink.fd(), line.data(), line.size());
        (void)ignored;
    }

    void SleepMs(unsigned long ms, const char*, int) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    int64_t NowSeconds() override { return static_cast<int64_t>(::time(nullptr)); }

    int RunCommand(const std::string& command, std::string* output, std::string* error) override {
        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0)
            return -1;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return -1;
        }
        UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
        UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
        if (error)
            posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        pid_t pid = -1;
        int rc =
            ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return -1;
        outWrite.reset();
        errWrite.reset();
        DrainPipes(outRead.get(), error ? errRead.get() : -1, output, error);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return StatusToResult(status);
    }

    int RunShell(const std::string& command) override { return ::system(command.c_str()); }

    std::unique_ptr<ChildProcess> StartProcess(const std::string& path,
                                               const std::string& arguments,
                                               std::string* error) override {
        std::vector<std::string> args = ArgumentVector(path, arguments);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        int rc = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
        if (rc != 0) {
            if (error)
                *error = std::string("cannot start ") + path + ": " + std::strerror(rc);
            return nullptr;
        }
        return std::make_unique<PosixChild>(pid);
    }

    void RaiseCriticalEvent(int code, const std::vector<std::string>& args) override {
        char head[48];
        std::snprintf(head, sizeof head, "critical event 0x%X", static_cast<unsigned>(code));
        std::string msg = head;
        for (const auto& a : args)
            msg += " [" + a + "]";
        Log(LogKind::Error, 0, "EvEvent::CriticalEvent:", msg);
    }

    bool ReadMountTable(std::vector<MountTableEntry>* entries) override {
        FILE* f = ::setmntent("/etc/mtab", "r");
        if (!f)
            return false;
        ReadMountEntries(f, entries);
        ::endmntent(f);
        return true;
    }
};

}  // namespace

Env* Env::Default() {
    static PosixEnv* env = new PosixEnv;
    return env;
}

}  // namespace kzvol
