// kzvol backups, restore and verify: reading a backup repository. Listing shows
// the chain; restore rebuilds one point, checking every extent before it is
// written; verify checks every link and every extent of every backup.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>

#include "backup/Files.h"
#include "backup/ProgressLine.h"
#include "backup/Readback.h"
#include "backup/RestoreTarget.h"
#include "host/Handles.h"
#include "tools/Commands.h"
#include "tools/Options.h"

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
// repository, which must exist and be of a format this tool reads; `complete`
// (may be null) checks the command's own options, and `wants` says what a usage
// error lacks. Returns kGoOn with *repo opened, or the exit status of the refusal.
int TakeRepository(const Words& args, const char* wants, bool (*complete)(const Options&),
                   Options* opts, backup::Repository* repo) {
    std::string error;
    if (!opts->Parse(args, &error))
        return Usage(error);
    if (opts->positional().size() != 1 || (complete && !complete(*opts)))
        return Usage(wants);
    const std::string dir = opts->positional()[0];
    if (!RepositoryExists(dir))
        return Fail("no repository " + dir);
    *repo = backup::Repository(dir);
    if (!repo->Open(&error))
        return Fail(error);
    return kGoOn;
}

// The INDEX column: yes, no, or why the index asked for is missing.
std::string IndexText(const backup::Repository& repo, const Manifest& m) {
    if (!m.indexFailed)
        return m.indexed ? "yes" : "no";
    std::string why;
    if (!backup::ReadWholeFile(repo.BackupDir(m.id) + "/" + backup::kIndexFailureFile, 4096, &why))
        why = "the reason was not kept";
    while (!why.empty() && why.back() == '\n')
        why.pop_back();
    return "missing: " + why;
}

std::string ChainText(const std::vector<Manifest>& chain) {
    std::string text;
    for (const Manifest& m : chain)
        text += (text.empty() ? "" : " ") + m.id;
    return text;
}

}  // namespace

int RunBackups(const Words& args) {
    Options opts({}, {});
    std::string error;
    backup::Repository repo("");
    if (int status = TakeRepository(args, "wants one repository DIR", nullptr, &opts, &repo);
        status != kGoOn)
        return status;
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
                    static_cast<unsigned long long>(m.BytesStored()), IndexText(repo, m).c_str(),
                    m.usedOnly ? "  used blocks only" : "");
    }
    for (const std::string& id : repo.LeftoverIds())
        std::printf("%-7s (unfinished: %s, the next backup removes it)\n", id.c_str(),
                    repo.TempDir(id).c_str());
    return 0;
}

int RunRestore(const Words& args) {
    Options opts({"backup", "to", "path"}, {});
    std::string error;
    backup::Repository repo("");
    if (int status = TakeRepository(
            args, "wants one repository DIR and --to FILE_OR_DEVICE",
            [](const Options& o) { return o.Has("to"); }, &opts, &repo);
        status != kGoOn)
        return status;
    if (backup::IsInside(opts.Get("to"), repo.dir()))
        return Fail("will not restore into the repository " + repo.dir() +
                    ": choose a target outside it");
    const std::string id = opts.Get("backup", repo.NewestId());
    if (id.empty())
        return Fail("no backup in " + repo.dir() + " to restore");
    if (opts.Has("path"))
        return RestorePath(repo, id, opts.Get("path"), opts.Get("to"));
    std::vector<Manifest> chain;
    if (!repo.Chain(id, &chain, &error))
        return Fail("cannot restore backup " + id + ": " + error);

    const auto start = std::chrono::steady_clock::now();
    backup::RestoreTarget target(opts.Get("to"));
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

// Verifies every backup on its own (extents, then its other files); a backup
// whose chain holds a link with damaged extents or manifest is not restorable.
int RunVerify(const Words& args) {
    Options opts({}, {});
    std::string error;
    backup::Repository repo("");
    if (int status = TakeRepository(args, "wants one repository DIR", nullptr, &opts, &repo);
        status != kGoOn)
        return status;
    const std::vector<std::string> ids = repo.BackupIds();
    std::map<std::string, bool> restorable;  // its manifest and extents are sound
    size_t bad = 0;
    for (const std::string& id : ids) {
        std::vector<Manifest> chain;
        bool ok = repo.Chain(id, &chain, &error);
        if (ok) {
            backup::ProgressLine line("verify " + id);
            ok = backup::VerifyBackup(
                repo, chain.back(), [&](uint64_t d, uint64_t t) { line.Show(d, t); }, &error);
        }
        restorable[id] = ok;
        for (size_t i = 0; ok && i + 1 < chain.size(); ++i)
            if (!restorable[chain[i].id]) {
                ok = false;
                error = "not restorable: it builds on " + chain[i].id + ", which is damaged";
            }
        if (ok && !backup::VerifyFiles(repo, chain.back(), &error))
            ok = false;
        if (ok)
            std::printf("%s %s: ok, %zu extents, chain %s%s\n", id.c_str(),
                        backup::KindName(chain.back().kind), chain.back().extents.size(),
                        ChainText(chain).c_str(),
                        chain.back().listsFiles ? "" : " (its other files predate digests)");
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
