// kzvol index: runs the on-disk directory reader over a device or image into a
// file-index table, with the same callbacks metadata collection uses, and reports
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
#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"
#include "tools/Commands.h"
#include "tools/ExtProbe.h"
#include "tools/Options.h"
#include "tools/OutputFile.h"
#include "tools/StopOnSignals.h"

namespace kzvol::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kProgressEvery = 1024;  // entries between clock checks
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

void ReadAhead(void* context, unsigned long long offset, unsigned long long length) {
    RDFDReadAheadCallBack(&static_cast<Run*>(context)->fd, offset, length);
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
bool RunReader(const Settings& s, Run* run, RDFDException* failure) {
    std::string rootName = s.rootName, volinfo = s.volinfoWrite;
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
                                          &supported, QuitCheck, 0, nullptr, failure, ReadAhead);
    }
    return RDFDInterfaceForImgPod(rootName.data(), CountingRead, run, CountingAdd, run, dumpPath,
                                  fsType, platform, extent, s.acl, s.selinux, s.namesOnly,
                                  QuitCheck, nullptr, failure, ReadAhead);
}

// The code of a failure the reader did not hand back (its walk ended without an
// exception).
constexpr auto kNoException = static_cast<RDFDExceptionCodes>(-1);

// What went wrong, in words, for the reader's exception `failure`; the reader's
// own text follows.
std::string Refusal(const Settings& s, const RDFDException& failure) {
    const std::string head = "cannot index " + s.source + ": ";
    if (failure.GetCode() == kNoException)
        return head + "the directory reader stopped before the end";
    std::string why;
    if (StopRequested())
        why = "interrupted; nothing was kept";
    else if (failure.GetCode() == RDFD_EXC_FS)
        why = s.source +
              " holds no ext2/ext3 file system the directory reader can walk (it is "
              "another type, empty or damaged; e2fsck -fn " +
              s.source + " tells more)";
    else if (failure.GetCode() == RDFD_EXC_READ)
        why = "could not read " + s.source + " to the end (a truncated image or a failing device)";
    else if (failure.GetCode() == RDFD_EXC_SYSTEM)
        why = s.volinfo.empty()
                  ? "out of memory"
                  : "out of memory, or cannot write the volume-information file " + s.volinfo;
    else
        why = "could not add a row to the table " + s.table + " (is its file system full?)";
    return head + why + "; the reader says: " + failure.GetErrorMsg();
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

    Run run;
    run.fd = device.get();
    RDFDPrepareForReadAhead(run.fd);
    run.table = &table;
    run.showProgress = ::isatty(STDERR_FILENO) == 1;
    RDFDException failure(kNoException, nullptr);
    bool ok;
    {
        StopOnSignals stop;
        ok = RunReader(s, &run, &failure);
    }
    run.EndProgress();
    error = ok ? "" : Refusal(s, failure);
    if (ok && (rc = table.Close()) != 0)
        error = "cannot finish the table " + s.table + ": " + std::strerror(rc);
    if (!error.empty())
        return Fail(error);
    if (!staged.Commit() || (volinfo && !volinfo->Commit()))
        return Fail("cannot put the outputs in place: " + std::string(std::strerror(errno)));
    PrintSummary(type, run, run.Seconds());  // the walk and the index built at Close
    return 0;
}

}  // namespace kzvol::cli
