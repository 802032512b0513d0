// The locked, atomic rewrite of the file-system table.
#include "filter/FstabRewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/EvDebug.h"
#include "host/Handles.h"
#include "volume/MountTable.h"

namespace kzvol {
namespace {

EvDebug g_log;
constexpr int kReopenAttempts = 10;
constexpr size_t kWordBytes = 1024;
const char kMapperPrefix[] = "/dev/mapper/";

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A stream under an advisory lock; unlocks and closes on every path.
class LockedFile {
  public:
    LockedFile(const char* context, std::string name) : context_(context), name_(std::move(name)) {}
    ~LockedFile() { Release(); }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    FILE* get() const { return file_.get(); }
    void Adopt(FILE* file) { file_.reset(file); }
    bool Lock() {
        locked_ = file_ && lock(file_.get(), F_WRLCK) == 0;
        return locked_;
    }
    // Unlocks (logging a refusal, its message after `tag`) and closes.
    void Release(const char* tag = "") {
        if (locked_ && lock(file_.get(), F_UNLCK) != 0)
            g_log.Error(context_, "%scould not unlock = %s file fp=0x%p errno=%d \n", tag,
                        name_.c_str(), static_cast<void*>(file_.get()), errno);
        locked_ = false;
        file_.reset();
    }

  private:
    const char* context_;
    std::string name_;
    UniqueFile file_;
    bool locked_ = false;
};

// Opens the table (read-write: a write lock needs a descriptor open for writing)
// and takes its write lock. When another rewriter replaced the
// table while this one waited, the lock sits on the old file: open the new one.
bool LockTable(const FstabFiles& files, const char* context, LockedFile* table, struct stat* st) {
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        table->Adopt(std::fopen(files.table.c_str(), "r+e"));
        if (!table->get()) {
            g_log.Error(context, "could not open = %s file  errno=%d \n", files.table.c_str(),
                        errno);
            return false;
        }
        if (!table->Lock()) {
            g_log.Error(context, "could not lock = %s file errno=%d \n", files.table.c_str(),
                        errno);
            table->Release();
            return false;
        }
        struct stat now;
        if (::fstat(::fileno(table->get()), st) == 0 && ::stat(files.table.c_str(), &now) == 0 &&
            SameFile(*st, now))
            return true;
        table->Release();
    }
    g_log.Error(context, "could not lock = %s file errno=%d \n", files.table.c_str(), EAGAIN);
    return false;
}

// Creates the temporary file afresh (a stale one from an interrupted rewrite is
// removed: only the holder of the table's lock writes it) with the table's mode
// and owner, and locks it.
bool CreateTemp(const FstabFiles& files, const char* context, const struct stat& tableStat,
                LockedFile* temp) {
    ::unlink(files.temp.c_str());
    UniqueFd fd(::open(files.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       tableStat.st_mode & 07777));
    if (fd) {
        // The owner follows the table where the process may give it.
        if (::fchown(fd.get(), tableStat.st_uid, tableStat.st_gid) != 0)
            errno = 0;
        ::fchmod(fd.get(), tableStat.st_mode & 07777);
        temp->Adopt(::fdopen(fd.get(), "we"));
        if (temp->get())
            fd.release();
    }
    if (!temp->Lock()) {
        g_log.Error(context, "1c:could not lock = %s file errno=%d \n", files.temp.c_str(), errno);
        temp->Release();
        ::unlink(files.temp.c_str());
        return false;
    }
    return true;
}

bool Put(FILE* out, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
}

// Copies the table through `edit` into the temporary file, line by line.
bool CopyEdited(FILE* in, FILE* out, const FstabLineEdit& edit, const std::string& tail) {
    char* buffer = nullptr;
    size_t capacity = 0;
    bool endsLine = true, ok = true;
    for (ssize_t n; ok && (n = ::getline(&buffer, &capacity, in)) > 0;) {
        std::string line(buffer, static_cast<size_t>(n));
        endsLine = line.back() == '\n';
        ok = Put(out, edit(line));
    }
    std::free(buffer);
    if (!ok || std::ferror(in))
        return false;
    if (!endsLine && !Put(out, "\n"))
        return false;
    return Put(out, tail) && CurrentEnv()->SyncFile(::fileno(out));
}

}  // namespace

bool RewriteFstab(const FstabFiles& files, const char* context, const FstabLineEdit& edit,
                  const std::string& tail) {
    LockedFile table(context, files.table), temp(context, files.temp);
    struct stat tableStat;
    if (!LockTable(files, context, &table, &tableStat))
        return false;
    if (!CreateTemp(files, context, tableStat, &temp)) {
        table.Release("1d:");
        return false;
    }
    if (!CopyEdited(table.get(), temp.get(), edit, tail)) {
        g_log.Error(context, "could not write = %s file errno=%d \n", files.temp.c_str(), errno);
        temp.Release();
        ::unlink(files.temp.c_str());
        return false;
    }
    g_log.DebugLvl(context, 2, "%s written, replacing %s\n", files.temp.c_str(),
                   files.table.c_str());
    if (::rename(files.temp.c_str(), files.table.c_str()) != 0) {
        g_log.Error(context, "could not rename = %s to %s errno=%d \n", files.temp.c_str(),
                    files.table.c_str(), errno);
        temp.Release();
        ::unlink(files.temp.c_str());
        return false;
    }
    // The new table is in place: from here nothing turns the result into failure.
    if (!SyncDirectory(DirectoryOf(files.table)))
        g_log.Error(context, "could not sync directory of %s errno=%d \n", files.table.c_str(),
                    errno);
    return true;
}

std::string ResolveMapperLink(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) &&
        std::strncmp(resolved, kMapperPrefix, sizeof kMapperPrefix - 1) == 0)
        return resolved;
    return path;
}

std::string FstabFirstWord(const std::string& line) {
    static const char kBlanks[] = " \t\n\r\v\f";
    size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string::npos)
        return std::string();
    size_t end = line.find_first_of(kBlanks, start);
    std::string word = line.substr(start, end == std::string::npos ? end : end - start);
    return word.size() < kWordBytes ? word : std::string();
}

}  // namespace kzvol
