// kzvol filter add|remove: puts a block device under the filter driver (optionally
// making /etc/fstab mount it through the filter device) and takes it out again
// (optionally giving /etc/fstab back the way creation found it).
#include <mntent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "filter/CreateDevArg.h"
#include "filter/DriverChannel.h"
#include "filter/FstabRewrite.h"
#include "filter/QnbfLookup.h"
#include "host/Env.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {
namespace {

const char kContext[] = "kzvol filter:";
const char kSeeLog[] = " (the library log says why: KZVOL_LOG=FILE or --verbose)";
constexpr uint64_t kDefaultExtentBlocks = 4096;

// One mount entry with the storage of its strings.
struct OwnedEntry {
    std::string fields[4];
    mntent entry{};
    void Fill(const std::string& device, const std::string& dir, const std::string& type,
              const std::string& opts, int freq, int pass) {
        fields[0] = device, fields[1] = dir, fields[2] = type, fields[3] = opts;
        entry.mnt_fsname = fields[0].data();
        entry.mnt_dir = fields[1].data();
        entry.mnt_type = fields[2].data();
        entry.mnt_opts = fields[3].data();
        entry.mnt_freq = freq;
        entry.mnt_passno = pass;
    }
};

// The lines of /etc/fstab, line ends dropped; empty when it cannot be read.
std::vector<std::string> FstabLines() {
    std::vector<std::string> lines;
    std::ifstream in(FstabFiles().table);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The fstab line the library will comment out for `device`: the first whose
// device word (a /dev/mapper/ link resolved) is the device's resolved path.
bool FstabEntryOf(const std::string& device, OwnedEntry* out) {
    const std::string wanted = ResolveMapperLink(device);
    for (const std::string& line : FstabLines()) {
        std::string word = FstabFirstWord(line);
        if (word.empty() || ResolveMapperLink(word) != wanted)
            continue;
        std::unique_ptr<FILE, int (*)(FILE*)> one(
            ::fmemopen(const_cast<char*>(line.data()), line.size(), "r"), ::fclose);
        mntent* e = one ? ::getmntent(one.get()) : nullptr;
        if (!e)
            continue;
        out->Fill(e->mnt_fsname, e->mnt_dir, e->mnt_type, e->mnt_opts, e->mnt_freq, e->mnt_passno);
        return true;
    }
    return false;
}

bool SameBlockDevice(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && S_ISBLK(sa.st_mode) &&
           S_ISBLK(sb.st_mode) && sa.st_rdev == sb.st_rdev;
}

// The live mount-table entry of `device` (by path or by device number).
bool MountEntryOf(const std::string& device, OwnedEntry* out) {
    std::vector<MountTableEntry> table;
    if (!CurrentEnv()->ReadMountTable(&table))
        return false;
    for (const MountTableEntry& m : table) {
        if (m.fields.size() < 4 || (m.fields[0] != device && !SameBlockDevice(m.fields[0], device)))
            continue;
        auto number = [&](size_t i) {
            return i < m.fields.size() ? std::atoi(m.fields[i].c_str()) : 0;
        };
        out->Fill(m.fields[0], m.fields[1], m.fields[2], m.fields[3], number(4), number(5));
        return true;
    }
    return false;
}

// An fstab line that names `device` under another name (a link, UUID=, LABEL=)
// would stay active beside the filter entry: both would mount at boot.
std::string OtherFstabName(const std::string& device) {
    const std::string wanted = ResolveMapperLink(device);
    for (const std::string& line : FstabLines()) {
        std::string word = FstabFirstWord(line), path = word;
        if (word.rfind("UUID=", 0) == 0)
            path = "/dev/disk/by-uuid/" + word.substr(5);
        else if (word.rfind("LABEL=", 0) == 0)
            path = "/dev/disk/by-label/" + word.substr(6);
        if (!word.empty() && word[0] != '#' && ResolveMapperLink(word) != wanted &&
            SameBlockDevice(path, device))
            return word;
    }
    return std::string();
}

int Add(const Options& opts) {
    if (opts.positional().size() != 2)
        return Usage("add wants one DEVICE");
    std::string device = opts.positional()[1], error;
    uint64_t blocks = 0;
    if (!opts.GetU64("extent-blocks", kDefaultExtentBlocks, &blocks, &error))
        return Usage(error);
    CreateDevArg_t arg{};
    arg.devpath = device.data();
    arg.extsize = static_cast<unsigned long>(blocks);
    arg.minorno = -1;
    OwnedEntry entry;
    if (opts.Has("fstab")) {
        std::string other = OtherFstabName(device);
        if (!other.empty())
            return Fail("/etc/fstab mounts " + device + " as " + other +
                        ", which would stay beside the filter entry: name the device there as " +
                        device + " first");
        if (!FstabEntryOf(device, &entry) && !MountEntryOf(device, &entry))
            return Fail(device + " has no line in /etc/fstab and is not mounted: nothing to " +
                        "mount through the filter device (leave out --fstab)");
        arg.mntent = &entry.entry;
        arg.fstab = 1;
    }
    KZVolumeUnix driver(kQnbfAdminNode);
    if (!driver.QNBFCreateDevice(&arg))
        return Fail("cannot put " + device + " under the filter" + kSeeLog);
    if (arg.minorno < 0) {
        std::printf("%s is already a filter device\n", device.c_str());
        return 0;
    }
    std::printf("%s%d minor %d\n", kQnbfNodePrefix, arg.minorno, arg.minorno);
    return 0;
}

bool FstabMounts(const std::string& node) {
    for (const std::string& line : FstabLines()) {
        if (FstabFirstWord(line) == node)
            return true;
    }
    return false;
}

int Remove(const Options& opts) {
    if (opts.positional().size() != 2)
        return Usage("remove wants one filter device NODE");
    std::string node = opts.positional()[1];
    std::string name = node.substr(node.rfind('/') + 1);
    qn_getinfo_arg info;
    if (opts.Has("fstab") && !get_qnbf_dev_info(name.data(), &info, QN_LOOKUP_BY_NAME))
        return Fail("the filter driver has no device " + node);
    KZVolumeUnix driver(kQnbfAdminNode);
    if (!driver.QNBFDeleteDevice(node.data())) {
        const std::string why = driver.GetErrorString();
        if (!why.empty())
            return Fail("cannot remove the filter device: " + why +
                        "; unmount it (and close what holds it) first");
        return Fail("cannot remove the filter device " + node + kSeeLog);
    }
    std::printf("removed %s\n", node.c_str());
    if (!opts.Has("fstab")) {
        if (FstabMounts(node))
            std::fprintf(stderr,
                         "kzvol: warning: /etc/fstab still mounts %s, so this machine would not "
                         "boot cleanly: drop that line and uncomment the device's own line "
                         "(the table before the first filter device is /etc/fstab.orig)\n",
                         node.c_str());
        return 0;
    }
    info.dev_name[sizeof info.dev_name - 1] = '\0';
    bool changed = false;
    if (!TakeFstabFromFilter(FstabFiles(), kContext, node, info.dev_name, &changed))
        return Fail(node + " is removed, but /etc/fstab could not be given back" + kSeeLog +
                    "; edit it by hand (the first version is in /etc/fstab.orig)");
    if (changed)
        std::printf("/etc/fstab mounts %s again\n", info.dev_name);
    return 0;
}

}  // namespace

int RunFilter(const Words& args) {
    Options opts({"extent-blocks"}, {"fstab"});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (!opts.rest().empty())
        return Usage("takes no words after --");
    const std::string action = opts.positional().empty() ? "" : opts.positional()[0];
    if (action == "add")
        return Add(opts);
    if (opts.Has("extent-blocks"))
        return Usage("--extent-blocks goes with add");
    if (action == "remove")
        return Remove(opts);
    return Usage("wants add or remove");
}

}  // namespace kzvol::cli
