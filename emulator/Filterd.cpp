// kzvol-filterd: the serving process of the stand-in filter driver in devices
// mode. It serves each filter device as a file through FUSE under the state
// directory ("served/v<id>", and "served/s<id>" for its snapshot while one is
// active); the driver attaches a loop device with direct I/O over that file as
// the filter node, so every write to the node passes ServedVolume::Write. The
// driver's request handlers talk to it over the socket in the state directory
// (see ServeWire.h). Killing it loses the extents written since the last bitmap
// request; the driver notices the new instance and marks the devices untracked.
//
//   kzvol-filterd STATE_DIR     (started by the driver; log on standard error)
#define FUSE_USE_VERSION 31

#include <fcntl.h>
#include <fuse.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator/HostOps.h"
#include "emulator/ServeWire.h"
#include "emulator/ServedVolume.h"
#include "host/Handles.h"

namespace kzvol::emulator {
namespace {

constexpr uint64_t kSnapshotFlag = 1ull << 63;

struct Server {
    std::string dir, instance;
    std::mutex mu;
    std::map<uint64_t, std::shared_ptr<ServedVolume>> volumes;
    uint64_t next = 1;
    struct fuse* fuse = nullptr;
};

Server g;

void Log(const std::string& line) {
    char when[32];
    std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::gmtime(&now));
    std::fprintf(stderr, "%s kzvol-filterd[%d]: %s\n", when, static_cast<int>(::getpid()),
                 line.c_str());
}

std::shared_ptr<ServedVolume> Find(uint64_t id) {
    std::lock_guard<std::mutex> lock(g.mu);
    auto it = g.volumes.find(id);
    return it == g.volumes.end() ? nullptr : it->second;
}

// "/v12" or "/s12": the volume's id, with kSnapshotFlag for a snapshot. 0 for
// anything else.
uint64_t PathId(const char* path) {
    if (path[0] != '/' || (path[1] != 'v' && path[1] != 's') || !path[2])
        return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long long id = std::strtoull(path + 2, &end, 10);
    if (errno || *end || id == 0 || id >= kSnapshotFlag)
        return 0;
    return path[1] == 's' ? id | kSnapshotFlag : id;
}

// The volume behind a served file, or null when the file does not exist.
std::shared_ptr<ServedVolume> FileVolume(uint64_t pathId) {
    auto v = pathId ? Find(pathId & ~kSnapshotFlag) : nullptr;
    if (v && (pathId & kSnapshotFlag) && !v->snapshot_active())
        return nullptr;
    return v;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0700;
        st->st_nlink = 2;
        return 0;
    }
    const uint64_t id = PathId(path);
    auto v = FileVolume(id);
    if (!v)
        return -ENOENT;
    st->st_mode = S_IFREG | ((id & kSnapshotFlag) ? 0400 : 0600);
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(v->size());
    st->st_blksize = static_cast<blksize_t>(v->sector());
    return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    std::vector<std::pair<uint64_t, std::shared_ptr<ServedVolume>>> all;
    {
        std::lock_guard<std::mutex> lock(g.mu);
        all.assign(g.volumes.begin(), g.volumes.end());
    }
    for (auto& [id, v] : all) {
        fill(buf, VolumeFileName(id).c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        if (v->snapshot_active())
            fill(buf, SnapshotFileName(id).c_str(), nullptr, 0,
                 static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int OpenFile(const char* path, fuse_file_info* fi) {
    const uint64_t id = PathId(path);
    if (!FileVolume(id))
        return -ENOENT;
    if ((id & kSnapshotFlag) && (fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->fh = id;
    fi->direct_io = 1;  // the loop device above caches nothing either
    return 0;
}

int ReadFile(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    auto v = Find(fi->fh & ~kSnapshotFlag);
    if (!v)
        return -EIO;
    if (static_cast<uint64_t>(offset) >= v->size())
        return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, v->size() - offset));
    int err =
        (fi->fh & kSnapshotFlag) ? v->ReadSnapshot(buf, size, offset) : v->Read(buf, size, offset);
    return err ? -err : static_cast<int>(size);
}

int WriteFile(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    auto v = (fi->fh & kSnapshotFlag) ? nullptr : Find(fi->fh);
    if (!v)
        return -EIO;
    int err = v->Write(buf, size, offset);
    return err ? -err : static_cast<int>(size);
}

int SyncFile(const char*, int, fuse_file_info* fi) {
    auto v = Find(fi->fh & ~kSnapshotFlag);
    return v ? -v->Flush() : -EIO;
}

int FlushFile(const char* path, fuse_file_info* fi) {
    return SyncFile(path, 0, fi);
}

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
    cfg->direct_io = 1;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    conn->max_write = 1 << 20;
    conn->max_readahead = 0;
    return nullptr;
}

// --- requests from the driver

Message Ok(const std::string& words = "", std::string body = "") {
    return {words.empty() ? "ok" : "ok " + words, std::move(body)};
}

Message Err(int err) {
    return {"err " + std::to_string(err), ""};
}

Message Answer(const Message& req, bool* quit) {
    std::istringstream in(req.head);
    std::string verb;
    uint64_t id = 0, number = 0;
    in >> verb;
    if (verb == "hello")
        return Ok(g.instance);
    if (verb == "quit")
        return *quit = true, Ok();
    if (verb == "serve") {
        if (!(in >> number) || number == 0 || number > UINT32_MAX)
            return Err(EINVAL);
        std::unique_ptr<ServedVolume> v;
        if (int err = ServedVolume::Open(req.body, static_cast<uint32_t>(number), &v))
            return Err(err);
        std::lock_guard<std::mutex> lock(g.mu);
        id = g.next++;
        std::string words =
            std::to_string(id) + " " + std::to_string(v->sector()) + " " + g.instance;
        g.volumes.emplace(id, std::move(v));
        Log("serving " + req.body + " as " + VolumeFileName(id));
        return Ok(words);
    }
    if (!(in >> id))
        return Err(EINVAL);
    auto v = Find(id);
    if (!v)
        return Err(ENOENT);
    if (verb == "written")
        return Ok("", v->TakeWritten());
    if (verb == "drop") {
        std::lock_guard<std::mutex> lock(g.mu);
        g.volumes.erase(id);
        return Ok();
    }
    if (verb == "uncow")
        return v->EndSnapshot(), Ok();
    if (verb == "cow") {
        // The body: map path, NUL, data path.
        size_t nul = req.body.find('\0');
        if (!(in >> number) || number > UINT32_MAX || nul == std::string::npos)
            return Err(EINVAL);
        int err = v->StartSnapshot(static_cast<uint32_t>(number), req.body.substr(0, nul),
                                   req.body.substr(nul + 1));
        return err ? Err(err) : Ok();
    }
    return Err(ENOTTY);
}

void ServeRequests(int listener) {
    for (bool quit = false; !quit;) {
        UniqueFd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            Log(std::string("accept: ") + std::strerror(errno));
            break;
        }
        Message req;
        if (ReceiveMessage(conn.get(), &req) == 0)
            SendMessage(conn.get(), Answer(req, &quit));
    }
    Log("stopping");
    fuse_exit(g.fuse);
    // Ends the session: the loop's readers of /dev/fuse return.
    ::umount2(ServeMount(g.dir).c_str(), MNT_DETACH);
}

int Listen(const std::string& path) {
    struct stat st;
    // A socket left by a killed instance goes; anything else there is refused.
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::umask(077);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 16) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

std::string NewInstance() {
    std::random_device rd;
    char text[40];
    std::snprintf(text, sizeof text, "%08x%08x-%d", rd(), rd(), static_cast<int>(::getpid()));
    return text;
}

int Run(const std::string& dir) {
    g.dir = dir;
    g.instance = NewInstance();
    const std::string mount = ServeMount(dir);
    ::umount2(mount.c_str(), MNT_DETACH);  // a killed instance's mount is dead
    if (::mkdir(mount.c_str(), 0700) != 0 && errno != EEXIST) {
        Log("cannot create " + mount + ": " + std::strerror(errno));
        return 1;
    }
    fuse_operations ops{};
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = OpenFile;
    ops.read = ReadFile;
    ops.write = WriteFile;
    ops.fsync = SyncFile;
    ops.flush = FlushFile;
    ops.init = Init;
    const char* argv[] = {"kzvol-filterd", "-o", "fsname=kzvol-filterd,subtype=kzvol"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    g.fuse = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (!g.fuse || fuse_mount(g.fuse, mount.c_str()) != 0) {
        Log("cannot mount the served files on " + mount);
        return 1;
    }
    UniqueFd listener(Listen(ServeSocket(dir)));
    if (!listener) {
        Log("cannot listen on " + ServeSocket(dir) + ": " + std::strerror(errno));
        fuse_unmount(g.fuse);
        return 1;
    }
    WriteFileAtomically(ServePidFile(dir), std::to_string(::getpid()) + "\n");
    Log("serving in " + mount + ", instance " + g.instance);
    fuse_set_signal_handlers(fuse_get_session(g.fuse));  // SIGTERM ends the loop
    std::thread requests(ServeRequests, listener.get());
    int rc = fuse_loop_mt(g.fuse, 0);
    ::shutdown(listener.get(), SHUT_RDWR);  // wakes the request thread when the loop ended first
    requests.join();
    fuse_remove_signal_handlers(fuse_get_session(g.fuse));
    fuse_unmount(g.fuse);
    fuse_destroy(g.fuse);
    ::unlink(ServeSocket(dir).c_str());
    ::unlink(ServePidFile(dir).c_str());
    Log("stopped");
    return rc < 0 ? 1 : 0;
}

}  // namespace
}  // namespace kzvol::emulator

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kzvol-filterd STATE_DIR\n");
        return 2;
    }
    return kzvol::emulator::Run(argv[1]);
}
