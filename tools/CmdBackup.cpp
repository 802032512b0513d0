// kzvol backup: one full or incremental image backup of a filter device into a
// repository (see tools/backup/Backup.h for the cycle).
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/backup/Backup.h"
#include "tools/backup/FilterSource.h"
#include "tools/backup/ProgressLine.h"

namespace kzvol::cli {
namespace {

std::atomic<bool> g_stop{false};

// SIGINT and SIGTERM stop the backup at its next extent; it then gives the
// changes it took back and removes what it wrote.
class StopOnSignals {
  public:
    StopOnSignals() {
        struct sigaction sa {};
        sa.sa_handler = [](int) { g_stop = true; };
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

void PrintReport(const backup::BackupReport& r) {
    const backup::Manifest& m = r.manifest;
    std::printf(
        "backup %s: %s%s, %llu of %llu extents read, %zu sent (%llu bytes, %llu stored), "
        "%llu unchanged%s",
        m.id.c_str(), backup::KindName(m.kind), m.parent.empty() ? "" : (" on " + m.parent).c_str(),
        static_cast<unsigned long long>(r.extentsRead),
        static_cast<unsigned long long>(m.VolumeExtents()), m.extents.size(),
        static_cast<unsigned long long>(m.BytesHeld()),
        static_cast<unsigned long long>(m.BytesStored()),
        static_cast<unsigned long long>(r.extentsSkipped), m.usedOnly ? ", used blocks only" : "");
    if (r.leftoversFolded)
        std::printf(", changes of %zu unfinished backup(s) folded in", r.leftoversFolded);
    std::printf(
        "\nbitmap taken in %.3f s, snapshot taken in %.3f s, removed in %.3f s; %.3f s in all\n",
        r.takeSeconds, r.freezeSeconds, r.thawSeconds, r.seconds);
}

}  // namespace

int RunBackup(const Words& args) {
    Options opts({"repo", "cow-dir"}, {"incremental", "index", "used-only"});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1 || !opts.Has("repo"))
        return Usage("wants one NODE and --repo DIR");
    const char* snapDir = std::getenv("KZ_SNAP_PARTITION");
    const std::string repoDir = opts.Get("repo");
    const std::string cowDir = opts.Get("cow-dir", snapDir && *snapDir ? snapDir : repoDir);

    backup::Repository repo(repoDir);
    if (!repo.LockForWriting(&error))
        return Fail(error);
    backup::FilterSource source(opts.positional()[0], cowDir);
    backup::BackupOptions options;
    options.incremental = opts.Has("incremental");
    options.index = opts.Has("index");
    options.usedOnly = opts.Has("used-only");
    options.stop = &g_stop;
    backup::BackupReport report;
    bool ok;
    {
        backup::ProgressLine line("backup");
        options.progress = [&](uint64_t done, uint64_t total) { line.Show(done, total); };
        StopOnSignals stop;
        ok = backup::RunBackup(repo, source, options, &report, &error);
    }
    if (!ok)
        return Fail(error);
    PrintReport(report);
    return 0;
}

}  // namespace kzvol::cli
