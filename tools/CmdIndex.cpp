// kzvol index: runs the on-disk directory reader over a device or image into a
// file-index table, with the same callbacks metadata collection uses, and reports
// what it read. On failure nothing is left: table and volume information go.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "host/CCreateUNIXFSTree.h"
#include "host/Env.h"
#include "host/Handles.h"
#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"
#include "tools/Commands.h"
#include "tools/ExtProbe.h"
#include "tools/Options.h"

namespace kzvol::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kProgressEvery = 1024;  // entries between clock checks
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

// Keeps the text of the reader's exception, which its entry points log as an
// Error line under their own name before they answer false.
class ReaderErrorCapture : public EnvWrapper {
  public:
    ReaderErrorCapture() : EnvWrapper(CurrentEnv()) { previous_ = SetEnv(this); }
    ~ReaderErrorCapture() override { SetEnv(previous_ == Env::Default() ? nullptr : previous_); }
    ReaderErrorCapture(const ReaderErrorCapture&) = delete;
    ReaderErrorCapture& operator=(const ReaderErrorCapture&) = delete;

    void Log(LogKind kind, int level, const std::string& context,
             const std::string& message) override {
        if (kind == LogKind::Error &&
            (context == "RDFDInterfaceForImgPod" || context == "RDFDInterfaceForVirtualPod"))
            last_ = message;
        EnvWrapper::Log(kind, level, context, message);
    }
    const std::string& last() const { return last_; }

  private:
    Env* previous_;
    std::string last_;
};

// SIGINT and SIGTERM ask the walk to stop at its next quit poll.
volatile std::sig_atomic_t g_stopRequested = 0;

class StopOnSignals {
  public:
    StopOnSignals() {
        g_stopRequested = 0;
        struct sigaction sa {};
        sa.sa_handler = [](int) { g_stopRequested = 1; };
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &oldInt_);
        ::sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~StopOnSignals() {
        ::sigaction(SIGINT, &oldInt_, nullptr);
        ::sigaction(SIGTERM, &oldTerm_, nullptr);
    }

  private:
    struct sigaction oldInt_ {
    }, oldTerm_{};
};

int QuitCheck(int, void*, void* flag) {
    *static_cast<unsigned char*>(flag) = g_stopRequested ? 1 : 0;
    return 0;
}

struct Settings {
    std::string source, table, volinfo, rootName;
    uint64_t extentSize = 2097152;
    bool optimized = false, namesOnly = false;
    int acl = 0, selinux = 0;
};

// What one run read and reported; the context of both callbacks.
struct Run {
    int fd = -1;
    CCreateUNIXFSTree* table = nullptr;
    uint64_t bytesRead = 0, readCalls = 0, entries = 0, directories = 0;
    bool showProgress = false;
    Clock::time_point start = Clock::now(), shown{};  // the first check shows progress

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
    void ShowProgress() {
        auto now = Clock::now();
        if (now - shown < kProgressInterval)
            return;
        shown = now;
        double s = Seconds();
        std::fprintf(stderr, "\rindexing: %llu entries, %.0f entries/s ",
                     static_cast<unsigned long long>(entries), s > 0 ? entries / s : 0.0);
        std::fflush(stderr);
    }
    void EndProgress() {
        if (showProgress)
            std::fprintf(stderr, "\r\033[K");
    }
};

unsigned int CountingRead(void* context, char* buffer, unsigned int size,
                          unsigned long long offset) {
    Run* run = static_cast<Run*>(context);
    unsigned int n = RDFDReadCallBack(&run->fd, buffer, size, offset);
    run->bytesRead += n;
    ++run->readCalls;
    return n;
}

bool CountingAdd(void* context, unsigned long long parentInode, unsigned long long inode,
                 unsigned long long size, unsigned int mtime, bool isDir, char* name) {
    Run* run = static_cast<Run*>(context);
    if (!RDFDGetInodeNameCallBack(run->table, parentInode, inode, size, mtime, isDir, name))
        return false;
    ++run->entries;
    if (isDir)
        ++run->directories;
    if (run->showProgress && run->entries % kProgressEvery == 0)
        run->ShowProgress();
    return true;
}

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

// Runs the chosen entry point. ext2 and ext3 share every structure the reader
// reads, so the entry point is always told "ext3"; its own validation refuses
// what it cannot walk (ext4, no ext file system) with its own text.
bool RunReader(const Settings& s, Run* run) {
    std::string rootName = s.rootName, volinfo = s.volinfo;
    char fsType[] = "ext3";
    char platform[100] = "linux";
    char* dumpPath = volinfo.empty() ? nullptr : volinfo.data();
    auto extent = static_cast<unsigned int>(s.extentSize);
    if (s.optimized) {
        std::string foundType;
        bool supported = true;
        char unused[] = "";
        return RDFDInterfaceForVirtualPod(rootName.data(), CountingRead, run, CountingAdd, run,
                                          dumpPath, &foundType, unused, extent, unused, unused,
                                          &supported, QuitCheck, 0, nullptr);
    }
    return RDFDInterfaceForImgPod(rootName.data(), CountingRead, run, CountingAdd, run, dumpPath,
                                  fsType, platform, extent, s.acl, s.selinux, s.namesOnly,
                                  QuitCheck, nullptr);
}

void PrintSummary(const std::string& type, const Run& run, double seconds) {
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

    static long long handle = 0;
    CCreateUNIXFSTree table;  // disposes of the table unless it is closed
    int rc = table.Init(&handle);
    if (rc == 0)
        rc = table.Open(s.table.c_str());
    if (rc != 0)
        return Fail("cannot create the table " + s.table + ": " + std::strerror(rc));

    Run run;
    run.fd = device.get();
    run.table = &table;
    run.showProgress = ::isatty(STDERR_FILENO) == 1;
    bool ok;
    std::string readerError;
    {
        ReaderErrorCapture capture;
        StopOnSignals stop;
        ok = RunReader(s, &run);
        readerError = capture.last();
    }
    run.EndProgress();
    if (ok && (rc = table.Close()) != 0)
        readerError = "cannot finish the table " + s.table + ": " + std::strerror(rc);
    if (!ok || rc != 0) {
        // Only a file the reader wrote goes; a device such as /dev/full stays.
        struct stat st {};
        if (!s.volinfo.empty() && ::lstat(s.volinfo.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            ::unlink(s.volinfo.c_str());
        return Fail(readerError.empty() ? "the directory reader failed on " + s.source
                                        : readerError);
    }
    PrintSummary(type, run, run.Seconds());  // the walk and the index built at Close
    return 0;
}

}  // namespace kzvol::cli
