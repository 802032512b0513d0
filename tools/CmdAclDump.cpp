// kzvol acl-dump: the access ACL of every directory and file of a tree (each inode
// once, symbolic links left out) dumped into FILE with the library's ACL dump,
// and the index list written beside it as FILE.idx, one "inode offset size" line
// per file in inode order. Both replace regular targets only when complete.
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "host/FullIO.h"
#include "metadata/AclDump.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/OutputFile.h"
#include "tools/StopOnSignals.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {
namespace {

// Inode to path of every directory and file under (and including) `dir`.
bool ListTree(const std::string& dir, std::map<unsigned long long, std::string>* files,
              std::string* error) {
    namespace fs = std::filesystem;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = dir + " is not a directory";
        return false;
    }
    files->emplace(st.st_ino, dir);
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(dir, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        if (::lstat(it->path().c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
            files->emplace(st.st_ino, it->path().string());
    }
    if (ec)
        *error = "cannot walk " + dir + ": " + ec.message();
    return !ec;
}

// The index list as text, from the head of the exported list.
std::string IndexListText() {
    std::string text;
    for (const acl_node* n = first; n; n = n->next) {
        char line[80];
        std::snprintf(line, sizeof line, "%llu %llu %u\n", n->info->inode, n->info->offset,
                      n->info->size);
        text += line;
    }
    return text;
}

// Clears the process-wide ACL state for the life of one dump.
struct AclStateScope {
    AclStateScope() { ResetAclDumpState(); }
    ~AclStateScope() { ResetAclDumpState(); }
};

}  // namespace

int RunAclDump(const Words& args) {
    Options opts({"out"}, {});
    std::string error;
    if (!opts.Parse(args, &error))
        return Usage(error);
    if (opts.positional().size() != 1 || !opts.Has("out"))
        return Usage("wants one DIR and --out FILE");
    const std::string dir = opts.positional()[0], out = opts.Get("out");
    std::map<unsigned long long, std::string> files;
    if (!ListTree(dir, &files, &error))
        return Fail(error);
    OutputFile data(out);
    if (!data.ok())
        return Fail("cannot write " + out + ": " + std::strerror(errno));
    OutputFile list(out + ".idx");
    if (!list.ok())
        return Fail("cannot write " + out + ".idx: " + std::strerror(errno));

    AclStateScope state;
    StopOnSignals stop;
    KZVolumeUnix volume(-1);
    unsigned int dumped = 0;
    int aclFile = data.fd();
    // Highest inode first: each record then goes to the head of the sorted list.
    for (auto it = files.rbegin(); it != files.rend() && !StopRequested(); ++it)
        volume.DumpACLInfo(it->second.data(), it->first, ACL_TYPE_ACCESS, &aclFile, &dumped);
    if (StopRequested())
        return Fail("stopped; nothing was written");
    std::set<unsigned long long> distinct;
    for (const acl_node* n = first; n; n = n->next)
        distinct.insert(n->info->offset);
    const std::string text = IndexListText();
    if (!WriteAll(list.fd(), text.data(), text.size()) || !data.Commit() || !list.Commit())
        return Fail("cannot write " + out + ": " + std::strerror(errno));
    std::printf("files: %zu\nacls dumped: %u\nacls written: %zu\nbytes: %llu\n", files.size(),
                dumped, distinct.size(), fileoffset);
    return kExitOk;
}

}  // namespace kzvol::cli
