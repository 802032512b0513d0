// Starting, asking and stopping the stand-in's serving process.
#include "emulator/ServeClient.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/Handles.h"

namespace kzvol::emulator {
namespace {

constexpr auto kWaitStep = std::chrono::milliseconds(20);
constexpr int kWaitSteps = 500;  // 10 s

int Errno() {
    return errno ? errno : EIO;
}

int Connect(const std::string& path, UniqueFd* fd) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return ENAMETOOLONG;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    fd->reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!*fd)
        return Errno();
    while (::connect(fd->get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINTR)
            return Errno();
    }
    return 0;
}

std::string Program() {
    if (const char* env = std::getenv("KZVOL_FILTERD"); env && *env)
        return env;
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside(self, static_cast<size_t>(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + "kzvol-filterd";
        if (::access(beside.c_str(), X_OK) == 0)
            return beside;
    }
    return KZVOL_FILTERD_BUILT;
}

// Runs the program detached from this process (its own session, reparented to
// init), its output appended to the log in the state directory.
int Spawn(const std::string& program, const std::string& stateDir) {
    UniqueFd log(::open(ServeLog(stateDir).c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!log)
        return Errno();
    pid_t child = ::fork();
    if (child < 0)
        return Errno();
    if (child == 0) {
        if (::fork() != 0)
            ::_exit(0);
        ::setsid();
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(log.get(), 1);
        ::dup2(log.get(), 2);
        ::close_range(3, ~0u, 0);
        ::execl(program.c_str(), program.c_str(), stateDir.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

// Whether process `pid` still runs (a zombie waiting for its reaper does not).
bool Running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

pid_t PidOf(const std::string& stateDir) {
    std::ifstream in(ServePidFile(stateDir));
    long pid = 0;
    return in >> pid && pid > 1 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

int CallServer(const std::string& stateDir, const std::string& head, const std::string& body,
               std::vector<std::string>* words, std::string* replyBody) {
    UniqueFd fd;
    if (int err = Connect(ServeSocket(stateDir), &fd))
        return err;
    Message reply;
    if (int err = SendMessage(fd.get(), {head, body}))
        return err;
    if (int err = ReceiveMessage(fd.get(), &reply))
        return err;
    std::istringstream in(reply.head);
    std::string status, word;
    in >> status;
    if (status == "err") {
        int err = 0;
        return in >> err && err > 0 ? err : EPROTO;
    }
    if (status != "ok")
        return EPROTO;
    if (words) {
        words->clear();
        while (in >> word)
            words->push_back(word);
    }
    if (replyBody)
        *replyBody = std::move(reply.body);
    return 0;
}

int ServerInstance(const std::string& stateDir, std::string* instance) {
    std::vector<std::string> words;
    if (int err = CallServer(stateDir, "hello", "", &words))
        return err;
    if (words.size() != 1)
        return EPROTO;
    *instance = words[0];
    return 0;
}

int StartServer(const std::string& stateDir, std::string* instance, std::string* error) {
    if (ServerInstance(stateDir, instance) == 0)
        return 0;
    const std::string program = Program();
    if (::access(program.c_str(), X_OK) != 0) {
        *error = "cannot run " + program + ": " + std::strerror(errno) +
                 " (KZVOL_FILTERD names another)";
        return ENOENT;
    }
    if (int err = Spawn(program, stateDir)) {
        *error = "cannot start " + program + ": " + std::strerror(err);
        return err;
    }
    for (int i = 0; i < kWaitSteps; ++i) {
        if (ServerInstance(stateDir, instance) == 0)
            return 0;
        std::this_thread::sleep_for(kWaitStep);
    }
    *error = program + " did not come up (see " + ServeLog(stateDir) + ")";
    return ETIMEDOUT;
}

int StopServer(const std::string& stateDir) {
    const pid_t pid = PidOf(stateDir);
    int err = CallServer(stateDir, "quit", "", nullptr);
    if (err == ECONNREFUSED || err == ENOENT)
        return 0;  // none runs
    if (err)
        return err;
    for (int i = 0; pid && i < kWaitSteps; ++i) {
        if (!Running(pid))
            return 0;
        std::this_thread::sleep_for(kWaitStep);
    }
    return pid ? ETIMEDOUT : 0;
}

}  // namespace kzvol::emulator
