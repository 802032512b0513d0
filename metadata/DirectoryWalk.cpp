// DumpFileListToCTree: the mounted-tree walk into the file-index table. Entries
// are looked up relative to their directory's descriptor (fstatat, openat), which
// reads the same attributes as a by-path lstat without resolving the path again
// at every level. The walk stays on the file system it starts on: a mount point
// inside it, and what is mounted there, are left out.
#include "metadata/DirectoryWalk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "host/EvDebug.h"
#include "host/Handles.h"

int DebugLog = 0;

namespace {

const char kContext[] = "DumpFileListToCTree:";

EvDebug g_log;

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Opens the subdirectory `name` of the stream's directory as a new stream, not
// following a symbolic link swapped in since it was examined. Null on failure.
DIR* OpenSubdirectory(DIR* parent, const char* name) {
    int fd = ::openat(::dirfd(parent), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR* dir = ::fdopendir(fd);
    if (!dir)
        ::close(fd);
    return dir;
}

// One walk level: the stream, its path, its inode and where the rows go.
struct Level {
    DIR* dir;
    const std::string& path;
    unsigned long long inode;
    CCreateUNIXFSTree* table;
    KZJobCtrlClient* jobCtrl;
    dev_t device;  // the walked file system's; entries on another are not walked
};

// Adds the directory's row and walks its content. False ends the walk.
bool AddDirectory(const Level& level, const struct dirent64* entry, const struct stat64& st) {
    const char* name = entry->d_name;
    if (DebugLog)
        g_log.Debug(kContext, "1a:adding dir  pinode=%llu inode=%lu size=%lu mtime=%lu name=%s \n",
                    level.inode, static_cast<unsigned long>(st.st_ino),
                    static_cast<unsigned long>(st.st_size), static_cast<unsigned long>(st.st_mtime),
                    name);
    int rc = level.table->Add(level.inode, st.st_ino, st.st_size,
                              static_cast<unsigned int>(st.st_mtime), 1, name);
    if (rc != 0) {
        g_log.Error(kContext, "failed to add dirname=%s to ctreetable ret=%d \n", name, rc);
        return false;
    }
    const std::string path = level.path + "/" + name;
    DIR* sub = OpenSubdirectory(level.dir, name);
    if (!sub) {
        g_log.Error(kContext, "failed to opendir filename=%s inode=%ld", path.c_str(),
                    static_cast<long>(entry->d_ino));
        return true;
    }
    if (!DumpFileListToCTree(sub, path, st.st_ino, level.table, level.jobCtrl)) {
        g_log.Error(kContext, "failed to dumpfilelisttoctree for path=%s errno=%d \n", path.c_str(),
                    errno);
        return false;
    }
    return true;
}

// Adds the row of anything but a directory, unless it has several links. False
// ends the walk.
bool AddOther(const Level& level, const char* name, const struct stat64& st) {
    const auto inode = static_cast<unsigned long>(st.st_ino);
    if (st.st_nlink > 1) {
        if (DebugLog)
            g_log.Debug(kContext, "skipping =%s link count=%lu parent inode=%llu inodeno=%lu \n",
                        name, static_cast<unsigned long>(st.st_nlink), level.inode, inode);
        return true;
    }
    if (DebugLog)
        g_log.Debug(kContext, "adding file pinode=%llu inode=%lu size=%lu mtime=%lu  name=%s\n",
                    level.inode, inode, static_cast<unsigned long>(st.st_size),
                    static_cast<unsigned long>(st.st_mtime), name);
    int rc = level.table->Add(level.inode, st.st_ino, st.st_size,
                              static_cast<unsigned int>(st.st_mtime), 0, name);
    if (rc != 0) {
        g_log.Error(kContext, "failed to add filename=%s to ctreetable ret=%d \n", name, rc);
        return false;
    }
    return true;
}

}  // namespace

bool DumpFileListToCTree(DIR* dir, std::string dirPath, unsigned long long parentInode,
                         CCreateUNIXFSTree* table, KZJobCtrlClient* jobCtrl) {
    kzvol::UniqueDir owned(dir);
    if (!dir || !table) {
        g_log.Error(kContext, "invalid directory stream or table for path=%s \n", dirPath.c_str());
        return false;
    }
    struct stat64 self;
    if (::fstat64(::dirfd(dir), &self) != 0) {
        g_log.Error(kContext, "failed to stat directory=%s errno=%d \n", dirPath.c_str(), errno);
        return false;
    }
    const Level level{dir, dirPath, parentInode, table, jobCtrl, self.st_dev};
    for (;;) {
        errno = 0;
        const struct dirent64* entry = ::readdir64(dir);
        if (!entry) {
            if (errno == 0)
                return true;
            g_log.Error(kContext, "failed to read directory=%s errno=%d \n", dirPath.c_str(),
                        errno);
            return false;
        }
        if (jobCtrl && jobCtrl->checkQuitFlag()) {
            g_log.Debug(kContext, "job quit flag set");
            return false;
        }
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name))
            continue;
        struct stat64 st;
        std::memset(&st, 0, sizeof st);
        if (::fstatat64(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            g_log.Debug(kContext, "failed to do lstat on=%s errno=%d \n",
                        (dirPath + "/" + name).c_str(), err);
            continue;
        }
        if (st.st_dev != level.device) {
            if (DebugLog)
                g_log.Debug(kContext, "skipping mount point=%s/%s \n", dirPath.c_str(), name);
            continue;
        }
        const bool go =
            S_ISDIR(st.st_mode) ? AddDirectory(level, entry, st) : AddOther(level, name, st);
        if (!go)
            return false;
    }
}
