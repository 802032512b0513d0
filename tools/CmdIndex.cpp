// kzvol index: runs the on-disk directory reader over a device or image into a
// file-index table, through the sequence metadata collection uses, and reports
// what it read. The outputs replace their targets only when the run succeeded.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/CCreateUNIXFSTree.h"
#include "host/Handles.h"
#include "metadata/ReaderIntoTable.h"
#include "rdfd/RDFDException.h"
#include "tools/Commands.h"
#include "tools/ExtProbe.h"
#include "tools/Options.h"
#include "tools/OutputFile.h"
#include "tools/StopOnSignals.h"

namespace kzvol::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressInterval = std::chrono::milliseconds(200);

int QuitCheck(int, void*, void* flag) {
    *static_cast<unsigned char*>(flag) = StopRequested() ? 1 : 0;
    return 0;
}

struct Settings {
    std::string source, table, volinfo, rootName;
    std::string volinfoWrite;  // where the reader writes the volume information
    uint64_t extentSize = 2097152;
    bool optimized = false, namesOnly = false;
    int acl = 0, selinux = 0;
};

// The progress line on a terminal, at most every 200 ms.
class Progress {
  public:
    void Show(const ReaderCounts& counts) {
        auto now = Clock::now();
        if (now - shown_ < kProgressInterval)
            return;
        shown_ = now;
        double s = Seconds();
        std::fprintf(stderr, "\rindexing: %llu entries, %.0f entries/s ",
                     static_cast<unsigned long long>(counts.entries),
                     s > 0 ? counts.entries / s : 0.0);
        std::fflush(stderr);
        used_ = true;
    }
    void End() {
        if (used_)
            std::fprintf(stderr, "\r\033[K");
    }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  private:
    Clock::time_point start_ = Clock::now(), shown_{};  // the first call shows
    bool used_ = false;
};

bool ParseSettings(const Words& args, Settings* s, std::string* error) {
    Options opts({"table", "volinfo", "root-name", "extent-size", "acl", "selinux"},
                 {"optimized", "names-only"});
    uint64_t acl = 0, selinux = 0;
    if (!opts.Parse(args, error) || !opts.GetU64("extent-size", 2097152, &s->extentSize, error) ||
        !opts.GetU64("acl", 0, &acl, error) || !opts.GetU64("selinux", 0, &selinux, error))
        return false;
    if (opts.positional().size() != 1 || !opts.Has("table")) {
        *error = "wants one SOURCE and --table";
        return false;
    }
    if (acl > 1 || selinux > 1 || s->extentSize > UINT32_MAX) {
        *error = "--acl and --selinux take 0 or 1, --extent-size at most 4294967295";
        return false;
    }
    s->optimized = opts.Has("optimized");
    s->namesOnly = opts.Has("names-only");
    if (s->optimized && (s->namesOnly || opts.Has("acl") || opts.Has("selinux"))) {
        *error = "--names-only, --acl and --selinux do not apply to --optimized";
        return false;
    }
    s->source = opts.positional()[0];
    s->table = opts.Get("table");
    s->volinfo = opts.Get("volinfo");
    s->rootName = opts.Get("root-name", "/");
    s->acl = static_cast<int>(acl);
    s->selinux = static_cast<int>(selinux);
    return true;
}

// The reader's job for these settings. ext2 and ext3 share every structure the
// reader reads, so it is always told "ext3"; its own validation refuses what it
// cannot walk (ext4, no ext file system) with its own text.
ReaderJob JobFor(const Settings& s) {
    ReaderJob job;
    job.rootName = s.rootName;
    job.volinfoPath = s.volinfoWrite;
    job.extentBytes = static_cast<uint32_t>(s.extentSize);
    job.aclEnabled = s.acl;
    job.seLinuxEnabled = s.selinux;
    job.namesOnly = s.namesOnly;
    job.optimized = s.optimized;
    job.quit = QuitCheck;
    return job;
}

