// The restore of a point's files: a depth-first copy of the inodes below the one
// asked for into a private folder, each entry finished (owner, mode, times) once
// its contents are complete, then one rename into place.
#include "backup/FileRestore.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "backup/Files.h"
#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/FullIO.h"
#include "host/Handles.h"

namespace kzvol::backup {
namespace {

constexpr uint64_t kChunkBytes = 1ull << 20;
constexpr uint16_t kModeFifo = 0x1000, kModeChar = 0x2000, kModeBlock = 0x6000;

// Removes the private folder of a failed restore, all of it ours.
void RemoveTree(const std::string& dir) {
    // Folders get back the rights to empty them first.
    ::nftw(
        dir.c_str(),
        [](const char* path, const struct stat* st, int type, FTW*) {
            if (type == FTW_D)
                ::chmod(path, (st->st_mode & 07777) | S_IRWXU);
            return 0;
        },
        16, FTW_PHYS);
    ::nftw(
        dir.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); },
        16, FTW_PHYS | FTW_DEPTH);
}

class Restorer {
  public:
    // Entries are made below `made`, which becomes `target` at the end.
    Restorer(PointFiles& files, RestoreCounts* counts, std::string made, std::string target)
        : files_(files),
          fs_(files.fs()),
          counts_(counts),
          asRoot_(::geteuid() == 0),
          made_(std::move(made)),
          target_(std::move(target)) {}

    // Makes the entry of `file` at `path`, which does not exist, and, unless it
    // is the top, finishes it.
    bool Make(const ext3::FileInode& file, const std::string& path, bool top) {
        bool made;
        const uint16_t type = file.node.mode & ext3::kModeTypeMask;
        if (file.node.linksCount > 1 && !file.node.IsDirectory()) {
            auto first = linked_.find(file.number);
            if (first != linked_.end()) {
                ++counts_->hardLinks;
                return ::link(first->second.c_str(), path.c_str()) == 0 || Failed(path);
            }
            linked_[file.number] = path;
        }
        if (file.node.IsDirectory())
            made = MakeDirectory(file, path);
        else if (file.IsRegular())
            made = MakeFile(file, path);
        else if (file.node.IsSymlink())
            made = MakeSymlink(file, path);
        else if (type == kModeFifo || type == kModeChar || type == kModeBlock)
            made = MakeSpecial(file, path, type);
        else
            return ++counts_->skipped, true;  // a socket means nothing once its server is gone
        if (!made)
            return false;
        if (skippedLast_) {  // nothing was made to finish
            skippedLast_ = false;
            return true;
        }
        return top || Finish(file, path);
    }

    // Owner (as root), mode and times, in that order: a change of owner clears
    // the set-id bits.
    bool Finish(const ext3::FileInode& file, const std::string& path) {
        const ext3::InodeAttributes& a = file.attributes;
        if (asRoot_ && ::lchown(path.c_str(), a.uid, a.gid) != 0)
            return Failed(path);
        if (!file.node.IsSymlink() && ::chmod(path.c_str(), a.mode & 07777) != 0)
            return Failed(path);
        const struct timespec times[2] = {{a.accessTime, Nanos(a.accessNanos)},
                                          {a.modifyTime, Nanos(a.modifyNanos)}};
        return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 || Failed(path);
    }

    const std::string& error() const { return error_; }

  private:
    static long Nanos(uint32_t nanos) { return nanos < 1000000000u ? nanos : 0; }

    // The name the user knows `path` by.
    std::string Shown(const std::string& path) const {
        return path.compare(0, made_.size(), made_) == 0 ? target_ + path.substr(made_.size())
                                                         : path;
    }
    bool Failed(const std::string& path) {
        error_ = WithErrno("cannot restore " + Shown(path));
        return false;
    }
    bool FsFailed(const std::string& path, const std::string& why) {
        error_ = "cannot restore " + Shown(path) + ": " + files_.FsError(why);
        return false;
    }

    bool MakeDirectory(const ext3::FileInode& dir, const std::string& path) {
        if (!onPath_.insert(dir.number).second) {
            error_ = "cannot restore " + Shown(path) + ": the directory holds itself";
            return false;
        }
        if (::mkdir(path.c_str(), 0700) != 0)
            return Failed(path);
        ++counts_->directories;
        std::vector<std::pair<std::string, uint32_t>> entries;
        std::string why;
        if (!fs_.ListDirectory(
                dir,
                [&](const ext3::DirEntry& e) {
                    return entries.emplace_back(e.name, e.inode), true;
                },
                &why))
            return FsFailed(path, why);
        for (const auto& [name, inode] : entries) {
            ext3::FileInode child;
            const std::string childPath = path + "/" + name;
            if (!fs_.ReadInode(inode, &child, &why))
                return FsFailed(childPath, why);
            if (!Make(child, childPath, false))
                return false;
        }
        onPath_.erase(dir.number);
        return true;
    }

