// The machine side of the stand-in driver: loop devices, nodes, data reads.
#include "emulator/HostOps.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "filter/DriverChannel.h"
#include "host/Handles.h"

namespace kzvol::emulator {
namespace {

constexpr size_t kIoChunk = 1 << 20;

int Errno() {
    return errno ? errno : EIO;
}

// Reads exactly `n` bytes at `at` (short only at the end of the source, where the
// rest is zero-filled).
int ReadAt(int fd, char* buffer, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, buffer + done, n - done, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Errno();
        if (got == 0) {
            std::memset(buffer + done, 0, n - done);
            break;
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}

bool AllZero(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

// Calls `each(extentIndex, data, length)` for every piece of every extent.
template <typename Fn>
int ForEachExtent(const std::string& path, uint64_t size, uint32_t extentBytes, Fn each) {
    if (extentBytes == 0)
        return EINVAL;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return Errno();
    std::unique_ptr<char[]> buffer(new char[kIoChunk]);
    for (uint64_t at = 0; at < size;) {
        uint64_t extent = at / extentBytes;
        uint64_t extentEnd = std::min<uint64_t>((extent + 1) * extentBytes, size);
        size_t n = static_cast<size_t>(std::min<uint64_t>(kIoChunk, extentEnd - at));
        if (int err = ReadAt(fd.get(), buffer.get(), n, at))
            return err;
        each(extent, buffer.get(), n);
        at += n;
    }
    return 0;
}

int WriteAll(int fd, const char* data, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::pwrite(fd, data + done, n - done, static_cast<off_t>(at + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return Errno();
        done += static_cast<size_t>(put);
    }
    return 0;
}

}  // namespace

int SizeOf(const std::string& path, uint64_t* size, int32_t* devno, bool* isBlock) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Errno();
    *isBlock = S_ISBLK(st.st_mode);
    if (S_ISREG(st.st_mode)) {
        *size = static_cast<uint64_t>(st.st_size);
        *devno = 0;
        return 0;
    }
    if (!*isBlock)
        return ENOTBLK;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return Errno();
    if (::ioctl(fd.get(), BLKGETSIZE64, size) != 0)
        return Errno();
    unsigned int ma = major(st.st_rdev), mi = minor(st.st_rdev);
    *devno = static_cast<int32_t>((mi & 0xff) | (ma << 8) | ((mi & ~0xffu) << 12));
    return 0;
}

std::string LoopPath(int minor) {
    return "/dev/loop" + std::to_string(minor);
}

// LOOP_CONFIGURE of loop device `n`: 0, EBUSY when another process took it, or
// another errno value.
int Configure(int n, int file, const LoopOptions& o) {
    UniqueFd dev(::open(LoopPath(n).c_str(), (o.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!dev.valid())
        return EBUSY;  // gone or not ours: try another
    struct loop_config config;
    std::memset(&config, 0, sizeof config);
    config.fd = static_cast<unsigned>(file);
    config.block_size = o.blockSize;
    config.info.lo_flags =
        (o.readOnly ? LO_FLAGS_READ_ONLY : 0) | (o.direct ? LO_FLAGS_DIRECT_IO : 0);
    return ::ioctl(dev.get(), LOOP_CONFIGURE, &config) == 0 ? 0 : Errno();
}

int AttachLoop(const std::string& path, const LoopOptions& options, int* minor) {
    const int mode = (options.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    UniqueFd file(::open(path.c_str(), mode));
    if (!file.valid())
        return Errno();
    if (options.preferred >= 0 && Configure(options.preferred, file.get(), options) == 0) {
        *minor = options.preferred;
        return 0;
    }
    UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control.valid())
        return Errno();
    // Another process may take the free device first: try the next one.
    for (int attempt = 0; attempt < 20; ++attempt) {
        int n = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (n < 0)
            return Errno();
        int err = Configure(n, file.get(), options);
        if (err == 0) {
            *minor = n;
            return 0;
        }
        if (err != EBUSY)
            return err;
    }
    return EBUSY;
}

uint32_t SectorOf(const std::string& blockDevice) {
    UniqueFd fd(::open(blockDevice.c_str(), O_RDONLY | O_CLOEXEC));
    int sector = 0;
    if (!fd || ::ioctl(fd.get(), BLKSSZGET, &sector) != 0 || sector <= 0)
        return 512;
    return static_cast<uint32_t>(sector);
}

int LoopBusy(int minor) {
    UniqueFd dev(::open(LoopPath(minor).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    return dev.valid() ? 0 : (errno == EBUSY ? EBUSY : 0);
}

int DetachLoop(int minor) {
    if (int err = LoopBusy(minor))
        return err;
    UniqueFd dev(::open(LoopPath(minor).c_str(), O_RDONLY | O_CLOEXEC));
    if (!dev.valid())
        return Errno();
    if (::ioctl(dev.get(), LOOP_CLR_FD, 0) != 0 && errno != ENXIO)
        return Errno();
    return 0;
}

int MakeNode(const std::string& name, int loopMinor) {
    struct stat st;
    if (::stat(LoopPath(loopMinor).c_str(), &st) != 0)
        return Errno();
    std::string node = std::string(kQnbfNodeDir) + name;
    ::unlink(node.c_str());
    if (::mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev) != 0)
        return Errno();
    return 0;
}

void RemoveNode(const std::string& name) {
    ::unlink((std::string(kQnbfNodeDir) + name).c_str());
}

int MakeAdminNode() {
    if (::mkdir(kQnbfNodeDir, 0755) != 0 && errno != EEXIST)
        return Errno();
    struct stat st;
    if (::stat(kQnbfAdminNode, &st) == 0)
        return S_ISCHR(st.st_mode) ? 0 : EEXIST;
    if (::mknod(kQnbfAdminNode, S_IFCHR | 0600, makedev(7, 0)) != 0)
        return Errno();
    return 0;
}

void RemoveAdminNode() {
    ::unlink(kQnbfAdminNode);
}

std::string MountPointOf(const std::string& device) {
    struct stat dev;
    if (::stat(device.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode))
        return "";
    UniqueFile mounts(::setmntent("/proc/self/mounts", "re"));
    if (!mounts)
        return "";
    struct mntent entry;
    char line[8192];
    while (::getmntent_r(mounts.get(), &entry, line, sizeof line)) {
        struct stat st;
        if (entry.mnt_fsname[0] == '/' && ::stat(entry.mnt_fsname, &st) == 0 &&
            S_ISBLK(st.st_mode) && st.st_rdev == dev.st_rdev)
            return entry.mnt_dir;
    }
    return "";
}

FrozenFileSystem::FrozenFileSystem(const std::string& mountPoint) {
    if (mountPoint.empty())
        return;
    fd_.reset(::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_) {
        err_ = Errno();
    } else if (::ioctl(fd_.get(), FIFREEZE, 0) != 0) {
        // EBUSY: frozen already by someone else, who also thaws it.
        err_ = errno == EBUSY ? 0 : Errno();
        fd_.reset();
    }
}

FrozenFileSystem::~FrozenFileSystem() {
    if (fd_)
        ::ioctl(fd_.get(), FITHAW, 0);
}

void FlushDevice(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return;
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode))
        ::ioctl(fd.get(), BLKFLSBUF, 0);
    else
        ::fsync(fd.get());
}

int ExtentDigests(const std::string& path, uint64_t size, uint32_t extentBytes,
                  std::vector<uint64_t>* digests) {
    // FNV-1a over 8-byte words (the tail byte by byte): cheap, and any change of
    // content changes the digest with overwhelming likelihood.
    const uint64_t kOffset = 1469598103934665603ull, kPrime = 1099511628211ull;
    uint64_t extents = (size + extentBytes - 1) / (extentBytes ? extentBytes : 1);
    digests->assign(static_cast<size_t>(extents), kOffset);
    return ForEachExtent(path, size, extentBytes, [&](uint64_t extent, const char* p, size_t n) {
        uint64_t h = (*digests)[extent];
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            h = (h ^ word) * kPrime;
        }
        for (; i < n; ++i)
            h = (h ^ static_cast<unsigned char>(p[i])) * kPrime;
        (*digests)[extent] = h;
    });
}

int ExtentsWithData(const std::string& path, uint64_t size, uint32_t extentBytes,
                    std::vector<uint8_t>* bits) {
    return ForEachExtent(path, size, extentBytes, [&](uint64_t extent, const char* p, size_t n) {
        if (extent / 8 < bits->size() && !AllZero(p, n))
            (*bits)[extent / 8] |= static_cast<uint8_t>(1u << (extent % 8));
    });
}

int MakeEmptyImage(const std::string& to, uint64_t size) {
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out.valid())
        return Errno();
    if (::ftruncate(out.get(), static_cast<off_t>(size)) != 0)
        return Errno();
    return 0;
}

// Shares the blocks of a regular file of exactly `size` bytes with `to` where the
// file system can (a reflink clone): a snapshot then costs no copy at all.
bool CloneImage(const std::string& from, const std::string& to, uint64_t size) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != size)
        return false;
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    return out.valid() && ::ioctl(out.get(), FICLONE, in.get()) == 0;
}

// Snapshot images are not synced: a snapshot lives no longer than the machine runs,
// and one that is removed soon after it is read then never reaches the disk.

int CopyImage(const std::string& from, const std::string& to, uint64_t size) {
    if (CloneImage(from, to, size))
        return 0;
    if (int err = MakeEmptyImage(to, size))
        return err;
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CLOEXEC));
    if (!out.valid())
        return Errno();
    int err = 0;
    int walk = ForEachExtent(from, size, kIoChunk, [&](uint64_t extent, const char* p, size_t n) {
        if (!err && !AllZero(p, n))
            err = WriteAll(out.get(), p, n, extent * kIoChunk);
    });
    return walk ? walk : err;
}

int WriteFileAtomically(const std::string& path, const std::string& contents) {
    std::string tmp = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd.valid())
        return Errno();
    int err = WriteAll(fd.get(), contents.data(), contents.size(), 0);
    if (!err && ::rename(tmp.c_str(), path.c_str()) != 0)
        err = Errno();
    if (err)
        ::unlink(tmp.c_str());
    return err;
}

}  // namespace kzvol::emulator
