// The stand-in driver as a request channel: file lock, load, answer, save.
#include "emulator/Emulator.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "emulator/Driver.h"
#include "emulator/HostOps.h"
#include "emulator/ServeClient.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"
#include "host/Handles.h"

namespace kzvol::emulator {
namespace {

int Errno() {
    return errno ? errno : EIO;
}

// The exclusive lock on the state directory, held for the life of the object.
class DirLock {
  public:
    explicit DirLock(const std::string& dir)
        : fd_(::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ < 0) {
            err_ = Errno();
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                err_ = Errno();
                return;
            }
        }
    }
    ~DirLock() {
        if (fd_ >= 0)
            ::close(fd_);  // closing drops the lock
    }
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;
    int error() const { return err_; }

  private:
    int fd_;
    int err_ = 0;
};

int Load(const std::string& dir, State* state) {
    std::ifstream in(dir + "/state", std::ios::binary);
    if (!in)
        return ENODEV;  // no driver here
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), state) ? 0 : EIO;
}

int Save(const std::string& dir, const State& state) {
    return WriteFileAtomically(dir + "/state", Serialize(state));
}

bool Fail(std::string* error, const std::string& what, int err) {
    if (error)
        *error = what + ": " + std::strerror(err);
    return false;
}

// True when `dir` holds nothing but, perhaps, an empty lock file of the stand-in.
bool IsEmptyDir(const std::string& dir) {
    UniqueDir d{::opendir(dir.c_str())};
    if (!d)
        return false;
    while (const dirent* e = ::readdir(d.get())) {
        const std::string name = e->d_name;
        struct stat st;
        if (name == "." || name == "..")
            continue;
        if (name != "lock" || ::lstat((dir + "/lock").c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_size != 0)
            return false;
    }
    return true;
}

// Removes "state.XXXXXX", what a killed writer of the state file left.
void RemoveStateTemporaries(const std::string& dir) {
    UniqueDir d{::opendir(dir.c_str())};
    while (const dirent* e = d ? ::readdir(d.get()) : nullptr) {
        const std::string name = e->d_name;
        struct stat st;
        const std::string path = dir + "/" + name;
        if (name.size() == 12 && name.compare(0, 6, "state.") == 0 &&
            ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            ::unlink(path.c_str());
    }
}

}  // namespace

template <typename Fn>
int Emulator::WithState(bool save, Fn fn, bool serve) {
    DirLock lock(dir_);
    if (lock.error())
        return lock.error();
    State state;
    if (int err = Load(dir_, &state))
        return err;
    if (serve && state.mode == Mode::Devices) {
        bool changed = false;
        int err = Driver(state, dir_).Reconnect(&changed);
        save = save || changed;
        if (err) {
            if (changed)
                Save(dir_, state);
            return err;
        }
    }
    int err = fn(state);
    if (save) {
        int saved = Save(dir_, state);
        if (!err)
            err = saved;
    }
    return err;
}

bool Emulator::Create(const std::string& stateDir, Mode mode, std::string* error, bool replace) {
    if (::mkdir(stateDir.c_str(), 0700) != 0 && errno != EEXIST)
        return Fail(error, "cannot create " + stateDir, Errno());
    const bool empty = IsEmptyDir(stateDir);
    State running;
    if (Emulator(stateDir).Snapshot(&running)) {
        if (!replace)
            return Fail(error, "a stand-in driver runs with its state in " + stateDir, EEXIST);
        if (!Emulator(stateDir).Shutdown(false, error))
            return false;
    } else if (!empty) {
        // Not the stand-in's: its files are the user's to keep.
        return Fail(error,
                    stateDir +
                        " is not empty and holds no stand-in state: choose a new "
                        "or empty directory",
                    ENOTEMPTY);
    }
    if (mode == Mode::Devices) {
        if (int err = MakeAdminNode())
            return Fail(error, std::string("cannot make ") + kQnbfAdminNode, err);
    }
    DirLock lock(stateDir);
    if (lock.error())
        return Fail(error, "cannot lock " + stateDir, lock.error());
    State state;
    state.mode = mode;
    if (int err = Save(stateDir, state))
        return Fail(error, "cannot write the state", err);
    std::string instance;
    if (mode == Mode::Devices && StartServer(stateDir, &instance, error)) {
        ::unlink((stateDir + "/state").c_str());  // no driver without its serving process
        return false;
    }
    return true;
}

bool Emulator::TakeInjected(unsigned long request, int* err) {
    std::lock_guard<std::mutex> guard(mu_);
    for (auto it = injected_.begin(); it != injected_.end(); ++it) {
        if (it->first == request) {
            *err = it->second;
            injected_.erase(it);
            return true;
        }
    }
    return false;
}

void Emulator::FailNext(unsigned long request, int err) {
    std::lock_guard<std::mutex> guard(mu_);
    injected_.emplace_back(request, err);
}

int Emulator::Request(int fd, unsigned long request, void* arg) {
    int err = 0;
    if (_IOC_TYPE(request) != QNBF_IOCTL_TYPE) {
        if (TakeInjected(request, &err)) {
            errno = err;
            return -1;
        }
        Mode mode = Mode::Devices;
        if (request == BLKFLSBUF &&
            WithState(false, [&](State& s) { return mode = s.mode, 0; }) == 0 &&
            mode == Mode::Memory)
            return 0;
        return ::ioctl(fd, request, arg);
    }
    // Requests that only read leave the state file alone.
    const bool changes = request != QNBF_GET_DEVLIST && request != QNBF_GET_INFO &&
                         request != QNBF_GET_DATABLOCK_MAP;
    if (!TakeInjected(request, &err))
        err = WithState(
            changes, [&](State& s) { return Driver(s, dir_).Handle(request, arg); }, true);
    if (err == 0)
        return 0;
    errno = err;
    return -1;
}

int Emulator::OpenNode(const std::string& path, int flags) {
    if (path.compare(0, sizeof kQnbfNodeDir - 1, kQnbfNodeDir) != 0)
        return ::open(path.c_str(), flags);
    std::string target;
    int err = WithState(false, [&](State& s) {
        if (s.mode == Mode::Devices)
            return target = path, 0;
        std::string name = path.substr(sizeof kQnbfNodeDir - 1);
        if (name == "ctrl")
            return target = "/dev/null", 0;
        for (const Device& d : s.devices) {
            if (d.node_name != name)
                continue;
            if (d.snapshot && (flags & O_ACCMODE) != O_RDONLY)
                return EROFS;
            target = d.data_path.empty() ? "/dev/null" : d.data_path;
            return 0;
        }
        return ENOENT;
    });
    if (err) {
        errno = err;
        return -1;
    }
    return ::open(target.c_str(), flags & ~(O_CREAT | O_TRUNC | O_EXCL));
}

bool Emulator::DeclareVolume(const std::string& path, uint64_t size) {
    return WithState(true, [&](State& s) {
               if (s.mode != Mode::Memory)
                   return EINVAL;
               s.volumes[path] = size;
               return 0;
           }) == 0;
}

bool Emulator::NoteWrite(uint32_t minor, uint64_t offset, uint64_t length) {
    return WithState(true, [&](State& s) {
               return Driver(s, dir_).NoteWrite(minor, offset, length);
           }) == 0;
}

bool Emulator::Shutdown(bool removeAdminNode, std::string* error) {
    Mode mode = Mode::Memory;
    std::string refusal;
    int err = WithState(true, [&](State& s) {
        mode = s.mode;
        for (const Device& d : s.devices) {
            const std::string node = kQnbfNodeDir + d.node_name;
            std::string at = d.loop_minor >= 0 ? MountPointOf(LoopPath(d.loop_minor)) : "";
            if (!at.empty()) {
                refusal = node + " is mounted on " + at + ": unmount it first";
                return EBUSY;
            }
        }
        return Driver(s, dir_).DeleteAll();
    });
    if (!refusal.empty()) {
        if (error)
            *error = refusal;
        return false;
    }
    if (mode == Mode::Devices) {
        if (int stopped = StopServer(dir_); stopped && !err)
            err = stopped;
        if (removeAdminNode)
            RemoveAdminNode();
    }
    return err == 0 || Fail(error, "tearing the devices down", err);
}

bool Emulator::RemoveState(const std::string& stateDir, std::string* error) {
    const std::string saved = stateDir + "/saved";
    if (UniqueDir dir{::opendir(saved.c_str())}) {
        // Saved bitmaps are named by the hex digits of their path and their kind.
        while (const dirent* e = ::readdir(dir.get())) {
            std::string name = e->d_name;
            size_t dot = name.rfind('.');
            if (dot == std::string::npos ||
                (name.substr(dot) != ".incr" && name.substr(dot) != ".diff") ||
                name.find_first_not_of("0123456789abcdef") != dot)
                continue;
            if (::unlink((saved + "/" + name).c_str()) != 0 && errno != ENOENT)
                return Fail(error, "cannot remove " + saved + "/" + name, Errno());
        }
        ::rmdir(saved.c_str());
    }
    RemoveStateTemporaries(stateDir);
    ::rmdir(ServeMount(stateDir).c_str());
    for (const char* made : {"/state", "/lock", "/filterd.log"}) {
        if (::unlink((stateDir + made).c_str()) != 0 && errno != ENOENT)
            return Fail(error, "cannot remove " + stateDir + made, Errno());
    }
    ::rmdir(stateDir.c_str());  // only when empty: what others put there stays
    return true;
}

bool Emulator::Snapshot(State* out) {
    return WithState(false, [&](State& s) { return *out = s, 0; }) == 0;
}

}  // namespace kzvol::emulator
