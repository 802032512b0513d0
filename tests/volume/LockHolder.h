// A child process that holds a write lock on a whole file until released, for
// tests of the locks that must exclude other processes.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kzvol::testing {

class LockHolder {
  public:
    explicit LockHolder(const std::string& path) {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(release_) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release_[1]);
            int fd = ::open(path.c_str(), O_RDWR);
            struct flock whole = {};
            whole.l_type = F_WRLCK;
            whole.l_whence = SEEK_SET;
            char ok = fd >= 0 && ::fcntl(fd, F_SETLK, &whole) == 0 ? 'y' : 'n';
            if (::write(ready[1], &ok, 1) != 1)
                _exit(2);
            char c;
            while (::read(release_[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release_[0]);
        char ok = 'n';
        held_ = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    // Ends the child, and with it the lock.
    void Release() {
        if (pid_ <= 0)
            return;
        ::close(release_[1]);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
    bool held_ = false;
};

}  // namespace kzvol::testing
