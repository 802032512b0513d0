// System-test harness: private mount namespace, loop and zram devices, mounts, and
// private /etc and /sbin.
#include "tests/support/SystemHarness.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "host/Handles.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

const std::string& SystemUnavailableReason() {
    static const std::string reason = []() -> std::string {
        if (::geteuid() != 0)
            return "system tests need root (run ./test.sh as root)";
        if (::unshare(CLONE_NEWNS) != 0)
            return Errno("unshare(CLONE_NEWNS)");
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return Errno("making / private");
        for (const char* dir : {"/dev/qnbf", "/snapmnt", "/talmartmp"}) {
            ::mkdir(dir, 0755);
            if (::mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0)
                return Errno(std::string("tmpfs on ") + dir);
        }
        return "";
    }();
    return reason;
}

void SystemTest::SetUp() {
    // Also makes whatever the library writes under /etc and /sbin stay in the namespace.
    const std::string& reason = PrivateMachineFiles();
    if (!reason.empty())
        GTEST_SKIP() << "system test skipped: " << reason;
}

void MakeSparseFile(const std::string& path, unsigned long long bytes) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd && ::ftruncate(fd.get(), static_cast<off_t>(bytes)) == 0) << Errno(path);
}

LoopDevice::LoopDevice(const std::string& backingFile, bool readOnly) {
    const int mode = (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    UniqueFd file(::open(backingFile.c_str(), mode));
    UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    error_ = file && control ? "" : Errno(!file ? "open " + backingFile : "open /dev/loop-control");
    // Another process may take the free device first: try again with the next one.
    for (int attempt = 0; file && control && attempt < 20 && minor_ < 0; ++attempt) {
        const int n = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (n < 0) {
            error_ = Errno("LOOP_CTL_GET_FREE");
            break;
        }
        const std::string path = "/dev/loop" + std::to_string(n);
        UniqueFd dev(::open(path.c_str(), mode));
        if (!dev) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        struct loop_config config {};
        config.fd = static_cast<unsigned>(file.get());
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (readOnly ? LO_FLAGS_READ_ONLY : 0);
        if (::ioctl(dev.get(), LOOP_CONFIGURE, &config) == 0) {
            fd_ = std::move(dev);
            minor_ = n;
            path_ = path;
            error_.clear();
        } else if (error_ = Errno("LOOP_CONFIGURE " + path); errno != EBUSY) {
            break;
        }
    }
}

LoopDevice::~LoopDevice() {
    if (fd_)
        ::ioctl(fd_.get(), LOOP_CLR_FD, 0);
}

ZramDevice::ZramDevice(unsigned long long bytes) {
    const std::string added = ReadFile("/sys/class/zram-control/hot_add");
    id_ = added.empty() ? -1 : std::stoi(added);
    ok_ = id_ >= 0 && RunCommandLine("echo " + std::to_string(bytes) + " > /sys/block/zram" +
                                     std::to_string(id_) + "/disksize") == 0;
}

ZramDevice::~ZramDevice() {
    if (id_ >= 0)
        RunCommandLine("echo " + std::to_string(id_) + " > /sys/class/zram-control/hot_remove");
}

ScopedMount::ScopedMount(const std::string& source, const std::string& target,
                         const std::string& type, unsigned long flags, const std::string& data)
    : target_(target) {
    ::mkdir(target.c_str(), 0755);
    ok_ = ::mount(source.c_str(), target.c_str(), type.c_str(), flags,
                  data.empty() ? nullptr : data.c_str()) == 0;
    if (!ok_)
        error_ = Errno("mount " + source + " on " + target);
}

ScopedMount::~ScopedMount() {
    if (ok_ && ::umount2(target_.c_str(), 0) != 0)
        ::umount2(target_.c_str(), MNT_DETACH);
}

bool OverlayDirectory(const std::string& dir, std::string* error) {
    char tmpl[] = "/tmp/kzvol-overlay.XXXXXX";
    if (!::mkdtemp(tmpl)) {
        *error = Errno("mkdtemp");
        return false;
    }
    const std::string base = tmpl, upper = base + "/upper", work = base + "/work";
    const std::string data = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    // The layers live on a tmpfs of the namespace; the overlay keeps it alive, so
    // detached it leaves no folder in /tmp, whether the overlay came up or not.
    *error = ::mount("tmpfs", base.c_str(), "tmpfs", 0, nullptr) != 0 ? Errno("tmpfs for overlay")
             : ::mkdir(upper.c_str(), 0755) != 0 || ::mkdir(work.c_str(), 0755) != 0
                 ? Errno("layers for overlay")
             : ::mount("overlay", dir.c_str(), "overlay", 0, data.c_str()) != 0
                 ? Errno("overlay on " + dir)
                 : "";
    ::umount2(base.c_str(), MNT_DETACH);
    ::rmdir(base.c_str());
    return error->empty();
}

const std::string& PrivateMachineFiles() {
    static const std::string reason = [] {
        std::string error = SystemUnavailableReason(), out;
        for (const char* dir : {"/etc", "/sbin"})
            if (!error.empty() || !OverlayDirectory(dir, &error))
                return error;
        const std::string install = "cp " KZVOL_KZSNAP " /sbin/kzsnap && chmod 755 /sbin/kzsnap";
        if (RunCommandLine(install + " 2>&1", &out) != 0)
            return "cannot install kzsnap into the /sbin overlay: " + out;
        return std::string();
    }();
    return reason;
}

}  // namespace kzvol::testing
