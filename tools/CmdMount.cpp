// kzvol mount and umount: a backup point served as the read-only file
// MOUNTPOINT/image through FUSE, assembled on demand from its chain, so that
// any tool (a loop mount, e2fsck, debugfs) can read the volume as it was without
// restoring it. A range whose extent cannot be read or fails its digest answers
// EIO, never wrong bytes. The server runs single-threaded in the background
// until the file system is unmounted.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <mntent.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "backup/PointReader.h"
#include "host/Handles.h"
#include "tools/Commands.h"
#include "tools/Options.h"

extern char** environ;

namespace kzvol::cli {
namespace {

constexpr char kImage[] = "/image";
constexpr char kFsType[] = "fuse.kzvol";

struct Served {
    backup::PointReader* point;
    time_t time;
    uid_t uid;
    gid_t gid;
};

Served& Self() {
    return *static_cast<Served*>(fuse_get_context()->private_data);
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    const Served& s = Self();
    std::memset(st, 0, sizeof *st);
    st->st_uid = s.uid;
    st->st_gid = s.gid;
    st->st_atime = st->st_mtime = st->st_ctime = s.time;
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0500;
        st->st_nlink = 2;
    } else if (std::strcmp(path, kImage) == 0) {
        st->st_mode = S_IFREG | 0400;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(s.point->size());
        st->st_blocks = (st->st_size + 511) / 512;
    } else {
        return -ENOENT;
    }
    return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    for (const char* name : {".", "..", kImage + 1})
        fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int Open(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, kImage) != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->keep_cache = 1;  // the image never changes
    return 0;
}

int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
    if (std::strcmp(path, kImage) != 0)
        return -ENOENT;
    backup::PointReader& point = *Self().point;
    if (offset < 0 || static_cast<uint64_t>(offset) >= point.size())
        return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, point.size() - offset));
    std::string error;
    if (!point.Read(buf, size, static_cast<uint64_t>(offset), &error)) {
        std::fprintf(stderr, "kzvol mount: %s\n", error.c_str());
        return -EIO;
    }
    return static_cast<int>(size);
}

fuse_operations Operations() {
    fuse_operations ops{};
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.read = Read;
    return ops;
}

// Frees what fuse_new made, unmounting first when it mounted.
struct FuseCloser {
    bool mounted = false;
    void operator()(fuse* f) const {
        if (mounted)
            fuse_unmount(f);
        fuse_destroy(f);
    }
};

// Serves `point` on `mountpoint` until it is unmounted.
int Serve(backup::PointReader& point, const std::string& mountpoint, bool foreground) {
    Served served{&point, static_cast<time_t>(point.point().time), ::getuid(), ::getgid()};
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    for (const char* arg : {"kzvol", "-o", "ro,fsname=kzvol,subtype=kzvol,default_permissions"})
        fuse_opt_add_arg(&args, arg);
    const fuse_operations ops = Operations();
    FuseCloser closer;
    std::unique_ptr<fuse, FuseCloser&> fs(fuse_new(&args, &ops, sizeof ops, &served), closer);
    fuse_opt_free_args(&args);
    if (!fs)
        return Fail("cannot set up FUSE (is the fuse3 package installed?)");
    if (fuse_mount(fs.get(), mountpoint.c_str()) != 0)
        return Fail("cannot mount on " + mountpoint +
                    " (it must be an empty directory of yours; /dev/fuse and fusermount3 are "
                    "needed)");
    closer.mounted = true;
    std::printf("backup %s served read-only as %s%s (%llu bytes); kzvol umount %s ends it\n",
                point.point().id.c_str(), mountpoint.c_str(), kImage,
                static_cast<unsigned long long>(point.size()), mountpoint.c_str());
    std::fflush(stdout);
    if (fuse_daemonize(foreground ? 1 : 0) != 0)
        return Fail("cannot go to the background");
    fuse_session* session = fuse_get_session(fs.get());
    fuse_set_signal_handlers(session);
    const int rc = fuse_loop(fs.get());
    fuse_remove_signal_handlers(session);
    return rc == 0 ? kExitOk : kExitFailed;
}

// True when `dir` (an absolute path) is the mount point of a kzvol mount.
bool IsOurMount(const std::string& dir) {
    UniqueFile table(::setmntent("/proc/self/mounts", "r"));
    if (!table)
        return false;
    bool found = false;
    while (const mntent* m = ::getmntent(table.get()))
        if (dir == m->mnt_dir)
            found = std::strcmp(m->mnt_type, kFsType) == 0;  // the last mount on it counts
    return found;
}

}  // namespace

int RunMount(const Words& args) {
    Options opts({"backup"}, {"foreground"});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 2)
        return Usage("wants a repository DIR and a MOUNTPOINT");
    // The server leaves the working directory when it goes to the background.
    char repoPath[PATH_MAX];
    if (!::realpath(opts.positional()[0].c_str(), repoPath))
        return Fail("no repository " + opts.positional()[0]);
    backup::Repository repo(repoPath);
    const std::string id = opts.Get("backup", repo.NewestId());
    if (id.empty())
        return Fail("no backup in " + opts.positional()[0] + " to mount");
    backup::PointReader point(repo);
    if (!point.Open(id, &error))
        return Fail("cannot mount backup " + id + ": " + error);
    return Serve(point, opts.positional()[1], opts.Has("foreground"));
}

int RunUmount(const Words& args) {
    Options opts({}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1)
        return Usage("wants one MOUNTPOINT");
    char dir[PATH_MAX];
    if (!::realpath(opts.positional()[0].c_str(), dir) || !IsOurMount(dir))
        return Fail(opts.positional()[0] + " is not a kzvol mount");
    if (::geteuid() == 0) {
        if (::umount2(dir, 0) == 0)
            return kExitOk;
        return Fail(std::string("cannot unmount ") + dir + ": " + std::strerror(errno));
    }
    const char* argv[] = {"fusermount3", "-u", "--", dir, nullptr};
    pid_t pid;
    int status = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
        ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return Fail(std::string("cannot unmount ") + dir + " (fusermount3 -u failed)");
    return kExitOk;
}

}  // namespace kzvol::cli
