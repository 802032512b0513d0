// kzvol backups, restore and verify: reading a backup repository. Listing shows
// the chain; restore rebuilds one point, checking every extent before it is
// written; verify checks every link and every extent of every backup.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "host/Handles.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/backup/Files.h"
#include "tools/backup/ProgressLine.h"
#include "tools/backup/Readback.h"

namespace kzvol::cli {
namespace {

using backup::Manifest;

std::string TimeText(int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm utc;
    char text[32] = "?";
    if (::gmtime_r(&t, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &utc);
    return text;
}

bool RepositoryExists(const std::string& dir) {
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// TakeRepository's answer when the command goes on.
constexpr int kGoOn = -1;

// Parses `args` into `opts` and takes their one positional argument as the
// repository, which must exist; `complete` (may be null) checks the command's own
// options, and `wants` says what a usage error lacks. Returns kGoOn with *dir set,
// or the exit status of the refusal.
int TakeRepository(const Words& args, const char* wants, bool (*complete)(const Options&),
                   Options* opts, std::string* dir) {
    std::string error;
    if (!opts->Parse(args, &error))
        return Usage(error);
    if (opts->positional().size() != 1 || (complete && !complete(*opts)))
        return Usage(wants);
    *dir = opts->positional()[0];
    if (!RepositoryExists(*dir))
        return Fail("no repository " + *dir);
    return kGoOn;
}

// The target of a restore: a block device written in place, or a file written
// beside its final name and renamed over it once complete.
class RestoreTarget {
  public:
    explicit RestoreTarget(std::string path) : path_(std::move(path)) {}
    ~RestoreTarget() {
        if (!temp_.empty())
            ::unlink(temp_.c_str());
    }

    bool Open(uint64_t volumeBytes, std::string* error) {
        struct stat st;
        if (::stat(path_.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            return OpenDevice(volumeBytes, error);
        if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            *error = path_ + " is neither a regular file nor a block device";
            return false;
        }
        size_t slash = path_.rfind('/');
        std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash);
        std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        temp_ = dir + "/." + base + ".XXXXXX";
        fd_.reset(::mkostemp(temp_.data(), O_CLOEXEC));
        if (!fd_) {
            temp_.clear();
            *error = backup::WithErrno("cannot create a file beside " + path_);
            return false;
        }
        if (::fchmod(fd_.get(), 0644) == 0 &&
            ::ftruncate(fd_.get(), static_cast<off_t>(volumeBytes)) == 0)
            return true;
        *error = backup::WithErrno("cannot size " + temp_);
        return false;
    }
    int fd() const { return fd_.get(); }
    // A fresh file reads zeros wherever nothing was written.
    bool ReadsZeros() const { return !temp_.empty(); }

    bool Finish(std::string* error) {
        if (::fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0) {
            *error = backup::WithErrno("cannot sync " + (temp_.empty() ? path_ : temp_));
            return false;
        }
        if (temp_.empty())
            return true;
        if (::rename(temp_.c_str(), path_.c_str()) != 0) {
            *error = backup::WithErrno("cannot rename " + temp_ + " to " + path_);
            return false;
        }
        temp_.clear();
        return true;
    }

  private:
    bool OpenDevice(uint64_t volumeBytes, std::string* error) {
        fd_.reset(::open(path_.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC));
        uint64_t bytes = 0;
        if (!fd_ || ::ioctl(fd_.get(), BLKGETSIZE64, &bytes) != 0) {
            *error = backup::WithErrno("cannot open " + path_ + " for exclusive writing");
            return false;
        }
        if (bytes == volumeBytes)
            return true;
        *error = path_ + " holds " + std::to_string(bytes) +
                 " bytes; the backup is of a volume of " + std::to_string(volumeBytes);
        return false;
    }

    std::string path_, temp_;
    UniqueFd fd_;
};

std::string ChainText(const std::vector<Manifest>& chain) {
    std::string text;
    for (const Manifest& m : chain)
        text += (text.empty() ? "" : " ") + m.id;
    return text;
}

}  // namespace

int RunBackups(const Words& args) {
    Options opts({}, {});
    std::string dir, error;
    if (int status = TakeRepository(args, "wants one repository DIR", nullptr, &opts, &dir);
        status != kGoOn)
        return status;
    backup::Repository repo(dir);
    std::printf("%-7s %-12s %-7s %-21s %8s %12s %12s %s\n", "ID", "KIND", "PARENT", "TIME (UTC)",
                "EXTENTS", "BYTES", "STORED", "INDEX");
    for (const std::string& id : repo.BackupIds()) {
        Manifest m;
        if (!repo.Load(id, &m, &error)) {
            std::printf("%-7s (unusable: %s)\n", id.c_str(), error.c_str());
            continue;
        }
        std::printf("%-7s %-12s %-7s %-21s %8zu %12llu %12llu %s%s\n", id.c_str(),
                    backup::KindName(m.kind), m.parent.empty() ? "-" : m.parent.c_str(),
                    TimeText(m.time).c_str(), m.extents.size(),
                    static_cast<unsigned long long>(m.BytesHeld()),
                    static_cast<unsigned long long>(m.BytesStored()), m.indexed ? "yes" : "no",
                    m.usedOnly ? "  used blocks only" : "");
    }
    for (const std::string& id : repo.LeftoverIds())
        std::printf("%-7s (unfinished: %s, the next backup removes it)\n", id.c_str(),
                    repo.TempDir(id).c_str());
    return 0;
}

int RunRestore(const Words& args) {
    Options opts({"backup", "to"}, {});
    std::string dir, error;
    if (int status = TakeRepository(
            args, "wants one repository DIR and --to FILE_OR_DEVICE",
            [](const Options& o) { return o.Has("to"); }, &opts, &dir);
        status != kGoOn)
        return status;
    backup::Repository repo(dir);
    std::vector<std::string> ids = repo.BackupIds();
    std::string id = opts.Get("backup", ids.empty() ? "" : ids.back());
    if (id.empty())
        return Fail("no backup in " + repo.dir() + " to restore");
    std::vector<Manifest> chain;
    if (!repo.Chain(id, &chain, &error))
        return Fail("cannot restore backup " + id + ": " + error);

    const auto start = std::chrono::steady_clock::now();
    RestoreTarget target(opts.Get("to"));
    if (!target.Open(chain.back().volumeBytes, &error))
        return Fail(error);
    bool ok;
    {
        backup::ProgressLine line("restore");
        ok = backup::RestoreChain(
            repo, chain, target.fd(), target.ReadsZeros(),
            [&](uint64_t d, uint64_t t) { line.Show(d, t); }, &error);
    }
    if (!ok || !target.Finish(&error))
        return Fail("restore of backup " + id + " failed: " + error);
    std::printf("restored backup %s (chain %s) to %s: %llu bytes, every extent checked, %.3f s\n",
                id.c_str(), ChainText(chain).c_str(), opts.Get("to").c_str(),
                static_cast<unsigned long long>(chain.back().volumeBytes),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}

int RunVerify(const Words& args) {
    Options opts({}, {});
    std::string dir, error;
    if (int status = TakeRepository(args, "wants one repository DIR", nullptr, &opts, &dir);
        status != kGoOn)
        return status;
    backup::Repository repo(dir);
    const std::vector<std::string> ids = repo.BackupIds();
    size_t bad = 0;
    for (const std::string& id : ids) {
        std::vector<Manifest> chain;
        bool ok = repo.Chain(id, &chain, &error);
        if (ok) {
            backup::ProgressLine line("verify " + id);
            ok = backup::VerifyBackup(
                repo, chain.back(), [&](uint64_t d, uint64_t t) { line.Show(d, t); }, &error);
        }
        if (ok)
            std::printf("%s %s: ok, %zu extents, chain %s\n", id.c_str(),
                        backup::KindName(chain.back().kind), chain.back().extents.size(),
                        ChainText(chain).c_str());
        else
            std::printf("%s: FAILED: %s\n", id.c_str(), error.c_str());
        bad += ok ? 0 : 1;
    }
    if (bad)
        return Fail(std::to_string(bad) + " of " + std::to_string(ids.size()) +
                    " backups failed verification");
    std::printf("%zu backup(s) verified\n", ids.size());
    return 0;
}

}  // namespace kzvol::cli