// What went wrong, in words, for the reader's `failure`; its own text follows.
std::string Refusal(const Settings& s, const ReaderOutcome& failure) {
    const std::string head = "cannot index " + s.source + ": ";
    if (failure.failureCode == -1)
        return head + "the directory reader stopped before the end";
    std::string why;
    if (StopRequested())
        why = "interrupted; nothing was kept";
    else if (failure.failureCode == RDFD_EXC_FS)
        why = s.source +
              " holds no ext2/ext3 file system the directory reader can walk (it is "
              "another type, empty or damaged; e2fsck -fn " +
              s.source + " tells more)";
    else if (failure.failureCode == RDFD_EXC_READ)
        why = "could not read " + s.source + " to the end (a truncated image or a failing device)";
    else if (failure.failureCode == RDFD_EXC_SYSTEM)
        why = s.volinfo.empty()
                  ? "out of memory"
                  : "out of memory, or cannot write the volume-information file " + s.volinfo;
    else
        why = "could not add a row to the table " + s.table + " (is its file system full?)";
    return head + why + "; the reader says: " + failure.failure;
}

void PrintSummary(const std::string& type, const ReaderCounts& run, double seconds) {
    std::printf(
        "type: %s\nentries: %llu\ndirectories: %llu\nfiles: %llu\nseconds: %.3f\n"
        "device bytes read: %llu\nread calls: %llu\n",
        type.empty() ? "unknown" : type.c_str(), static_cast<unsigned long long>(run.entries),
        static_cast<unsigned long long>(run.directories),
        static_cast<unsigned long long>(run.entries - run.directories), seconds,
        static_cast<unsigned long long>(run.bytesRead),
        static_cast<unsigned long long>(run.readCalls));
}

}  // namespace

int RunIndex(const Words& args) {
    Settings s;
    std::string error;
    if (!ParseSettings(args, &s, &error))
        return Usage(error);
    UniqueFd device(::open(s.source.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (!device)
        return Fail("cannot open " + s.source + ": " + std::strerror(errno));
    const std::string type = ProbeExtType(device.get());

    // Outputs are written beside their targets and put in place only on success,
    // so a failed run leaves what was there before.
    std::unique_ptr<OutputFile> volinfo;
    if (!s.volinfo.empty()) {
        volinfo = std::make_unique<OutputFile>(s.volinfo);
        if (!volinfo->ok())
            return Fail("cannot write " + s.volinfo + ": " + std::strerror(errno));
        s.volinfoWrite = volinfo->write_path();
    }
    StagedTable staged(s.table);
    if (!staged.ok())
        return Fail("cannot create the table " + s.table + ": " + std::strerror(errno));
    static long long handle = 0;
    CCreateUNIXFSTree table;  // disposes of the table unless it is closed
    int rc = table.Init(&handle);
    if (rc == 0)
        rc = table.Open(staged.write_base().c_str());
    if (rc != 0)
        return Fail("cannot create the table " + s.table + ": " + std::strerror(rc));

    Progress progress;
    ReaderJob job = JobFor(s);
    if (::isatty(STDERR_FILENO) == 1)
        job.progress = [&progress](const ReaderCounts& counts) { progress.Show(counts); };
    ReaderOutcome outcome;
    bool ok;
    {
        StopOnSignals stop;
        ok = ReadDeviceIntoTable(device.get(), &table, job, &outcome);
    }
    progress.End();
    error = ok ? "" : Refusal(s, outcome);
    if (ok && (rc = table.Close()) != 0)
        error = "cannot finish the table " + s.table + ": " + std::strerror(rc);
    if (!error.empty())
        return Fail(error);
    if (!staged.Commit() || (volinfo && !volinfo->Commit()))
        return Fail("cannot put the outputs in place: " + std::string(std::strerror(errno)));
    PrintSummary(type, outcome.counts,
                 progress.Seconds());  // the walk and the index built at Close
    return 0;
}

}  // namespace kzvol::cli
