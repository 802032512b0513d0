// kzvol content-snap: snapshot the filter volumes behind content paths and mount
// the snapshots under /snapmnt, keeping what was made in a list file; or release
// what such a file lists. Critical events of the library are shown on standard
// error as they are raised.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/EvDebug.h"
#include "metadata/ContentSnap.h"
#include "tools/Commands.h"
#include "tools/ContentListFile.h"
#include "tools/Options.h"

namespace kzvol::cli {
namespace {

const char* EventMeaning(int code) {
    switch (code) {
        case 0x7000068:
            return "the root directory cannot be snapshotted";
        case 0x7000069:
            return "path cannot be examined";
        case 0x700006A:
            return "the mount table cannot be read";
        case 0x700006B:
            return "no filter volume, or its snapshot cannot be made";
        case 0x700006C:
            return "the snapshot cannot be mounted";
        case 0x700006D:
            return "the snapshot cannot be released";
    }
    return "event";
}

// The tool is the host of the library's critical events: each is shown on
// standard error and goes to the log like any other line.
class EventEcho : public EnvWrapper {
  public:
    EventEcho() : EnvWrapper(CurrentEnv()) { previous_ = SetEnv(this); }
    ~EventEcho() override { SetEnv(previous_ == Env::Default() ? nullptr : previous_); }
    void RaiseCriticalEvent(int code, const std::vector<std::string>& args) override {
        std::string text =
            Format("critical event %#x (%s):", static_cast<unsigned>(code), EventMeaning(code));
        for (const auto& a : args)
            text += " " + a;
        std::fprintf(stderr, "kzvol: %s\n", text.c_str());
        Log(LogKind::Error, 0, "EvEvent::CriticalEvent:", text);
    }

  private:
    Env* previous_;
};

void PrintRecords(const kz_subclient_contentlist& list) {
    for (const kz_contenttosnapmnt& item : list.contents) {
        for (const kz_snapdevmntpath& r : item.snaps)
            std::printf("%s\t%s\t%s\t%d\n", r.mntPath.c_str(), r.devName.c_str(),
                        r.snapMntPath.c_str(), r.status);
    }
    std::fflush(stdout);
}

// Names each content path that got no snapshot on standard error; their number.
int ReportUnsnapped(const kz_subclient_contentlist& list) {
    int missing = 0;
    for (const kz_contenttosnapmnt& item : list.contents) {
        if (item.snaps.empty()) {
            std::fprintf(stderr, "kzvol: no snapshot for %s\n", item.contentPath.c_str());
            ++missing;
        }
    }
    return missing;
}

// `path` as an absolute path: a relative one is taken from the current directory.
std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[4096];
    return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

int Snap(const Words& paths, const std::string& listFile) {
    struct stat st;
    if (::lstat(listFile.c_str(), &st) == 0)
        return Fail(listFile + " already exists; release what it lists first, or name another");
    kz_subclient_contentlist list;
    for (const std::string& p : paths)
        list.contents.push_back({0, {}, Absolute(p)});
    list.count = static_cast<int>(list.contents.size());
    {
        EventEcho echo;
        KZVolSnap(KZVOLSNAP_SNAP, &list);
    }
    if (!ReplaceFileContents(listFile, FormatContentList(list), 0600)) {
        const std::string why = std::strerror(errno);
        EventEcho echo;
        KZVolSnap(KZVOLSNAP_RELEASE, &list);
        return Fail("cannot write " + listFile + " (" + why + "); the snapshots were released");
    }
    PrintRecords(list);
    const int missing = ReportUnsnapped(list);
    if (missing)
        return Fail(std::to_string(missing) + " content path(s) have no snapshot; " + listFile +
                    " lists the others for --release");
    return kExitOk;
}

// The whole text of `path`; false with errno set when it cannot be read.
bool ReadText(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return !in.bad();
}

int Release(const std::string& listFile) {
    std::string text, error;
    kz_subclient_contentlist list;
    errno = 0;
    if (!ReadText(listFile, &text))
        return Fail("cannot read " + listFile + ": " + std::strerror(errno));
    if (!ParseContentList(text, &list, &error))
        return Fail(listFile + " " + error);
    {
        EventEcho echo;
        KZVolSnap(KZVOLSNAP_RELEASE, &list);
    }
    PrintRecords(list);
    int failed = 0;
    for (const kz_contenttosnapmnt& item : list.contents) {
        for (const kz_snapdevmntpath& r : item.snaps)
            failed += r.status != 0;
    }
    if (failed)
        return Fail(std::to_string(failed) +
                    " snapshot(s) not released cleanly (status 1: still mounted, 2: not released)");
    return kExitOk;
}

}  // namespace

int RunContentSnap(const Words& args) {
    Options opts({"list", "release"}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    Words paths = opts.positional();
    paths.insert(paths.end(), opts.rest().begin(), opts.rest().end());
    if (opts.Has("list") == opts.Has("release"))
        return Usage("wants either --list FILE or --release FILE");
    if (opts.Has("release")) {
        if (!paths.empty())
            return Usage("--release takes no content paths");
        return Release(opts.Get("release"));
    }
    if (paths.empty())
        return Usage("wants at least one content PATH");
    return Snap(paths, opts.Get("list"));
}

}  // namespace kzvol::cli
