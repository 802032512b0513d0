// kzvol metadata: the whole metadata collection of a mounted ext2/ext3 file system
// (file-index table and volume-information file), written beside the targets and
// put in place only when the collection succeeded.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "fstree/UnixFsTreeReader.h"
#include "host/FailureTap.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/OutputFile.h"
#include "tools/StopOnSignals.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {
namespace {

// Keeps the cause of a failed collection: the library's last Error line, else
// the collection's own last line (a refused file-system type is only a Debug line).

struct Settings {
    std::string mountPoint, table, volinfo, rootName;
    uint64_t extentSize = 2097152;
    bool skipSnapMount = false;
};

bool ParseSettings(const Words& args, Settings* s, std::string* error) {
    Options opts({"table", "volinfo", "root-name", "extent-size"}, {"skip-snap-mount"});
    if (!opts.Parse(args, error) || !opts.GetU64("extent-size", 2097152, &s->extentSize, error))
        return false;
    if (s->extentSize > UINT32_MAX) {
        *error = "--extent-size is at most 4294967295";
        return false;
    }
    if (opts.positional().size() != 1 || !opts.Has("table") || !opts.Has("volinfo")) {
        *error = "wants one MOUNTPOINT, --table and --volinfo";
        return false;
    }
    s->mountPoint = opts.positional()[0];
    s->table = opts.Get("table");
    s->volinfo = opts.Get("volinfo");
    s->rootName = opts.Get("root-name", "/");
    s->skipSnapMount = opts.Has("skip-snap-mount");
    return true;
}

// The on-disk reader's volume information ends with the fstype line; the
// walk's does not.
bool WrittenByReader(const std::string& volinfo) {
    std::ifstream in(volinfo);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string last = "fstype=ext3\n";
    return text.size() >= last.size() &&
           text.compare(text.size() - last.size(), last.size(), last) == 0;
}

uint64_t RowCount(const std::string& table) {
    UnixFsTreeReader reader;
    std::string error;
    return reader.Open(table, &error) ? reader.RowCount() : 0;
}

// Runs the collection into the staged paths. "" on success, else why not.
std::string Collect(const Settings& s, const std::string& table, const std::string& volinfo) {
    KZVolumeUnix volume(-1);
    SignalJobCtrl job;
    volume.m_pJobCtrlClient = &job;
    volume.m_bSkipSnapMount = s.skipSnapMount;
    std::string root = s.rootName, mnt = s.mountPoint, info = volinfo, tablePath = table;
    std::string aux = table + ".aux";
    FailureTap capture("KZVolumeUnix::DumpMetadataInformation");
    StopOnSignals stop;
    const bool ok = volume.DumpMetadataInformation(root.data(), mnt.data(), info.data(), aux.data(),
                                                   aux.data(), tablePath.data(), s.extentSize);
    if (StopRequested())
        return "stopped; nothing was written";
    if (!ok) {
        const std::string cause = capture.Take();
        return cause.empty() ? "metadata collection failed on " + s.mountPoint : cause;
    }
    if (::access(info.c_str(), F_OK) != 0 || ::access((table + ".idx").c_str(), F_OK) != 0)
        return "the collection left no index of " + s.mountPoint;
    return "";
}

}  // namespace

int RunMetadata(const Words& args) {
    Settings s;
    std::string error;
    if (!ParseSettings(args, &s, &error))
        return Usage(error);
    // The collection writes, and may delete, the information file by name: only
    // a regular file (or a new one) is taken as its target.
    struct stat st;
    if (::stat(s.volinfo.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return Usage("--volinfo must name a regular file");
    StagedTable table(s.table);
    AtomicFile volinfo(s.volinfo);
    if (!table.ok() || !volinfo.ok())
        return Fail("cannot write beside " + (table.ok() ? s.volinfo : s.table) + ": " +
                    std::strerror(errno));
    const auto start = std::chrono::steady_clock::now();
    error = Collect(s, table.write_base(), volinfo.temp_path());
    if (!error.empty())
        return Fail(error);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool byReader = WrittenByReader(volinfo.temp_path());
    const uint64_t rows = RowCount(table.write_base());
    if (!volinfo.Commit() || !table.Commit())
        return Fail("cannot put the outputs in place: " + std::string(std::strerror(errno)));
    std::printf("strategy: %s\nrows: %llu\nseconds: %.3f\n",
                byReader ? "on-disk reader" : "directory walk",
                static_cast<unsigned long long>(rows), seconds);
    return kExitOk;
}

}  // namespace kzvol::cli
