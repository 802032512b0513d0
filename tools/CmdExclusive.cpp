// kzvol exclusive: unmounts the file system on a volume, runs a command while it
// is unmounted and mounts the file system again - also when the command fails or
// kzvol is interrupted by SIGINT, SIGTERM, SIGHUP or SIGQUIT. A remount that fails
// is said on standard error together with the command that mounts it by hand.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/Handles.h"
#include "host/ShellQuote.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "volume/KZVolume.h"

extern char** environ;

namespace kzvol::cli {
namespace {

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_child = 0;

// Notes the signal and passes it on to the running command, unless the terminal
// sent it: then the command, in the same foreground group, has it already.
void OnInterrupt(int sig, siginfo_t* info, void*) {
    g_signal = sig;
    if (g_child > 0 && info->si_code != SI_KERNEL)
        ::kill(g_child, sig);
}

// Catches the interrupting signals for its lifetime, so that the remount runs.
class CatchInterrupts {
  public:
    CatchInterrupts() {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = OnInterrupt;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kCount; ++i)
            ::sigaction(kInterrupts[i], &action, &saved_[i]);
    }
    ~CatchInterrupts() {
        for (size_t i = 0; i < kCount; ++i)
            ::sigaction(kInterrupts[i], &saved_[i], nullptr);
    }
    CatchInterrupts(const CatchInterrupts&) = delete;
    CatchInterrupts& operator=(const CatchInterrupts&) = delete;

  private:
    static constexpr size_t kCount = sizeof kInterrupts / sizeof kInterrupts[0];
    struct sigaction saved_[kCount];
};

sigset_t InterruptSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kInterrupts)
        sigaddset(&set, sig);
    return set;
}

int StatusOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// Starts argv[0] (looked up in PATH) with the default signal handling; 127 when it
// cannot be started, otherwise its exit status (128 + signal when killed).
int RunCommand(const Words& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, interrupts = InterruptSet();
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &interrupts);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // Held back until the child's pid is known, so that none is lost on the way.
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &interrupts, &previous);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
    if (rc == 0)
        g_child = pid;
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "kzvol: cannot run %s: %s\n", args[0], std::strerror(rc));
        return 127;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            status = W_EXITCODE(1, 0);
            break;
        }
    }
    g_child = 0;
    return StatusOf(status);
}

// The mount-table entry that Lock took down, and how it is to come back.
struct Remount {
    std::string device, dir, type, options;
};

// What Unlock will run for `volume` just locked: its remembered entry, or the
// given type and options (xfs with "nouuid", as Unlock adds it).
Remount PlannedRemount(const KZVolumeUnix& volume, const Options& opts) {
    Remount m = {volume.m_pszMntFsName, volume.m_pszMntDir, volume.m_pszMntType,
                 volume.m_pszMntOpts};
    if (opts.Has("type")) {
        m.type = opts.Get("type");
        m.options = opts.Get("options");
        if (m.type == "xfs")
            m.options += m.options.empty() ? "nouuid" : ",nouuid";
    }
    return m;
}

bool IsMountedAgain(const Remount& m) {
    std::string dir = m.dir;
    return getrawdev(dir.data()) == m.device;
}

void ReportFailedRemount(const Remount& m) {
    using kzvol::ShellQuote;
    std::fprintf(stderr,
                 "kzvol: REMOUNT FAILED: %s is not mounted on %s any more.\n"
                 "kzvol: mount it by hand: /bin/mount -t %s -o %s -- %s %s\n",
                 m.device.c_str(), m.dir.c_str(), ShellQuote(m.type).c_str(),
                 ShellQuote(m.options).c_str(), ShellQuote(m.device).c_str(),
                 ShellQuote(m.dir).c_str());
}

// True for a block device that nobody holds: no file system is mounted on it and
// no other program opened it for exclusive use.
bool FreeBlockDevice(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    return fd.valid();
}

}  // namespace

int RunExclusive(const Words& args) {
    Options opts({"type", "options"}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1 || opts.rest().empty())
        return Usage("wants one DEVICE_OR_MOUNTPOINT, then -- and a COMMAND");
    if (opts.Has("options") && !opts.Has("type"))
        return Usage("--options needs --type");
    const std::string target = opts.positional()[0];

    CatchInterrupts interrupts;
    KZVolumeUnix volume(target);
    if (!volume.Lock())
        return Fail("could not unmount the file system on " + target +
                    " (busy? --verbose shows why); the command did not run");
    const bool unmounted = volume.m_bLocked;
    Remount remount;
    if (unmounted) {
        remount = PlannedRemount(volume, opts);
    } else if (FreeBlockDevice(target)) {
        std::fprintf(stderr, "kzvol: %s is not mounted; running the command as it is\n",
                     target.c_str());
    } else {
        return Fail("nothing is mounted on " + target +
                    " and it is no block device free for exclusive use; the command did not run");
    }
    // The command gets the device to itself.
    volume.Close();

    int status = g_signal ? 128 + g_signal : RunCommand(opts.rest());
    if (!unmounted)
        return status;
    if (opts.Has("type"))
        volume.Unlock(opts.Get("type"), opts.Get("options"));
    else
        volume.Unlock();
    if (!IsMountedAgain(remount)) {
        ReportFailedRemount(remount);
        return status != 0 ? status : 1;
    }
    return g_signal ? 128 + g_signal : status;
}

}  // namespace kzvol::cli