    // Writes the mapped blocks of `file` (at most `limit` bytes) through `write`.
    bool CopyData(const ext3::FileInode& file, const std::string& path, uint64_t limit,
                  const std::function<bool(const char*, uint64_t, uint64_t)>& write) {
        const uint64_t blockSize = fs_.BlockSize();
        std::vector<char> buffer;
        std::string why;
        bool ok = true;
        auto copyRun = [&](const ext3::BlockRun& run) {
            const uint64_t start = run.logical * blockSize;
            const uint64_t end = std::min(limit, (run.logical + run.count) * blockSize);
            for (uint64_t at = start; at < end && ok; at += kChunkBytes) {
                const uint64_t n = std::min(kChunkBytes, end - at);
                buffer.resize(n);
                if (!files_.point().Read(buffer.data(), n, run.physical * blockSize + (at - start),
                                         &why))
                    ok = FsFailed(path, why);
                else if (!write(buffer.data(), n, at))
                    ok = Failed(path);
            }
            return ok;
        };
        if (!fs_.MapBlocks(file, copyRun, &why))
            return FsFailed(path, why);
        return ok;
    }

    bool MakeFile(const ext3::FileInode& file, const std::string& path) {
        UniqueFd fd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd)
            return Failed(path);
        const uint64_t size = file.Size();
        auto write = [&](const char* data, uint64_t n, uint64_t at) {
            counts_->bytes += n;
            return PWriteAll(fd.get(), data, static_cast<size_t>(n), at);
        };
        if (!CopyData(file, path, size, write))
            return false;
        // A file alone is synced here, the files of a tree at once at the end.
        if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0 ||
            (path == made_ && !CurrentEnv()->SyncFile(fd.get())))
            return Failed(path);
        ++counts_->files;
        return true;
    }

    bool MakeSymlink(const ext3::FileInode& link, const std::string& path) {
        std::string target;
        if (link.IsFastSymlink()) {
            target = link.FastSymlinkTarget();
        } else {
            target.resize(static_cast<size_t>(std::min<uint64_t>(link.Size(), fs_.BlockSize())));
            auto write = [&](const char* data, uint64_t n, uint64_t at) {
                std::copy(data, data + n, target.begin() + static_cast<long>(at));
                return true;
            };
            if (!CopyData(link, path, target.size(), write))
                return false;
        }
        if (::symlink(target.c_str(), path.c_str()) != 0)
            return Failed(path);
        ++counts_->symlinks;
        return true;
    }

    bool MakeSpecial(const ext3::FileInode& file, const std::string& path, uint16_t type) {
        // Old encoding in the first pointer, new one in the second.
        const uint32_t old = file.node.block[0], now = file.node.block[1];
        const dev_t dev = old != 0
                              ? makedev((old >> 8) & 0xff, old & 0xff)
                              : makedev((now >> 8) & 0xfff, (now & 0xff) | ((now >> 12) & 0xfff00));
        const mode_t kind = type == kModeFifo ? S_IFIFO : type == kModeChar ? S_IFCHR : S_IFBLK;
        if (::mknod(path.c_str(), kind | 0600, dev) == 0)
            return ++counts_->specials, true;
        if (errno == EPERM && kind != S_IFIFO) {
            skippedLast_ = true;
            return ++counts_->skipped, true;
        }
        return Failed(path);
    }

    PointFiles& files_;
    ext3::InodeReader& fs_;
    RestoreCounts* counts_;
    const bool asRoot_;
    bool skippedLast_ = false;
    std::map<uint32_t, std::string> linked_;  // inodes of several names: the first made
    std::set<uint32_t> onPath_;
    const std::string made_, target_;
    std::string error_;
};

// Refuses a target the restore may not replace.
bool TargetAllowed(const std::string& target, bool tree, std::string* error) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *error = WithErrno("cannot look at " + target);
        return false;
    }
    if (tree)
        *error = target + " exists; a directory is restored only to a new name";
    else if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        *error = target + " exists and is neither a file nor a symbolic link";
    else
        return true;
    return false;
}

}  // namespace

bool RestoreFiles(PointFiles& files, uint32_t inode, const std::string& target,
                  RestoreCounts* counts, std::string* error) {
    ext3::FileInode top;
    std::string why;
    if (!files.fs().ReadInode(inode, &top, &why)) {
        *error = "cannot read inode " + std::to_string(inode) + ": " + files.FsError(why);
        return false;
    }
    const bool tree = top.node.IsDirectory();
    if (!TargetAllowed(target, tree, error))
        return false;
    const std::string parent = DirectoryOf(target);
    std::string stage = parent + "/.kzvol-restore-XXXXXX";
    if (!::mkdtemp(stage.data())) {
        *error = WithErrno("cannot create a folder beside " + target);
        return false;
    }
    const std::string made = stage + "/entry";
    Restorer restorer(files, counts, made, target);
    bool ok = restorer.Make(top, made, true);
    struct stat st;
    if (!ok) {
        *error = restorer.error();
    } else if (::lstat(made.c_str(), &st) != 0) {
        *error = "cannot restore " + target + ": a socket, or a device without root";
        ok = false;
    } else if (tree) {  // one sync of the file system for every file of the tree
        UniqueFd dir(::open(made.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ok = dir && ::syncfs(dir.get()) == 0;
        if (!ok)
            *error = WithErrno("cannot sync " + made);
    }
    if (ok && ::renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, target.c_str(),
                          tree ? RENAME_NOREPLACE : 0) != 0) {
        *error = WithErrno("cannot rename " + made + " to " + target);
        ok = false;
    }
    if (!ok) {
        RemoveTree(stage);
        return false;
    }
    ::rmdir(stage.c_str());
    if (!restorer.Finish(top, target)) {
        *error = restorer.error();
        return false;
    }
    SyncDirectory(parent);
    return true;
}

}  // namespace kzvol::backup
