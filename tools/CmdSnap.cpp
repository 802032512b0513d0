// kzvol snap create|read|stop|remove NODE: a copy-on-write snapshot of a filter
// device through the library. create prints the snapshot's node; read copies
// 512-byte blocks of the active snapshot; stop deletes the snapshot device; remove
// deletes its copy-on-write files, which live in --cow-dir DIR (default: the
// directory KZ_SNAP_PARTITION names).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "filter/QnbfVolInfo.h"
#include "filter/SnapFiles.h"
#include "tools/Commands.h"
#include "tools/FilterNode.h"
#include "tools/Options.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {
namespace {

// Blocks moved per SWSnapRead call: 4 MiB.
constexpr uint64_t kChunkBlocks = 8192;
constexpr size_t kPageBytes = 4096;
const char kSeeLog[] = " (see the log: --verbose)";

// --cow-dir, else KZ_SNAP_PARTITION, handed to the library through its own call;
// false with the usage error in *error.
bool ChooseCowDir(const Options& opts, std::string* dir, std::string* error) {
    if (opts.Has("cow-dir"))
        SetSnapPartition(opts.Get("cow-dir"));
    const char* chosen = SnapPartition();
    if (!chosen) {
        *error = "wants --cow-dir DIR or the variable KZ_SNAP_PARTITION";
        return false;
    }
    *dir = chosen;
    return true;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

enum class Snapshot { None, Active, Unknown };

// Whether the filter device has a snapshot, as the driver reports it.
Snapshot SnapshotOf(KZVolumeUnix& volume) {
    QNBFVolInfo_t info;
    if (!volume.QNBFGetVolInfo(info))
        return Snapshot::Unknown;
    return info.has_snapshot ? Snapshot::Active : Snapshot::None;
}

std::string NoInformation(const std::string& node) {
    return "the driver gave no information on " + node + kSeeLog;
}

int Create(const Options& opts, KZVolumeUnix& volume, const std::string& node) {
    std::string dir, error;
    if (!ChooseCowDir(opts, &dir, &error))
        return Usage(error);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail("the copy-on-write directory " + dir + " is not a directory");
    CowFiles files = CowFileNames(dir, node);
    if (Exists(files.data) || Exists(files.map))
        return Fail(dir + " already holds copy-on-write files of " + node +
                    ": remove them first (kzvol snap remove " + node + ")");
    if (!volume.SWSnapSynchronize(node, 0))
        return Fail("cannot snapshot " + node + kSeeLog);
    std::printf("%s\n", volume.m_strSnapId.c_str());
    return 0;
}

int Read(const Options& opts, KZVolumeUnix& volume, const std::string& node) {
    uint64_t offset = 0, count = 0;
    std::string error;
    if (!opts.GetU64("offset", 0, &offset, &error) || !opts.GetU64("count", 0, &count, &error))
        return Usage(error);
    if (!opts.Has("offset") || !opts.Has("count"))
        return Usage("read wants --offset and --count");
    // The active snapshot is found through the filter device, opened read-only.
    if (!volume.Open(1) || !volume.OpenSnapVolume()) {
        const Snapshot snapshot = SnapshotOf(volume);
        if (snapshot == Snapshot::None)
            return Fail(node + " has no snapshot (kzvol snap create " + node + ")");
        return Fail(snapshot == Snapshot::Unknown
                        ? NoInformation(node)
                        : "cannot open the snapshot of " + node + kSeeLog);
    }
    CommandOutput out;
    if (!out.Open(opts.Get("out"), &error))
        return Fail(error);
    // Page-aligned: the kernel's copies into a misaligned buffer run several times slower.
    std::unique_ptr<char, decltype(&std::free)> buffer(
        static_cast<char*>(std::aligned_alloc(kPageBytes, kChunkBlocks * 512)), &std::free);
    if (!buffer)
        return Fail("out of memory for the transfer buffer");
    for (uint64_t at = 0; at < count; at += kChunkBlocks) {
        unsigned long n = static_cast<unsigned long>(std::min(kChunkBlocks, count - at));
        unsigned long done = 0;
        if (!volume.SWSnapRead(offset + at, n, buffer.get(), done))
            return Fail("read of " + std::to_string(n) + " blocks at block " +
                        std::to_string(offset + at) + " of the snapshot of " + node + " failed" +
                        kSeeLog);
        if (!out.Write(buffer.get(), size_t{n} * 512))
            return Fail(std::string("write of the output failed: ") + std::strerror(errno));
    }
    if (!out.Finish())
        return Fail(std::string("cannot put the output in place: ") + std::strerror(errno));
    return 0;
}

int Stop(KZVolumeUnix& volume, const std::string& node) {
    const Snapshot snapshot = SnapshotOf(volume);
    if (snapshot == Snapshot::Unknown)
        return Fail(NoInformation(node));
    if (snapshot == Snapshot::None) {
        std::printf("%s has no snapshot\n", node.c_str());
        return 0;
    }
    if (!volume.SWSnapFreezeSync("", KZ_APP_NONE))
        return Fail("cannot stop the snapshot of " + node +
                    " (unmount it first if it is mounted; see --verbose)");
    std::printf("stopped %s\n", volume.m_strSnapId.c_str());
    return 0;
}

int Remove(const Options& opts, KZVolumeUnix& volume, const std::string& node) {
    std::string dir, error;
    if (!ChooseCowDir(opts, &dir, &error))
        return Usage(error);
    const Snapshot snapshot = SnapshotOf(volume);
    if (snapshot == Snapshot::Unknown)
        return Fail(NoInformation(node));
    if (snapshot == Snapshot::Active)
        return Fail(node + " has an active snapshot: stop it first (kzvol snap stop " + node + ")");
    if (!volume.SWSnapUnsynchronize())
        return Fail("cannot remove the copy-on-write files of " + node + " in " + dir + kSeeLog);
    std::printf("removed the copy-on-write files of %s from %s\n", node.c_str(), dir.c_str());
    return 0;
}

}  // namespace

int RunSnap(const Words& args) {
    Options opts({"cow-dir", "offset", "count", "out"}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 2)
        return Usage("wants an action (create, read, stop or remove) and one NODE");
    const std::string action = opts.positional()[0];
    const std::string node = opts.positional()[1];
    const bool takesCowDir = action == "create" || action == "remove";
    if (action != "read" && action != "stop" && !takesCowDir)
        return Usage("unknown action '" + action + "' (create, read, stop or remove)");
    if (action != "read" && (opts.Has("offset") || opts.Has("count") || opts.Has("out")))
        return Usage(action + " takes no --offset, --count or --out");
    if (!takesCowDir && opts.Has("cow-dir"))
        return Usage(action + " takes no --cow-dir");

    // The object stands for the filter device itself, so that the copy-on-write
    // names follow its node.
    KZVolumeUnix volume(node);
    if (!BindFilterNode(volume, node, &error))
        return Fail(error);
    if (action == "create")
        return Create(opts, volume, node);
    if (action == "read")
        return Read(opts, volume, node);
    if (action == "stop")
        return Stop(volume, node);
    return Remove(opts, volume, node);
}

}  // namespace kzvol::cli
