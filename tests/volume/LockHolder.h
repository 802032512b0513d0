// A child process that holds a write lock on a whole file until released, for
// tests of the locks that must exclude other processes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace kzvol::testing {

class LockHolder {
  public:
    // The child takes the lock and stops itself; held() tells whether it got it.
    explicit LockHolder(const std::string& path) {
        pid_ = ::fork();
        if (pid_ == 0) {
            int fd = ::open(path.c_str(), O_RDWR);
            struct flock whole = {};
            whole.l_type = F_WRLCK;
            if (fd < 0 || ::fcntl(fd, F_SETLK, &whole) != 0)
                _exit(1);
            ::raise(SIGSTOP);
            _exit(0);
        }
        int status = 0;
        held_ = ::waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
        if (!held_)
            pid_ = -1;
    }
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    // Ends the child, and with it the lock.
    void Release() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    bool held_ = false;
};

}  // namespace kzvol::testing
