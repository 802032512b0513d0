// The two edits of the file-system table around a filter device: putting a file
// system's entry under the filter device, and giving the table back afterwards.
#include <mntent.h>

#include <cctype>
#include <fstream>
#include <set>

#include "filter/FstabRewrite.h"
#include "host/EvDebug.h"

namespace kzvol {
namespace {

EvDebug g_log;

// Word `index` (0 first) of `line`, split on blanks; empty when there is none.
std::string Word(const std::string& line, size_t index) {
    static const char kBlanks[] = " \t\n\r\v\f";
    size_t start = 0;
    for (size_t i = 0;; ++i) {
        start = line.find_first_not_of(kBlanks, start);
        if (start == std::string::npos)
            return std::string();
        size_t end = line.find_first_of(kBlanks, start);
        if (i == index)
            return line.substr(start, end == std::string::npos ? end : end - start);
        if (end == std::string::npos)
            return std::string();
        start = end;
    }
}

std::string LastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first word of `line` with a /dev/mapper/ link resolved, logged as creation does.
std::string DeviceWord(const char* context, const std::string& line) {
    std::string word = FstabFirstWord(line);
    if (word.empty())
        return word;
    std::string resolved = ResolveMapperLink(word);
    if (resolved != word)
        g_log.Debug(context, "got link path =%s for dev=%s", resolved.c_str(), word.c_str());
    return resolved;
}

// The mount directories of the entries whose device is `node`.
std::set<std::string> DirectoriesMountedFrom(const std::string& table, const std::string& node) {
    std::set<std::string> dirs;
    std::ifstream in(table);
    for (std::string line; std::getline(in, line);) {
        if (FstabFirstWord(line) == node)
            dirs.insert(Word(line, 1));
    }
    return dirs;
}

}  // namespace

bool PutFstabUnderFilter(const FstabFiles& files, const char* context, const std::string& device,
                         const std::string& node, const struct mntent& entry) {
    auto edit = [&](const std::string& line) {
        std::string word = DeviceWord(context, line);
        g_log.DebugLvl(context, 2, "Comparing %s with %s", device.c_str(), word.c_str());
        if (word != device)
            return line;
        g_log.Debug(context, "Matching entry found rawdevpath:%s mntdevname:%s", device.c_str(),
                    word.c_str());
        return "#" + line;
    };
    std::string tail = Format("%s\t%s\t%s\t%s\t%d\t%d", node.c_str(), entry.mnt_dir, entry.mnt_type,
                              entry.mnt_opts, entry.mnt_freq, entry.mnt_passno);
    return RewriteFstab(files, context, edit, tail + " \n");
}

bool TakeFstabFromFilter(const FstabFiles& files, const char* context, const std::string& node,
                         const std::string& devName, bool* changed) {
    const std::set<std::string> dirs = DirectoriesMountedFrom(files.table, node);
    *changed = !dirs.empty();
    if (!*changed)
        return true;
    auto edit = [&](const std::string& line) {
        if (FstabFirstWord(line) == node)
            return std::string();
        if (line.size() < 2 || line[0] != '#' || std::isspace(static_cast<unsigned char>(line[1])))
            return line;
        std::string rest = line.substr(1);
        std::string device = DeviceWord(context, rest);
        bool ours =
            !device.empty() && LastComponent(device) == devName && dirs.count(Word(rest, 1));
        return ours ? rest : line;
    };
    return RewriteFstab(files, context, edit, std::string());
}

}  // namespace kzvol
