// kzvol extents: runs the extent hash tracker over a device or image as a backup job
// would, extent by extent, and prints for each whether it would be sent.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "backup/Files.h"
#include "checksum/CheckSum.h"
#include "host/FailureTap.h"
#include "host/Handles.h"
#include "tools/Commands.h"
#include "tools/Options.h"

namespace kzvol::cli {
namespace {

struct ExtentsJob {
    std::string source, name, jobResults;
    uint64_t extentSize = 0, type = 0, tapeFile = 0, limit = 0;
    bool restarted = false, promote = false;
    long long lastExtent = -1;
};

struct Tally {
    uint64_t extents = 0, sent = 0, skipped = 0, bytes = 0;
    bool completed = false;
};

// --restart takes -1 (every extent reached tape) or an extent number.
bool ParseLastExtent(const std::string& text, long long* out, std::string* error) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < -1) {
        *error = "--restart wants -1 or an extent number, not '" + text + "'";
        return false;
    }
    *out = v;
    return true;
}

bool ParseJob(const Words& args, ExtentsJob* job, std::string* error) {
    Options opts({"name", "job-results", "extent-size", "type", "tape-file", "restart", "limit"},
                 {"promote"});
    if (!opts.Parse(args, error) || !opts.GetU64("extent-size", 0, &job->extentSize, error) ||
        !opts.GetU64("type", 0, &job->type, error) ||
        !opts.GetU64("tape-file", 0, &job->tapeFile, error) ||
        !opts.GetU64("limit", 0, &job->limit, error))
        return false;
    if (opts.positional().size() != 1 || !opts.Has("name") || !opts.Has("job-results") ||
        !opts.Has("extent-size")) {
        *error = "wants one SOURCE, --name, --job-results and --extent-size";
        return false;
    }
    if (job->extentSize == 0 || job->extentSize > INT_MAX) {
        *error = "--extent-size wants 1 to " + std::to_string(INT_MAX) + " bytes";
        return false;
    }
    if (job->type > 1) {
        *error = "--type wants 0 or 1";
        return false;
    }
    job->restarted = opts.Has("restart");
    if (job->restarted && !ParseLastExtent(opts.Get("restart"), &job->lastExtent, error))
        return false;
    job->source = opts.positional()[0];
    job->name = opts.Get("name");
    job->jobResults = opts.Get("job-results");
    job->promote = opts.Has("promote");
    return true;
}

// Reads up to `size` bytes; fewer only at the end of the source. -1 on error.
ssize_t ReadExtent(int fd, char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Checks every extent of the source until its end or the limit. Empty on success,
// else the failure.
std::string CheckExtents(const ExtentsJob& job, int fd, CheckSum& tracker, Tally* tally) {
    std::unique_ptr<char[]> buffer(new char[job.extentSize]);
    char name[32];
    while (job.limit == 0 || tally->extents < job.limit) {
        ssize_t n = ReadExtent(fd, buffer.get(), job.extentSize);
        if (n < 0)
            return "read of " + job.source + " failed at byte " + std::to_string(tally->bytes) +
                   ": " + std::strerror(errno);
        if (n == 0)
            break;
        std::snprintf(name, sizeof name, "extent%010llu",
                      static_cast<unsigned long long>(tally->extents));
        bool backUp = true;  // stays true when the tracker cannot vouch for the extent
        tracker.ShouldThisExtentBeBackedUp(name, buffer.get(), static_cast<int>(n), &backUp);
        std::printf("%s\t%s\n", name, backUp ? "send" : "skip");
        ++(backUp ? tally->sent : tally->skipped);
        ++tally->extents;
        tally->bytes += static_cast<uint64_t>(n);
        if (static_cast<uint64_t>(n) < job.extentSize)
            break;
    }
    tally->completed = job.limit == 0 || tally->extents < job.limit;
    return std::string();
}

}  // namespace

int RunExtents(const Words& args) {
    ExtentsJob job;
    std::string error;
    if (!ParseJob(args, &job, &error))
        return Usage(error);

    UniqueFd fd(::open(job.source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return Fail("cannot open " + job.source + ": " + std::strerror(errno));

    const auto start = std::chrono::steady_clock::now();
    Tally tally;
    std::string hashTmp, hash;
    {
        FailureTap tail("", true);  // the tracker's cause, for the message
        CheckSum tracker(job.name, job.jobResults, static_cast<CheckSumBackupType>(job.type),
                         job.tapeFile, job.restarted);
        if (!tracker.InitializeScan(job.lastExtent))
            return Fail("cannot prepare the hash files in " + tracker.CheckSumDir() + ": " +
                        backup::CauseOr(tail.Take(), "no cause given"));
        if (!tracker.InitializeBackup())
            return Fail("cannot open the hash files in " + tracker.CheckSumDir() + ": " +
                        backup::CauseOr(tail.Take(), "no cause given"));
        error = CheckExtents(job, fd.get(), tracker, &tally);
        hashTmp = tracker.HashTmpPath();
        hash = tracker.HashPath();
    }  // the tracker closes its files here
    if (std::fflush(stdout) != 0)
        return Fail("writing the extent list failed");
    if (!error.empty())
        return Fail(error);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "extents %llu, sent %llu, skipped %llu, %.1f MB/s\n",
                 static_cast<unsigned long long>(tally.extents),
                 static_cast<unsigned long long>(tally.sent),
                 static_cast<unsigned long long>(tally.skipped),
                 seconds > 0 ? static_cast<double>(tally.bytes) / 1e6 / seconds : 0.0);
    if (!job.promote)
        return 0;
    if (!tally.completed) {
        std::fprintf(stderr, "kzvol: not promoted: the run stopped at --limit\n");
        return 0;
    }
    if (::rename(hashTmp.c_str(), hash.c_str()) != 0)
        return Fail("cannot rename " + hashTmp + " to " + hash + ": " + std::strerror(errno));
    return 0;
}

}  // namespace kzvol::cli
