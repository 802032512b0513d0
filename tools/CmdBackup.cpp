// kzvol backup: one full or incremental image backup of a filter device into a
// repository (see backup/Backup.h for the cycle).
#include <cstdio>
#include <cstdlib>

#include "backup/Backup.h"
#include "backup/FilterSource.h"
#include "backup/ProgressLine.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/StopOnSignals.h"

namespace kzvol::cli {
namespace {

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
    if (r.leftoversLost && r.readAllBecause.empty())
        std::printf(
            ", %zu unfinished backup(s) without their changes: every change since the "
            "last full backup read",
            r.leftoversLost);
    if (!r.readAllBecause.empty())
        std::printf("\nevery extent read: %s", r.readAllBecause.c_str());
    if (m.indexFailed)
        std::printf("\nindex missing: %s", r.indexError.c_str());
    std::printf(
        "\nbitmap taken in %.3f s, snapshot taken in %.3f s, removed in %.3f s; %.3f s in all\n",
        r.takeSeconds, r.freezeSeconds, r.thawSeconds, r.seconds);
}

bool ParseExtentSize(const std::string& text, uint64_t* bytes) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *bytes = std::stoull(text);
    return *bytes >= 512 && *bytes <= backup::kDriverMaxExtentBytes && (*bytes & (*bytes - 1)) == 0;
}

}  // namespace

int RunBackup(const Words& args) {
    Options opts({"repo", "cow-dir", "extent-size"}, {"incremental", "index", "used-only"});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1 || !opts.Has("repo"))
        return Usage("wants one NODE and --repo DIR");
    uint64_t extentBytes = 0;
    if (opts.Has("extent-size") && !ParseExtentSize(opts.Get("extent-size"), &extentBytes))
        return Usage("--extent-size wants a power of two from 512 bytes to 2 GiB");
    const char* snapDir = std::getenv("KZ_SNAP_PARTITION");
    const std::string repoDir = opts.Get("repo");
    const std::string cowDir = opts.Get("cow-dir", snapDir && *snapDir ? snapDir : repoDir);

    backup::Repository repo(repoDir);
    if (!repo.LockForWriting(&error))
        return Fail(error);
    backup::FilterSource source(opts.positional()[0], cowDir);
    if (extentBytes)
        source.KnownExtentBytes(extentBytes, true);
    else if (const backup::RepositoryConfig* config = repo.config())
        source.KnownExtentBytes(config->volume.extentBytes, false);
    backup::BackupOptions options;
    options.incremental = opts.Has("incremental");
    options.index = opts.Has("index");
    options.usedOnly = opts.Has("used-only");
    options.stop = StopFlag();
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
